// The two forms of an ECDSA signature the library handles: the raw r‖s
// value that cards and plain-ECDSA interfaces produce, and the DER
// ECDSA-Sig-Value SEQUENCE { INTEGER r, INTEGER s } that CMS carries.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kivo::asn1 {

// DER ECDSA-Sig-Value of a raw r‖s (two halves of equal length). Leading
// zero octets of each half are dropped (one zero octet stays for a value
// of 0), a zero octet is put in front of a half whose first octet is 0x80
// or more, and lengths take the long form where needed (P-521). Empty for
// an empty or odd-length input.
std::vector<unsigned char> ecdsaDerFromRaw(std::span<const unsigned char> raw);

enum class RawSignatureForm {
    kRaw,   // `raw` holds r‖s
    kCopy,  // not an ECDSA-Sig-Value: the signature is used as it is
    kNone,  // an ECDSA-Sig-Value that cannot be turned into r‖s
};

// The raw form of a signature value as a SignerInfo carries it. When the
// value is a SEQUENCE whose first child is an INTEGER it must hold exactly
// the two INTEGERs r and s; their sign octets are dropped and both are
// left-padded with zero octets to the same half size: 32 octets when both
// fit in 32 (every curve up to 256 bits), otherwise the smallest of 40, 48,
// 64 and 66 (the curves of 320, 384, 512 and 521 bits) that holds both.
// Values longer than 66 octets, or a malformed SEQUENCE, give kNone.
// Anything else gives kCopy.
RawSignatureForm ecdsaRawFromDer(std::span<const unsigned char> signature,
                                 std::vector<unsigned char>* raw);

}  // namespace kivo::asn1
