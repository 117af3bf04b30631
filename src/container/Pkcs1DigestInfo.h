// Hash algorithms as the container members name them: the digest
// algorithm OIDs of SignedData, and the DigestInfo prefixes that a PKCS#1
// v1.5 signature block carries in front of the hash (RFC 8017, 9.2).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace kivo::pkcs1 {

struct HashKind {
    std::string_view digestOid;     // digest AlgorithmIdentifier OID
    std::string_view signatureOid;  // the RSA signature OID of that hash
    std::size_t length;             // digest length in octets
    int code;                       // hash name code (1 SHA-1 ... 6 SHA-512)
};

// The six hashes the library knows, by digest OID; null for any other.
const HashKind* hashByDigestOid(std::string_view dotted);

// The hash whose DigestInfo follows the padding of a raw RSA-decrypted
// PKCS#1 v1.5 block: the first octet must be 0, 1 or 2, the padding runs
// from offset 2 to the next zero octet, and the octets after it are
// compared with the prefixes of SHA-1, SHA-256, SHA-384, SHA-512,
// RIPEMD-160 and MD5 in this order. Null when none matches.
const HashKind* hashOfPkcs1Block(std::span<const unsigned char> block);

// The hash of a signature OID that hashOfPkcs1Block names, or SHA-1 for
// anything else (the answer GetHashFromPKCS1Signature gives when no
// DigestInfo matches).
const HashKind& hashOrSha1(const HashKind* kind);

}  // namespace kivo::pkcs1
