#include "src/container/Pkcs7Reader.h"

#include <openssl/err.h>

#include <climits>
#include <cstring>

namespace kivo::pkcs7 {
namespace {

// Runs an OpenSSL decoder and drops whatever it queued: input that does
// not parse is an answer of the caller, logged (if at all) by it.
template <class Decode>
auto quietly(Decode&& decode) {
    ERR_set_mark();
    auto result = decode();
    ERR_pop_to_mark();
    return result;
}

}  // namespace

BioPtr memoryStream(const unsigned char* data, std::size_t length) {
    if (data == nullptr || length == 0 || length > static_cast<std::size_t>(INT_MAX)) return nullptr;
    return BioPtr(BIO_new_mem_buf(data, static_cast<int>(length)));
}

Pkcs7Ptr parsePkcs7(const unsigned char* der, std::size_t length) {
    BioPtr stream = memoryStream(der, length);
    if (!stream) return nullptr;
    return quietly([&] { return Pkcs7Ptr(d2i_PKCS7_bio(stream.get(), nullptr)); });
}

CmsPtr parseCms(const unsigned char* der, std::size_t length) {
    BioPtr stream = memoryStream(der, length);
    if (!stream) return nullptr;
    return quietly([&] { return CmsPtr(d2i_CMS_bio(stream.get(), nullptr)); });
}

PKCS7_SIGNED* signedDataOf(PKCS7* p7) {
    if (p7 == nullptr || OBJ_obj2nid(p7->type) != NID_pkcs7_signed) return nullptr;
    return p7->d.sign;
}

PKCS7_SIGNER_INFO* signerAt(PKCS7_SIGNED* signedData, int index) {
    if (signedData == nullptr || index < 0) return nullptr;
    STACK_OF(PKCS7_SIGNER_INFO)* signers = signedData->signer_info;
    if (signers == nullptr || index >= sk_PKCS7_SIGNER_INFO_num(signers)) return nullptr;
    return sk_PKCS7_SIGNER_INFO_value(signers, index);
}

X509* certificateAt(PKCS7_SIGNED* signedData, int index) {
    if (signedData == nullptr || index < 0) return nullptr;
    STACK_OF(X509)* certs = signedData->cert;
    if (certs == nullptr || index >= sk_X509_num(certs)) return nullptr;
    return sk_X509_value(certs, index);
}

X509* signerCertificate(PKCS7* p7, PKCS7_SIGNER_INFO* signer) {
    PKCS7_SIGNED* signedData = signedDataOf(p7);
    if (signedData == nullptr || signer == nullptr || signer->issuer_and_serial == nullptr ||
        signedData->cert == nullptr) {
        return nullptr;
    }
    const PKCS7_ISSUER_AND_SERIAL* sid = signer->issuer_and_serial;
    if (sid->issuer == nullptr || sid->serial == nullptr) return nullptr;
    return X509_find_by_issuer_and_serial(signedData->cert, sid->issuer, sid->serial);
}

ASN1_TYPE* signedAttribute(PKCS7_SIGNER_INFO* signer, int nid) {
    if (signer == nullptr) return nullptr;
    return PKCS7_get_signed_attribute(signer, nid);
}

Der derOf(X509* cert) {
    Der der;
    if (cert == nullptr) return der;
    unsigned char* bytes = nullptr;
    const int length = quietly([&] { return i2d_X509(cert, &bytes); });
    if (length <= 0 || bytes == nullptr) {
        OPENSSL_free(bytes);
        return der;
    }
    der.bytes.reset(bytes);
    der.length = static_cast<std::size_t>(length);
    return der;
}

bool copyToCaller(std::span<const unsigned char> octets, unsigned char** out,
                  unsigned long* outLen) {
    if (out == nullptr || *out == nullptr || outLen == nullptr) return false;
    if (!octets.empty()) std::memmove(*out, octets.data(), octets.size());
    *outLen = static_cast<unsigned long>(octets.size());
    return true;
}

std::optional<std::size_t> lengthFromHeader(const unsigned char* der) {
    if (der == nullptr) return std::nullopt;
    // Only single-octet identifiers occur in the messages this library reads.
    if ((der[0] & 0x1F) == 0x1F) return std::nullopt;
    const unsigned char first = der[1];
    if (first < 0x80) return std::size_t{2} + first;
    const unsigned count = first & 0x7Fu;
    if (count == 0 || count > 4) return std::nullopt;  // indefinite or too long
    std::size_t content = 0;
    for (unsigned i = 0; i < count; ++i) content = (content << 8) | der[2 + i];
    const std::size_t total = 2 + count + content;
    if (total > 0xFFFFFFFFu) return std::nullopt;
    return total;
}

std::span<const unsigned char> messageBytes(const unsigned char* der, unsigned long len) {
    if (der == nullptr || len == 0 || len > static_cast<unsigned long>(INT_MAX)) return {};
    return {der, static_cast<std::size_t>(len)};
}

}  // namespace kivo::pkcs7
