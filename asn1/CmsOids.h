// Object identifiers the CMS structure classes write or test, with the
// names the classes give them.
#pragma once

#include <string_view>

namespace kivo::cms::oid {

// Content types 1.2.840.113549.1.7.1 .. .6 (codes 1..6).
inline constexpr std::string_view kData = "1.2.840.113549.1.7.1";
inline constexpr std::string_view kSignedData = "1.2.840.113549.1.7.2";
inline constexpr std::string_view kEnvelopedData = "1.2.840.113549.1.7.3";
inline constexpr std::string_view kSignedAndEnvelopedData = "1.2.840.113549.1.7.4";
inline constexpr std::string_view kDigestedData = "1.2.840.113549.1.7.5";
inline constexpr std::string_view kEncryptedData = "1.2.840.113549.1.7.6";
inline constexpr std::string_view kDataName = "data";
inline constexpr std::string_view kSignedDataName = "signedData";

// Signed attributes.
inline constexpr std::string_view kContentTypeAttr = "1.2.840.113549.1.9.3";
inline constexpr std::string_view kMessageDigestAttr = "1.2.840.113549.1.9.4";
inline constexpr std::string_view kSigningTimeAttr = "1.2.840.113549.1.9.5";
inline constexpr std::string_view kSigningCertificateV2Attr = "1.2.840.113549.1.9.16.2.47";

// Signature algorithms and their parts.
inline constexpr std::string_view kRsaEncryption = "1.2.840.113549.1.1.1";
inline constexpr std::string_view kRsassaPss = "1.2.840.113549.1.1.10";
inline constexpr std::string_view kMgf1 = "1.2.840.113549.1.1.8";
inline constexpr std::string_view kEcdsaWithSha1 = "1.2.840.10045.4.1";
inline constexpr std::string_view kEcdsaWithSha256 = "1.2.840.10045.4.3.2";
inline constexpr std::string_view kEcdsaWithSha384 = "1.2.840.10045.4.3.3";
inline constexpr std::string_view kEcdsaWithSha512 = "1.2.840.10045.4.3.4";
// Every ECDSA signature OID of X9.62 lies below this arc.
inline constexpr std::string_view kEcdsaSignatureArc = "1.2.840.10045.4";
// BSI plain-ECDSA signatures.
inline constexpr std::string_view kEcdsaPlainSignatures = "0.4.0.127.0.7.1.1.4.1";

// Public key algorithms.
inline constexpr std::string_view kEcPublicKey = "1.2.840.10045.2.1";

// Digests.
inline constexpr std::string_view kSha1 = "1.3.14.3.2.26";
inline constexpr std::string_view kSha256 = "2.16.840.1.101.3.4.2.1";
inline constexpr std::string_view kSha384 = "2.16.840.1.101.3.4.2.2";
inline constexpr std::string_view kSha512 = "2.16.840.1.101.3.4.2.3";
inline constexpr std::string_view kRipemd160 = "1.3.36.3.2.1";
inline constexpr std::string_view kMd5 = "1.2.840.113549.2.5";

}  // namespace kivo::cms::oid
