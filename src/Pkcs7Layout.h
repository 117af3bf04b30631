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

// Appends `token` as the unsigned attribute id-aa-timeStampToken to the
// SignerInfo of the builder-layout message of `length` octets at `der`,
// whose buffer has room for length + 25 + token size octets, and patches
// the five enclosing lengths. False (nothing written) when the message
// does not have the layout, already has unsigned attributes, the token is
// not one DER element, or the result would not fit the two-octet lengths.
bool appendTimeStampToken(unsigned char* der, std::size_t length,
                          std::span<const unsigned char> token, std::size_t* newLength);

}  // namespace kivo::pkcs7
