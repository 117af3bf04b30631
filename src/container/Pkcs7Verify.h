// Signature checks behind CPKCS7SSL::Verify and VerifyCMS: the first
// signer of a CMS SignedData, its certificate and signature class, OpenSSL's
// CMS verification without certificate checks, and the hand-made check of
// plain ECDSA signatures (BSI TR-03111 ecdsa-plain, r‖s), which OpenSSL
// does not know.
#pragma once

#include "src/container/Pkcs7Reader.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kivo::pkcs7 {

enum class SignatureClass { Ecdsa, PlainEcdsa, RsaPss, Rsa, Unknown };

// By the dotted signature algorithm OID: prefix 1.2.840.10045.4 ECDSA;
// exactly 0.4.0.127.0.7.1.1.4.1 plain ECDSA; exactly
// 1.2.840.113549.1.1.10 RSASSA-PSS; prefix 1.2.840.113549.1.1.1 or
// 1.3.36.3.3.1 RSA; anything else unknown.
SignatureClass classifySignatureOid(std::string_view dotted);

struct FirstSigner {
    CMS_SignerInfo* info = nullptr;  // borrowed from the message
    X509* certificate = nullptr;     // borrowed from the message or `certificates`
    X509StackPtr certificates;       // keeps the fallback certificate alive
    SignatureClass signatureClass = SignatureClass::Unknown;

    bool hasRsaKey() const;
};

// The first signer with its certificate: the one OpenSSL associates with
// it from the message's certificates, else the message's first
// certificate. Nothing when the message has no signer or no certificate.
std::optional<FirstSigner> firstSigner(CMS_ContentInfo* cms);

// OpenSSL's CMS verification of every signer, with `content` as detached
// content (empty: the attached content), no certificate store, and
// neither signer certificate verification nor text conversion. On failure
// *errorText holds OpenSSL's first error text (at most 500 characters) and
// the error queue is emptied.
bool cmsVerify(CMS_ContentInfo* cms, std::span<const unsigned char> content, std::string* errorText);

// The plain-ECDSA check: the content digest must equal the signer's single
// messageDigest attribute, and the signature (r‖s, or DER) must verify the
// digest of the signed attributes encoded as a SET with the signer's key.
// A signer without signed attributes fails. A missing messageDigest
// attribute also leaves an OpenSSL error (CMS, "error reading
// messageDigest attribute") in the queue, as CMS verification would.
bool verifyPlainEcdsa(const FirstSigner& signer, std::span<const unsigned char> content);

// The content a message carries itself; empty when detached.
std::span<const unsigned char> attachedContent(CMS_ContentInfo* cms);

}  // namespace kivo::pkcs7
