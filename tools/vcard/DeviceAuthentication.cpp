// The device authentication of a TCOS 3.0 card (dialect device-auth-key):
// INTERNAL AUTHENTICATE answers the card's framed key share, signed with
// the card's device key and enciphered for the terminal; EXTERNAL
// AUTHENTICATE undoes the terminal's block and checks its frame and hash.
#include "tools/vcard/Security.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace vcard {

namespace {

// Device authentication blocks: 6A, 74 random bytes, a 32-byte key share,
// SHA-1 over those 106 bytes and 16 bytes of challenge and identifier, BC.
constexpr std::size_t kAuthBlock = 128;
constexpr std::size_t kAuthHashed = 106;

Bn keyNumber(EVP_PKEY* key, const char* name) {
    BIGNUM* n = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &n) != 1) return nullptr;
    return Bn(n);
}

Bn hexNumber(const std::string& text) {
    BIGNUM* n = nullptr;
    if (text.empty() || BN_hex2bn(&n, text.c_str()) != static_cast<int>(text.size())) {
        BN_free(n);
        return nullptr;
    }
    return Bn(n);
}

// in^exponent mod modulus, 128 bytes big-endian; empty when it fails.
Bytes rawRsa(const Bytes& in, const BIGNUM* exponent, const BIGNUM* modulus) {
    if (!exponent || !modulus || in.size() != kAuthBlock) return {};
    Bn value(BN_bin2bn(in.data(), static_cast<int>(in.size()), nullptr));
    Bn result(BN_new());
    BN_CTX* ctx = BN_CTX_new();
    Bytes out(kAuthBlock);
    const bool ok = value && result && ctx && BN_mod_exp(result.get(), value.get(), exponent, modulus, ctx) == 1 &&
                    BN_bn2binpad(result.get(), out.data(), static_cast<int>(out.size())) > 0;
    BN_CTX_free(ctx);
    return ok ? out : Bytes{};
}

bool below(const Bytes& value, const BIGNUM* modulus) {
    Bn n(BN_bin2bn(value.data(), static_cast<int>(value.size()), nullptr));
    return n && BN_cmp(n.get(), modulus) < 0;
}

Bytes authHash(const Bytes& block, const Bytes& bound) {
    Bytes input(block.begin() + 1, block.begin() + 1 + kAuthHashed);
    input.insert(input.end(), bound.begin(), bound.end());
    Bytes digest(SHA_DIGEST_LENGTH);
    SHA1(input.data(), input.size(), digest.data());
    return digest;
}

}  // namespace

std::optional<DeviceKeys> Security::deviceKeys() const {
    auto it = m_keys.find(static_cast<std::uint8_t>(dialect->hex("device-auth-key", 0x100)));
    if (it == m_keys.end()) return std::nullopt;
    EVP_PKEY* key = it->second.pkey.get();
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key) != 1024) return std::nullopt;
    DeviceKeys keys{keyNumber(key, OSSL_PKEY_PARAM_RSA_N), keyNumber(key, OSSL_PKEY_PARAM_RSA_D),
                    hexNumber(dialect->text("terminal-modulus")),
                    hexNumber(dialect->text("terminal-exponent", "010001"))};
    if (!keys.modulus || !keys.privateExponent || !keys.terminalModulus || !keys.terminalExponent) {
        return std::nullopt;
    }
    return keys;
}

Bytes Security::deviceAuthenticate(const Apdu& apdu) {
    if (apdu.data.size() != 16 || apdu.p1 != 0 || apdu.p2 != 0) return status(0x6700);
    const std::optional<DeviceKeys> keys = deviceKeys();
    if (!keys) return status(0x6985);
    m_authenticationData = apdu.data;
    Bytes block(kAuthBlock);
    Bytes signature;
    // New padding until the signature can be enciphered for the terminal.
    for (int attempt = 0; attempt < 32 && signature.empty(); ++attempt) {
        block.front() = 0x6A;
        block.back() = 0xBC;
        if (RAND_bytes(block.data() + 1, static_cast<int>(kAuthHashed)) != 1) return status(0x6F00);
        const Bytes digest = authHash(block, apdu.data);
        std::copy(digest.begin(), digest.end(), block.begin() + 1 + kAuthHashed);
        // The option device-auth-misframe=N makes the first N answers carry
        // a wrong header, as a disturbed card would.
        if (m_misframed < std::atoi(dialect->text("device-auth-misframe", "0").c_str())) block.front() = 0x4A;
        signature = rawRsa(block, keys->privateExponent.get(), keys->modulus.get());
        if (!signature.empty() && !below(signature, keys->terminalModulus.get())) signature.clear();
    }
    if (block.front() != 0x6A) ++m_misframed;
    Bytes answer = rawRsa(signature, keys->terminalExponent.get(), keys->terminalModulus.get());
    if (answer.empty()) return status(0x6F00);
    return withStatus(std::move(answer), 0x9000);
}

Bytes Security::externalAuthenticate(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return status(0x6A86);
    if (apdu.data.size() != kAuthBlock) return status(0x6700);
    const std::optional<DeviceKeys> keys = deviceKeys();
    if (!keys || m_challenge.size() != 8 || m_authenticationData.size() != 16) return status(0x6985);
    // The challenge serves one authentication only.
    Bytes bound = m_challenge;
    m_challenge.clear();
    bound.insert(bound.end(), m_authenticationData.begin() + 8, m_authenticationData.end());
    const Bytes block = rawRsa(rawRsa(apdu.data, keys->privateExponent.get(), keys->modulus.get()),
                               keys->terminalExponent.get(), keys->terminalModulus.get());
    if (block.size() != kAuthBlock || block.front() != 0x6A || block.back() != 0xBC) return status(0x6300);
    const Bytes digest = authHash(block, bound);
    if (!std::equal(digest.begin(), digest.end(), block.begin() + 1 + kAuthHashed)) return status(0x6300);
    return status(0x9000);
}

}  // namespace vcard
