// The mechanisms a card key can run, and what each makes of the caller's
// input before the card sees it: the card signs a hash it is told the
// algorithm of (0 SHA-1, 1 SHA-256, 2 SHA-384, 3 SHA-512), so every sign
// mechanism ends in such a hash.
#pragma once

#include "pkcs11/Attributes.h"
#include "smartcard/detect/CardLayouts.h"

#include <optional>
#include <vector>

struct evp_md_ctx_st;

namespace kivo::p11 {

using SignatureKind = kivo::card::layout::SignatureKind;

struct MechanismRule {
    CK_MECHANISM_TYPE type;
    SignatureKind kind;      // the card keys that sign with it
    int hashCode;            // the hash the module computes; -1 when the caller gives it
    bool deciphers;          // also a decrypt mechanism (RSA keys that decipher)
};

// The rule of `type`, null for a mechanism no card key runs.
const MechanismRule* mechanismRule(CK_MECHANISM_TYPE type);
// Every rule, in the order the module lists them.
const std::vector<MechanismRule>& mechanismRules();

// The hash code of a digest algorithm mechanism (CKM_SHA_1 ...) or MGF
// (CKG_MGF1_SHA1 ...); -1 for others.
int hashCodeOfDigest(CK_MECHANISM_TYPE digest);
int hashCodeOfMgf(CK_RSA_PKCS_MGF_TYPE mgf);
std::size_t hashLength(int hashCode);

// Checks the parameters of a PSS mechanism: the hash and the MGF1 hash of
// the card's scheme (the mechanism's own hash where it has one) and a salt
// as long as the hash, which is what the cards use. The hash code, or
// nothing when the parameters ask for something else.
std::optional<int> pssHashCode(const MechanismRule& rule, const void* parameter, CK_ULONG length);

// The hash to sign, from the input of a mechanism whose caller gives it:
// a DigestInfo (CKM_RSA_PKCS) or the bare hash, whose length names the
// algorithm (ECDSA) or must match the PSS hash (`pssHash`). Nothing for
// anything else.
struct HashToSign {
    int hashCode = -1;
    Bytes digest;
};
std::optional<HashToSign> hashOfInput(const MechanismRule& rule, const Bytes& input, int pssHash);

// An incremental hash for the mechanisms that hash the data themselves.
class DataHash {
public:
    explicit DataHash(int hashCode);
    ~DataHash();
    DataHash(const DataHash&) = delete;
    DataHash& operator=(const DataHash&) = delete;
    bool update(const std::uint8_t* data, std::size_t length);
    HashToSign finish();

private:
    int m_hashCode;
    ::evp_md_ctx_st* m_context;
};

}  // namespace kivo::p11
