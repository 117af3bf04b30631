// The fixed layout of the SignedData messages the PKCS#7 builder writes,
// as AddTimeStamp and GetRSAKeySize rely on it:
//
//   0  30 82 LL LL                ContentInfo
//   4  06 09 <signedData OID>
//  15  A0 82 LL LL                [0] content
//  19  30 82 LL LL                SignedData
//  23  02 01 vv                   version
//  26  31 dd ...                  digestAlgorithms (one-octet length)
//      30 cc ...                  EncapsulatedContentInfo (one-octet length)
//  k   A0 82 LL LL ...            certificates; C = k + their content length
// C+4  31 82 LL LL                SignerInfos, exactly one:
// C+8  30 82 LL LL                SignerInfo, ending where the message ends
//
// No CRLs. Every offset and length field is checked against the message
// length and the DER before anything is read beyond it or written.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace kivo::pkcs7 {

struct BuilderLayout {
    std::size_t signerInfos = 0;     // offset of the SignerInfos SET (C+4)
    std::size_t signerInfo = 0;      // offset of the SignerInfo SEQUENCE (C+8)
    std::size_t signatureValue = 0;  // offset of the signature OCTET STRING's content
    std::size_t signatureLength = 0; // its content length
    bool hasUnsignedAttributes = false;
};

// The layout of `message` (the whole message, nothing after it); nothing
// when it does not have the builder's layout.
std::optional<BuilderLayout> readBuilderLayout(std::span<const unsigned char> message);

// Octets AddTimeStamp adds in front of the token: the [1] unsignedAttrs
// header, the Attribute SEQUENCE header, the id-aa-timeStampToken OID and
// the SET header.
inline constexpr std::size_t kTimeStampAttributeHeader = 25;

// The length of the SignedData `message` (the whole message, nothing after
// it) once `tokenLength` octets of token are appended by
// appendTimeStampToken; nothing when the message cannot take one (see
// there).
std::optional<std::size_t> timeStampedLength(std::span<const unsigned char> message, std::size_t tokenLength);

// Appends `token` as the unsigned attribute id-aa-timeStampToken to the
// only SignerInfo of the SignedData of `length` octets at `der`, whose
// buffer holds `capacity` octets. The SignerInfo ends where the message
// ends, so the attribute goes to the end (into the existing unsigned
// attributes, or in a new [1] after the signature); the lengths of every
// enclosing element (ContentInfo, [0], SignedData, SignerInfos, SignerInfo
// and the unsigned attributes) are rewritten, each keeping its length form
// while the new length fits it and growing to the shortest form that fits
// otherwise. Any length form, encapsulated content, certificates and CRLs
// are fine. On the builder layout the output is the 25-octet header and
// the token at the end, with the five two-octet lengths patched. False
// (nothing written) when the message is not a SignedData with exactly one
// SignerInfo in definite-length encoding ending at `length`, the token is
// not one DER element, or the result would not fit `capacity`.
bool appendTimeStampToken(unsigned char* der, std::size_t length, std::size_t capacity,
                          std::span<const unsigned char> token, std::size_t* newLength);

}  // namespace kivo::pkcs7
