#include "src/verify/VerifyOcsp.h"

#include "src/frame/Logging.h"
#include "src/revocation/RevocationCodes.h"
#include "src/verify/VerifyValidity.h"

#include <openssl/conf.h>
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/x509v3.h>

#include <cstring>

namespace kivo::verify {
namespace {

constexpr const char* kOcspEntryName = "OCSP - URI";

// The entries of a decoded extension in OpenSSL's name/value text form
// (the i2v of the extension's method), freed with the object.
class ExtensionValues {
public:
    explicit ExtensionValues(X509_EXTENSION* extension) {
        m_method = X509V3_EXT_get(extension);
        if (m_method == nullptr || m_method->i2v == nullptr) return;
        m_decoded = X509V3_EXT_d2i(extension);
        if (m_decoded == nullptr) return;
        m_values = m_method->i2v(m_method, m_decoded, nullptr);
    }
    ~ExtensionValues() {
        sk_CONF_VALUE_pop_free(m_values, X509V3_conf_free);
        if (m_decoded == nullptr) return;
        if (m_method->it != nullptr) {
            ASN1_item_free(static_cast<ASN1_VALUE*>(m_decoded), ASN1_ITEM_ptr(m_method->it));
        } else {
            m_method->ext_free(m_decoded);
        }
    }
    ExtensionValues(const ExtensionValues&) = delete;
    ExtensionValues& operator=(const ExtensionValues&) = delete;

    bool decoded() const { return m_decoded != nullptr; }
    STACK_OF(CONF_VALUE)* values() const { return m_values; }

private:
    const X509V3_EXT_METHOD* m_method = nullptr;
    void* m_decoded = nullptr;
    STACK_OF(CONF_VALUE)* m_values = nullptr;
};

}  // namespace

std::string certificateOcspUrl(X509* certificate) {
    if (certificate == nullptr) return {};
    const int count = X509_get_ext_count(certificate);
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* extension = X509_get_ext(certificate, i);
        const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(extension));
        const char* shortName = nid != NID_undef ? OBJ_nid2sn(nid) : nullptr;
        if (shortName == nullptr || std::strcmp(shortName, "authorityInfoAccess") != 0) continue;
        const ExtensionValues entries(extension);
        if (!entries.decoded()) continue;
        std::string url;
        for (int v = 0; v < sk_CONF_VALUE_num(entries.values()); ++v) {
            const CONF_VALUE* entry = sk_CONF_VALUE_value(entries.values(), v);
            if (entry->name != nullptr && entry->value != nullptr && std::strcmp(entry->name, kOcspEntryName) == 0) {
                url = entry->value;
                break;
            }
        }
        ERR_clear_error();
        return url;
    }
    ERR_clear_error();
    return {};
}

unsigned int judgeOcspAnswer(const kivo::ocsp::Answer& answer, const struct timeb* verifyTime) {
    if (answer.failure != 0) return answer.failure;
    if (answer.nonceCheck < 1) {
        LOG4CXX_ERROR(loggers::module, "OCSP_check_nonce: " << answer.nonceCheck);
        return kOcspCommunication;
    }
    switch (answer.status) {
        case V_OCSP_CERTSTATUS_GOOD:
        case V_OCSP_CERTSTATUS_UNKNOWN:
            return 0;
        case V_OCSP_CERTSTATUS_REVOKED: {
            if (!answer.hasRevocationTime) return revocation::kRevoked;
            const Moment revokedAt{answer.revocation[0], answer.revocation[1], answer.revocation[2],
                                   answer.revocation[3], answer.revocation[4], answer.revocation[5]};
            const auto at = localMoment(referenceSeconds(verifyTime));
            if (!at) return revocation::kRevoked;
            return *at > revokedAt ? revocation::kRevoked : 0;
        }
        default:
            return kOcspCommunication;
    }
}

unsigned int ocspQuery(X509* issuer, X509* certificate, const char* url,
                       const struct timeb* verifyTime, int /*validityModel*/) {
    LOG4CXX_DEBUG(loggers::module, "OCSP query at " << (url != nullptr ? url : "(none)"));
    const kivo::ocsp::Answer answer = kivo::ocsp::exchange(issuer, certificate, url, nullptr, loggers::module);
    const unsigned int result = judgeOcspAnswer(answer, verifyTime);
    LOG4CXX_DEBUG(loggers::module, "OCSP status " << answer.status << ", result 0x" << std::hex << result);
    return result;
}

}  // namespace kivo::verify
