#include "pkcs11/Mechanisms.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>

namespace kivo::p11 {
namespace {

constexpr std::array<std::size_t, 4> kHashLengths = {20, 32, 48, 64};

// The DigestInfo prefix (AlgorithmIdentifier with NULL parameters, then
// the OCTET STRING header) of each hash code.
const std::array<Bytes, 4>& digestInfoPrefixes() {
    static const std::array<Bytes, 4> prefixes = {{
        {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14},
        {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20},
        {0x30, 0x41, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30},
        {0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40},
    }};
    return prefixes;
}

const EVP_MD* digestOf(int hashCode) {
    switch (hashCode) {
        case 0: return EVP_sha1();
        case 1: return EVP_sha256();
        case 2: return EVP_sha384();
        case 3: return EVP_sha512();
        default: return nullptr;
    }
}

int hashCodeOfLength(std::size_t length) {
    const auto found = std::find(kHashLengths.begin(), kHashLengths.end(), length);
    return found == kHashLengths.end() ? -1 : static_cast<int>(found - kHashLengths.begin());
}

std::optional<HashToSign> ofDigestInfo(const Bytes& input) {
    const auto& prefixes = digestInfoPrefixes();
    for (int code = 0; code < static_cast<int>(prefixes.size()); ++code) {
        const Bytes& prefix = prefixes[static_cast<std::size_t>(code)];
        if (input.size() == prefix.size() + hashLength(code) && std::equal(prefix.begin(), prefix.end(), input.begin())) {
            return HashToSign{code, Bytes(input.begin() + static_cast<long>(prefix.size()), input.end())};
        }
    }
    return std::nullopt;
}

}  // namespace

const std::vector<MechanismRule>& mechanismRules() {
    using Kind = SignatureKind;
    static const std::vector<MechanismRule> rules = {
        {CKM_RSA_PKCS, Kind::RsaPkcs1, -1, true},
        {CKM_SHA1_RSA_PKCS, Kind::RsaPkcs1, 0, false},
        {CKM_SHA256_RSA_PKCS, Kind::RsaPkcs1, 1, false},
        {CKM_SHA384_RSA_PKCS, Kind::RsaPkcs1, 2, false},
        {CKM_SHA512_RSA_PKCS, Kind::RsaPkcs1, 3, false},
        {CKM_RSA_PKCS_PSS, Kind::RsaPss, -1, false},
        {CKM_SHA1_RSA_PKCS_PSS, Kind::RsaPss, 0, false},
        {CKM_SHA256_RSA_PKCS_PSS, Kind::RsaPss, 1, false},
        {CKM_SHA384_RSA_PKCS_PSS, Kind::RsaPss, 2, false},
        {CKM_SHA512_RSA_PKCS_PSS, Kind::RsaPss, 3, false},
        {CKM_ECDSA, Kind::Ecdsa, -1, false},
        {CKM_ECDSA_SHA1, Kind::Ecdsa, 0, false},
        {CKM_ECDSA_SHA256, Kind::Ecdsa, 1, false},
        {CKM_ECDSA_SHA384, Kind::Ecdsa, 2, false},
        {CKM_ECDSA_SHA512, Kind::Ecdsa, 3, false},
    };
    return rules;
}

const MechanismRule* mechanismRule(CK_MECHANISM_TYPE type) {
    const auto& rules = mechanismRules();
    const auto found = std::find_if(rules.begin(), rules.end(), [&](const MechanismRule& rule) { return rule.type == type; });
    return found == rules.end() ? nullptr : &*found;
}

int hashCodeOfDigest(CK_MECHANISM_TYPE digest) {
    switch (digest) {
        case CKM_SHA_1: return 0;
        case CKM_SHA256: return 1;
        case CKM_SHA384: return 2;
        case CKM_SHA512: return 3;
        default: return -1;
    }
}

int hashCodeOfMgf(CK_RSA_PKCS_MGF_TYPE mgf) {
    switch (mgf) {
        case CKG_MGF1_SHA1: return 0;
        case CKG_MGF1_SHA256: return 1;
        case CKG_MGF1_SHA384: return 2;
        case CKG_MGF1_SHA512: return 3;
        default: return -1;
    }
}

std::size_t hashLength(int hashCode) {
    return hashCode >= 0 && hashCode < 4 ? kHashLengths[static_cast<std::size_t>(hashCode)] : 0;
}

std::optional<int> pssHashCode(const MechanismRule& rule, const void* parameter, CK_ULONG length) {
    if (parameter == nullptr || length != sizeof(CK_RSA_PKCS_PSS_PARAMS)) return std::nullopt;
    const auto* pss = static_cast<const CK_RSA_PKCS_PSS_PARAMS*>(parameter);
    const int hash = hashCodeOfDigest(pss->hashAlg);
    const bool fits = hash >= 0 && (rule.hashCode < 0 || rule.hashCode == hash) && hashCodeOfMgf(pss->mgf) == hash &&
                      pss->sLen == hashLength(hash);
    return fits ? std::optional<int>(hash) : std::nullopt;
}

std::optional<HashToSign> hashOfInput(const MechanismRule& rule, const Bytes& input, int pssHash) {
    switch (rule.kind) {
        case SignatureKind::RsaPkcs1: return ofDigestInfo(input);
        case SignatureKind::RsaPss:
            if (input.size() != hashLength(pssHash)) return std::nullopt;
            return HashToSign{pssHash, input};
        default: {
            const int code = hashCodeOfLength(input.size());
            if (code < 0) return std::nullopt;
            return HashToSign{code, input};
        }
    }
}

DataHash::DataHash(int hashCode) : m_hashCode(hashCode), m_context(EVP_MD_CTX_new()) {
    if (m_context != nullptr && EVP_DigestInit_ex(m_context, digestOf(hashCode), nullptr) != 1) {
        EVP_MD_CTX_free(m_context);
        m_context = nullptr;
    }
}

DataHash::~DataHash() { EVP_MD_CTX_free(m_context); }

bool DataHash::update(const std::uint8_t* data, std::size_t length) {
    return m_context != nullptr && (length == 0 || EVP_DigestUpdate(m_context, data, length) == 1);
}

HashToSign DataHash::finish() {
    HashToSign hash{m_hashCode, Bytes(EVP_MAX_MD_SIZE)};
    unsigned int length = 0;
    if (m_context == nullptr || EVP_DigestFinal_ex(m_context, hash.digest.data(), &length) != 1) return {};
    hash.digest.resize(length);
    return hash;
}

}  // namespace kivo::p11
