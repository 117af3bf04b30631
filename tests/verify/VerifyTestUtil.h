// Helpers for the CVerifyMsg tests: small PKIs, CMS signatures made by
// OpenSSL, CheckSignDetached with named arguments. Tests run with TZ=UTC, so
// that the library's reading of certificate times (as local time) is exact.
#pragma once

#include "VerifyMsg.h"
#include "tests/support/OcspFixture.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/timeb.h>

#include <filesystem>
#include <stdexcept>
#include <tuple>

namespace kivo::test::verify {

namespace fs = std::filesystem;
inline constexpr std::time_t kDay = 24 * 3600;
inline constexpr unsigned int kValid = 0, kBadSignature = 0x80000001, kRevoked = 0x80000004;
inline constexpr unsigned int kOcspCommunication = 0x80000200, kSignerNotValid = 0x80004000;
inline constexpr unsigned int kChainNotValid = 0x80008000, kNoTrustedChain = 0x80010000, kOcspNoUrl = 0x80080000;

struct BioDeleter { void operator()(BIO* bio) const { BIO_free(bio); } };
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
struct CmsDeleter { void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); } };
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsDeleter>;

inline BioPtr memoryBio(const Bytes& bytes) {
    return BioPtr(BIO_new_mem_buf(bytes.empty() ? "" : reinterpret_cast<const char*>(bytes.data()),
                                  static_cast<int>(bytes.size())));
}

using kivo::test::derOf;

// DER of `cms`; empty when it cannot be written.
inline Bytes derOf(CMS_ContentInfo* cms) {
    unsigned char* der = nullptr;
    const int length = cms != nullptr ? i2d_CMS_ContentInfo(cms, &der) : 0;
    Bytes bytes(der, der + std::max(length, 0));
    return OPENSSL_free(der), bytes;
}

struct Party { EvpKeyPtr key; X509Ptr cert; Bytes der; };

// One certificate with its key (a fresh P-256 key unless a kind is named):
// `Certify("/CN=Leaf").issuer(ca).make()`; validity 0: from an hour ago for 365 days.
class Certify {
public:
    explicit Certify(std::string subject) { m_options.subject = std::move(subject); }
    Certify& issuer(const Party& issuer) {
        return m_options.issuerCert = issuer.cert.get(), m_options.issuerKey = issuer.key.get(), *this;
    }
    Certify& serial(long serial) { return m_options.serial = serial, *this; }
    Certify& validity(std::time_t from, std::time_t to) { return m_options.notBefore = from, m_options.notAfter = to, *this; }
    Certify& ca() { return m_options.isCa = true, *this; }
    Certify& extension(std::string name, std::string value) { return m_options.extensions.emplace_back(name, value), *this; }
    Certify& key(KeyKind kind) { return m_kind = kind, *this; }

    Party make() const {
        Party party{m_kind ? generateKey(*m_kind) : EvpKeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")), {}, {}};
        CertOptions options = m_options;
        options.subjectKey = party.key.get();
        party.cert = makeCertificate(options);
        party.der = kivo::test::derOf(party.cert.get());
        return party;
    }

private:
    CertOptions m_options;
    std::optional<KeyKind> m_kind;
};

// How cmsSign signs: detached unless `attached`, with OpenSSL's signed attributes.
struct CmsOptions {
    bool attached = false, noAttributes = false, pss = false;  // pss: RSASSA-PSS with its parameters
    std::optional<std::time_t> signingTime{};  // as UTCTime unless `generalizedTime`
    bool generalizedTime = false;
    std::vector<X509*> carry{};  // carried besides the signer certificate
};

// CMS SignedData of `content` by `signer` (SHA-256), DER.
inline Bytes cmsSign(const Party& signer, const Bytes& content, const CmsOptions& options = {}) {
    const unsigned int flags = CMS_BINARY | CMS_PARTIAL | (options.attached ? 0 : CMS_DETACHED) |
                               (options.noAttributes ? CMS_NOATTR : 0);
    STACK_OF(X509)* extras = sk_X509_new_null();
    for (X509* certificate : options.carry) sk_X509_push(extras, certificate);
    CmsPtr cms(CMS_sign(nullptr, nullptr, extras, nullptr, flags));
    sk_X509_free(extras);
    CMS_SignerInfo* info = cms ? CMS_add1_signer(cms.get(), signer.cert.get(), signer.key.get(), EVP_sha256(),
                                                 flags | (options.pss ? CMS_KEY_PARAM : 0))
                               : nullptr;
    bool ok = info != nullptr && (!options.pss || EVP_PKEY_CTX_set_rsa_padding(CMS_SignerInfo_get0_pkey_ctx(info),
                                                                               RSA_PKCS1_PSS_PADDING) > 0);
    if (ok && options.signingTime) {
        const std::time_t at = *options.signingTime;
        ASN1_TIME* time = options.generalizedTime ? ASN1_GENERALIZEDTIME_set(nullptr, at) : ASN1_UTCTIME_set(nullptr, at);
        ok = time != nullptr && CMS_signed_add1_attr_by_NID(info, NID_pkcs9_signingTime, time->type, time, -1) == 1;
        ASN1_TIME_free(time);
    }
    BioPtr data = memoryBio(content);
    if (!ok || CMS_final(cms.get(), data.get(), nullptr, flags) != 1) throw std::runtime_error("cannot sign");
    return derOf(cms.get());
}

// OpenSSL's CMS verification of every signer without certificate checks,
// over the detached `content` (none: the attached content).
inline bool cmsVerifies(const Bytes& der, const Bytes* content) {
    BioPtr in = memoryBio(der), data = content != nullptr ? memoryBio(*content) : nullptr;
    CmsPtr cms(d2i_CMS_bio(in.get(), nullptr));
    const bool ok = cms && CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr,
                                      CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) == 1;
    ERR_clear_error();
    return ok;
}

// One CheckSignDetached call, its arguments named:
// `Verification(signature).content(data).checks(0x01).run()`.
class Verification {
public:
    Verification() = default;  // a null signature
    explicit Verification(const Bytes& signature) : m_signature(signature) {}

    Verification& content(const Bytes& data) { return m_data = data, *this; }
    Verification& attached() { return m_attached = true, *this; }
    Verification& checks(unsigned int checks) { return m_checks = checks, *this; }
    Verification& crl(unsigned int mode, std::optional<std::string> source) {
        return m_crlMode = mode, m_crlSource = source, *this;
    }
    Verification& at(std::optional<std::time_t> verifyTime) { return m_verifyTime = verifyTime, *this; }
    Verification& model(int validityModel) { return m_validityModel = validityModel, *this; }
    Verification& trust(std::optional<std::string> caFile, std::optional<std::string> caPath = std::nullopt) {
        return m_caFile = caFile, m_caPath = caPath, *this;
    }

    unsigned int run() const {
        Bytes signature = m_signature.value_or(Bytes{}), data = m_data.value_or(Bytes{});
        data.push_back(0);  // a pointer also for empty content; null only for "no content"
        std::string crlSource = m_crlSource.value_or("");
        timeb when{m_verifyTime.value_or(0), 0, 0, 0};
        char errorText[64] = "untouched";
        const int result = CVerifyMsg().CheckSignDetached(
            m_signature ? signature.data() : nullptr, static_cast<unsigned int>(signature.size()), m_attached ? 1 : 0,
            m_data ? data.data() : nullptr, static_cast<unsigned int>(data.size() - 1), m_checks, m_crlMode,
            m_crlSource ? crlSource.data() : nullptr, errorText, m_verifyTime ? &when : nullptr, 0, m_validityModel,
            m_caFile ? m_caFile->c_str() : nullptr, m_caPath ? m_caPath->c_str() : nullptr);
        EXPECT_STREQ(errorText, "untouched") << "the error text buffer is never written";
        return static_cast<unsigned int>(result);
    }

private:
    std::optional<Bytes> m_signature, m_data;
    bool m_attached = false;
    unsigned int m_checks = 0, m_crlMode = 0;
    std::optional<std::string> m_crlSource, m_caFile, m_caPath;
    std::optional<std::time_t> m_verifyTime;
    int m_validityModel = 0;
};

// Turns the process-wide strict verification policy on or off for a scope.
struct ScopedStrictPolicy {
    explicit ScopedStrictPolicy(bool strict) { CVerifyMsg::SetStrictPolicy(strict); }
    ~ScopedStrictPolicy() { CVerifyMsg::SetStrictPolicy(m_before); }
    const bool m_before = CVerifyMsg::GetStrictPolicy();
};

class VerifyTest : public ::testing::Test {
protected:
    // A CA valid from 400 days ago to 4000 days ahead.
    Party longLivedCa(const std::string& subject) const {
        return Certify(subject).ca().validity(m_now - 400 * kDay, m_now + 4000 * kDay).make();
    }
    // An end entity by `issuer`, valid from 60 days ago to 300 days ahead.
    Certify signerBy(const Party& issuer, const std::string& subject, long serial) const {
        return std::move(Certify(subject).issuer(issuer).serial(serial).validity(m_now - 60 * kDay, m_now + 300 * kDay));
    }
    // The PEM file `name` in the test's folder with `certificates` added; its path.
    std::string pemFile(const std::string& name, const std::vector<X509*>& certificates) const {
        for (X509* certificate : certificates) appendPem(m_dir.file(name), certificate);
        return m_dir.file(name);
    }

    ScopedTimeZone m_utc{"UTC"};
    TempDir m_dir;
    const std::time_t m_now = std::time(nullptr);
    const std::string m_empty = m_dir.folder("empty");
};

}  // namespace kivo::test::verify
