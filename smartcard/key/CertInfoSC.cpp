#include "smartcard/key/CertInfoSC.h"

#include <openssl/objects.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>

namespace {

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

// The dotted OID of the certificate's public key algorithm, empty when the
// DER is no certificate.
std::string publicKeyOidOf(const std::vector<std::uint8_t>& der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) return {};
    const unsigned char* cursor = der.data();
    std::unique_ptr<X509, X509Free> certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!certificate) return {};
    ASN1_OBJECT* algorithm = nullptr;
    if (X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr,
                               X509_get_X509_PUBKEY(certificate.get())) != 1 ||
        algorithm == nullptr) {
        return {};
    }
    char text[128] = {};
    const int length = OBJ_obj2txt(text, sizeof(text), algorithm, 1);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof(text)) return {};
    return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

CCertInfoSC::CCertInfoSC(const std::vector<std::uint8_t>& der) : m_publicKeyOid(publicKeyOidOf(der)) {}

CCertInfoSC::KeyAlgorithm CCertInfoSC::AlgorithmOfOid(std::string_view oid) {
    if (oid == cRsaOid) return KeyAlgorithm::Rsa;
    if (oid == cEcOid) return KeyAlgorithm::Ec;
    return KeyAlgorithm::Unknown;
}
