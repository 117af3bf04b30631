// The shared steps of CPKCS7SSL's members: parse a message with OpenSSL's
// PKCS#7 or CMS decoder, check that it is signedData, pick a signer or a
// certificate by index, and hand DER back to the caller.
//
// Every OpenSSL object is held by an owning pointer, so each path out of a
// member frees what it made. The parsers leave OpenSSL's error queue as
// they found it: a message that does not parse is an ordinary answer here,
// not an error worth keeping.
#pragma once

#include "src/frame/OpenSSLHandles.h"

#include <openssl/cms.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <span>

namespace kivo::pkcs7 {

using kivo::BioPtr;
using kivo::CmsPtr;
using kivo::EvpKeyPtr;
using kivo::Pkcs7Ptr;
using kivo::X509Ptr;
struct X509StackDeleter {
    void operator()(STACK_OF(X509)* certs) const { sk_X509_pop_free(certs, X509_free); }
};
struct OpenSslBufferDeleter {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackDeleter>;
using OpenSslBuffer = std::unique_ptr<unsigned char, OpenSslBufferDeleter>;

// A read-only memory stream over `length` octets; null for a null pointer,
// a zero length or one beyond what OpenSSL's streams take (int).
BioPtr memoryStream(const unsigned char* data, std::size_t length);

// The message parsed with d2i_PKCS7_bio / d2i_CMS_bio; null when it does
// not parse.
Pkcs7Ptr parsePkcs7(const unsigned char* der, std::size_t length);
CmsPtr parseCms(const unsigned char* der, std::size_t length);

// The SignedData of a parsed message; null unless its content type is
// signedData and the content is there.
PKCS7_SIGNED* signedDataOf(PKCS7* p7);
// Signer `index` (0-based); null when out of range.
PKCS7_SIGNER_INFO* signerAt(PKCS7_SIGNED* signedData, int index);
// Certificate `index` of the certificate set; null when out of range.
X509* certificateAt(PKCS7_SIGNED* signedData, int index);
// The certificate of the set named by the signer's issuer and serial
// number (borrowed); null when none is.
X509* signerCertificate(PKCS7* p7, PKCS7_SIGNER_INFO* signer);

// A signed attribute of `signer` by its NID; null when absent.
ASN1_TYPE* signedAttribute(PKCS7_SIGNER_INFO* signer, int nid);

// DER of a certificate (or of any i2d-encodable object) in a library
// buffer; empty when it cannot be encoded.
struct Der {
    OpenSslBuffer bytes;
    std::size_t length = 0;
};
Der derOf(X509* cert);

// Copies `octets` to the caller's buffer *out and stores their length;
// false (nothing written) when either pointer or *out is null.
bool copyToCaller(std::span<const unsigned char> octets, unsigned char** out,
                  unsigned long* outLen);

// The total length of the element at the start of `der` (identifier,
// length octets and content), read from its own header; nothing for a null
// pointer, an indefinite or malformed length, or one beyond 32 bits. Used
// by the members that get no length: their callers promise that the whole
// element is readable.
std::optional<std::size_t> lengthFromHeader(const unsigned char* der);

// Octets of a DER message as the members that take a length see them: null
// data or a length beyond what OpenSSL takes makes an empty span.
std::span<const unsigned char> messageBytes(const unsigned char* der, unsigned long len);

}  // namespace kivo::pkcs7
