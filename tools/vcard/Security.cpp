#include "tools/vcard/Security.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <string>

namespace vcard {

void PkeyDeleter::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }
void BnDeleter::operator()(bignum_st* number) const { BN_clear_free(number); }

namespace {

constexpr std::uint8_t kSignatureTemplate = 0xB6;
constexpr std::uint8_t kConfidentialityTemplate = 0xB8;
constexpr std::uint8_t kAuthenticationTemplate = 0xA4;
constexpr std::uint8_t kHashTemplate = 0xAA;

// The digest a hash-template reference names.
const EVP_MD* digestOfReference(std::uint8_t reference) {
    switch (reference) {
        case 0x10: return EVP_sha1();
        case 0x30: return EVP_ripemd160();
        case 0x40: return EVP_sha256();
        default: return nullptr;
    }
}

// The digest of a plain hash, by its length.
const EVP_MD* digestOfLength(std::size_t length) {
    switch (length) {
        case 20: return EVP_sha1();
        case 32: return EVP_sha256();
        case 48: return EVP_sha384();
        case 64: return EVP_sha512();
        default: return nullptr;
    }
}

struct CtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxDeleter>;

std::uint16_t triesLeft(int retries) {
    return static_cast<std::uint16_t>(0x63C0 | (retries & 0x0F));
}

// ECDSA-Sig-Value (DER) to the plain r || s form cards answer with.
Bytes plainEcdsa(const Bytes& der, std::size_t half) {
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    if (!sig) return {};
    Bytes out(2 * half);
    const BIGNUM* r = ECDSA_SIG_get0_r(sig);
    const BIGNUM* s = ECDSA_SIG_get0_s(sig);
    bool ok = BN_bn2binpad(r, out.data(), static_cast<int>(half)) > 0 &&
              BN_bn2binpad(s, out.data() + half, static_cast<int>(half)) > 0;
    ECDSA_SIG_free(sig);
    return ok ? out : Bytes{};
}

// A PKCS#1 v1.5 block type 1: 00 01, at least eight FF, 00, data.
bool isSignatureBlock(const Bytes& block) {
    if (block.size() < 11 || block[0] != 0x00 || block[1] != 0x01) return false;
    std::size_t i = 2;
    while (i < block.size() && block[i] == 0xFF) ++i;
    return i >= 10 && i < block.size() && block[i] == 0x00;
}

}  // namespace

const Pin* Security::pin(std::uint8_t reference) const {
    auto it = m_pins.find(reference);
    return it == m_pins.end() ? nullptr : &it->second;
}

void Security::reset() {
    m_verified.clear();
    m_environment.clear();
    m_hashAlgorithm.reset();
    m_signatureAlgorithm.reset();
    m_hash.clear();
}

std::uint16_t Security::check(std::uint8_t reference, Pin& pin, const Bytes& given) {
    if (pin.retries <= 0) return 0x6983;
    if (given == pin.value) {
        pin.retries = pin.maxRetries;
        m_verified.insert(reference);
        return 0x9000;
    }
    --pin.retries;
    m_verified.erase(reference);
    // Some families answer a wrong PIN without the count (63 00).
    return static_cast<std::uint16_t>(dialect->hex("wrong-pin-sw", triesLeft(pin.retries)));
}

Bytes Security::verify(const Apdu& apdu) {
    if (apdu.p1 != 0x00 && apdu.p1 != 0xFF) return status(0x6A86);
    auto it = m_pins.find(apdu.p2);
    if (it == m_pins.end()) return status(0x6A88);
    Pin& pin = it->second;
    if (apdu.p1 == 0xFF) {  // ISO 7816-4: reset the verification status
        m_verified.erase(apdu.p2);
        return status(0x9000);
    }
    if (apdu.data.empty()) {  // asks for the state without trying
        if (pin.retries <= 0) return status(0x6983);
        if (m_verified.count(apdu.p2)) return status(0x9000);
        return status(triesLeft(pin.retries));
    }
    return status(check(apdu.p2, pin, apdu.data));
}

Bytes Security::changeReferenceData(const Apdu& apdu) {
    auto it = m_pins.find(apdu.p2);
    if (it == m_pins.end()) return status(0x6A88);
    Pin& pin = it->second;
    if (pin.retries <= 0) return status(0x6983);
    Bytes fresh;
    if (apdu.p1 == 0x00) {  // current value followed by the new one
        if (apdu.data.size() <= pin.value.size()) return status(0x6700);
        Bytes old(apdu.data.begin(), apdu.data.begin() + static_cast<std::ptrdiff_t>(pin.value.size()));
        std::uint16_t sw = check(apdu.p2, pin, old);
        if (sw != 0x9000) return status(sw);
        fresh.assign(apdu.data.begin() + static_cast<std::ptrdiff_t>(pin.value.size()), apdu.data.end());
    } else if (apdu.p1 == 0x01) {  // new value only, after a verification
        if (!m_verified.count(apdu.p2)) return status(0x6982);
        if (apdu.data.empty()) return status(0x6700);
        fresh = apdu.data;
    } else {
        return status(0x6A86);
    }
    pin.value = fresh;
    pin.retries = pin.maxRetries;
    return status(0x9000);
}

Bytes Security::resetRetryCounter(const Apdu& apdu) {
    auto it = m_pins.find(apdu.p2);
    if (it == m_pins.end()) return status(0x6A88);
    Pin& pin = it->second;
    if (apdu.p1 > 0x03) return status(0x6A86);
    if (!pin.puk) return status(0x6985);
    auto pukIt = m_pins.find(*pin.puk);
    if (pukIt == m_pins.end()) return status(0x6985);
    Pin& puk = pukIt->second;

    // P1 00: PUK and new PIN; 01: PUK only; 02: new PIN only and 03: nothing,
    // both after the PUK was verified.
    const bool pukInData = apdu.p1 == 0x00 || apdu.p1 == 0x01;
    const bool newInData = apdu.p1 == 0x00 || apdu.p1 == 0x02;
    std::size_t pukLength = pukInData ? puk.value.size() : 0;
    if (pukInData && apdu.data.size() < pukLength) return status(0x6700);
    if (newInData && apdu.data.size() <= pukLength) return status(0x6700);
    if (!newInData && apdu.data.size() != pukLength) return status(0x6700);
    if (pukInData) {
        Bytes given(apdu.data.begin(), apdu.data.begin() + static_cast<std::ptrdiff_t>(pukLength));
        std::uint16_t sw = check(*pin.puk, puk, given);
        if (sw != 0x9000) return status(sw);
    } else if (!m_verified.count(*pin.puk)) {
        return status(0x6982);
    }
    if (newInData) pin.value.assign(apdu.data.begin() + static_cast<std::ptrdiff_t>(pukLength), apdu.data.end());
    pin.retries = pin.maxRetries;
    return status(0x9000);
}

Bytes Security::manageSecurityEnvironment(const Apdu& apdu) {
    if (apdu.p1 == 0xF3) return restoreEnvironment(apdu.p2);
    if ((apdu.p1 & 0x0F) != 0x01) return status(0x6A86);
    if (apdu.p2 != kSignatureTemplate && apdu.p2 != kConfidentialityTemplate &&
        apdu.p2 != kAuthenticationTemplate && apdu.p2 != kHashTemplate) {
        return status(0x6A86);
    }
    // Control reference data objects: 80 algorithm (one octet; empty: the
    // key's own), 83/84 key reference (one octet, or 80 kk vv: key number
    // and version), 89 algorithm reference of the hash template (14 hh).
    std::optional<std::uint8_t> keyRef;
    std::optional<std::uint8_t> hashAlgorithm;
    std::optional<std::uint8_t> algorithm;
    const Bytes& d = apdu.data;
    for (std::size_t i = 0; i + 2 <= d.size();) {
        const std::uint8_t tag = d[i];
        const std::size_t length = d[i + 1];
        if (i + 2 + length > d.size()) return status(0x6A80);
        const std::uint8_t* value = d.data() + i + 2;
        if ((tag == 0x83 || tag == 0x84) && length == 3 && value[0] == 0x80) {
            keyRef = value[1];
        } else if ((tag == 0x83 || tag == 0x84) && length > 0) {
            keyRef = value[length - 1];
        } else if (tag == 0x89 && length == 2) {
            hashAlgorithm = value[1];
        } else if (tag == 0x80 && length == 1) {
            algorithm = value[0];
        }
        i += 2 + length;
    }
    if (apdu.p2 == kHashTemplate) {
        if (!hashAlgorithm) return status(0x6A80);
        m_hashAlgorithm = hashAlgorithm;
        m_hash.clear();
        return status(0x9000);
    }
    if (keyRef) {
        if (!m_keys.count(*keyRef)) return status(0x6A88);
        m_environment[apdu.p2] = *keyRef;
    }
    if (apdu.p2 == kSignatureTemplate) m_signatureAlgorithm = algorithm;
    return status(0x9000);
}

Bytes Security::restoreEnvironment(std::uint8_t number) {
    m_environment.clear();
    m_hashAlgorithm.reset();
    m_signatureAlgorithm.reset();
    // restore-se=key: the card's stored environment nn signs with key nn.
    if (number != 0 && dialect->text("restore-se") == "key") {
        if (!m_keys.count(number)) return status(0x6A88);
        m_environment[kSignatureTemplate] = number;
    }
    return status(0x9000);
}

Key* Security::keyFor(std::uint8_t templateTag, std::uint16_t& sw) {
    auto env = m_environment.find(templateTag);
    if (env == m_environment.end()) {
        sw = 0x6985;  // no key set for this operation
        return nullptr;
    }
    Key& key = m_keys.at(env->second);
    if (key.pin && !m_verified.count(*key.pin)) {
        sw = 0x6982;
        return nullptr;
    }
    return &key;
}

Bytes Security::computeSignature(const Apdu& apdu) {
    // Without data the card signs the hash PSO HASH gave it.
    const bool storedHash = apdu.data.empty();
    if (storedHash && m_hash.empty()) return status(0x6985);
    std::uint16_t sw = 0;
    // Some families sign with the key of another template (TCOS 2.0: B8).
    const auto signingTemplate =
        static_cast<std::uint8_t>(dialect->hex("signature-template", kSignatureTemplate));
    Key* key = keyFor(signingTemplate, sw);
    if (!key) return status(sw);
    const EVP_MD* md = storedHash ? digestOfReference(m_hashAlgorithm.value_or(0)) : hashOfTemplate(apdu.data);
    Bytes signature = !storedHash && md == nullptr && signsPss(apdu.data)
                          ? signPss(key->pkey.get(), apdu.data)
                          : sign(key->pkey.get(), storedHash ? m_hash : apdu.data, md);
    m_hash.clear();
    if (signature.empty()) return status(0x6A80);
    spendSingleUse(*key);
    return withStatus(std::move(signature), 0x9000);
}

// single-signature: one verification of the key's PIN allows one operation
// with the key (a signature, or a signature or deciphering through PSO
// DECIPHER); the next one needs a fresh VERIFY (SignCard single).
void Security::spendSingleUse(const Key& key) {
    if (dialect->text("single-signature") == "yes" && key.pin) m_verified.erase(*key.pin);
}

const EVP_MD* Security::hashOfTemplate(const Bytes& data) const {
    // cds-digest-info=hash-template: the card was told the hash algorithm
    // with the hash template and is handed the bare hash (SecCos 5).
    if (dialect->text("cds-digest-info") != "hash-template" || !m_hashAlgorithm) return nullptr;
    const EVP_MD* md = digestOfReference(*m_hashAlgorithm);
    return md != nullptr && data.size() == static_cast<std::size_t>(EVP_MD_get_size(md)) ? md : nullptr;
}

Bytes Security::hash(const Apdu& apdu) {
    const Bytes& d = apdu.data;
    const EVP_MD* md = digestOfReference(m_hashAlgorithm.value_or(0));
    if (md == nullptr) return status(0x6985);  // no hash template set
    if (d.size() < 2 || d[0] != 0x90 || d[1] != d.size() - 2 ||
        d.size() - 2 != static_cast<std::size_t>(EVP_MD_get_size(md))) {
        return status(0x6A80);
    }
    m_hash.assign(d.begin() + 2, d.end());
    return status(0x9000);
}

Bytes Security::internalAuthenticate(const Apdu& apdu) {
    if (apdu.data.empty()) return status(0x6700);
    if (dialect->has("device-auth-key")) return deviceAuthenticate(apdu);
    std::uint16_t sw = 0;
    Key* key = keyFor(kAuthenticationTemplate, sw);
    if (!key) return status(sw);
    Bytes signature = sign(key->pkey.get(), apdu.data, nullptr);
    if (signature.empty()) return status(0x6A80);
    return withStatus(std::move(signature), 0x9000);
}

Bytes Security::sign(EVP_PKEY* pkey, const Bytes& input, const EVP_MD* md) {
    PkeyCtx ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0) return {};
    const bool rsa = EVP_PKEY_get_base_id(pkey) == EVP_PKEY_RSA;
    if (rsa) {
        // A block of the modulus size is signed as given (the host padded
        // it); anything shorter, such as a DigestInfo, gets PKCS#1 type 1.
        const std::size_t modulus = static_cast<std::size_t>(EVP_PKEY_get_size(pkey));
        const int padding = md == nullptr && input.size() == modulus ? RSA_NO_PADDING : RSA_PKCS1_PADDING;
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) <= 0) return {};
    }
    if (md != nullptr && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0) return {};
    std::size_t length = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &length, input.data(), input.size()) <= 0) return {};
    Bytes signature(length);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &length, input.data(), input.size()) <= 0) return {};
    signature.resize(length);
    if (!rsa) signature = plainEcdsa(signature, static_cast<std::size_t>(EVP_PKEY_get_bits(pkey) + 7) / 8);
    return signature;
}

bool Security::signsPss(const Bytes& data) const {
    // pss-for-bare-hash: a card that is given a bare hash, not a DigestInfo,
    // can only mean RSASSA-PSS, which it encodes itself (CardOS 5.x).
    if (dialect->text("pss-for-bare-hash") == "yes" && digestOfLength(data.size()) != nullptr) return true;
    return m_signatureAlgorithm && dialect->has("pss-algorithm") &&
           *m_signatureAlgorithm == dialect->hex("pss-algorithm", 0x100);
}

Bytes Security::signPss(EVP_PKEY* pkey, const Bytes& hash) {
    const EVP_MD* md = digestOfLength(hash.size());
    if (md == nullptr || EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) return {};
    PkeyCtx ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) <= 0 ||
        EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), RSA_PSS_SALTLEN_DIGEST) <= 0) {
        return {};
    }
    std::size_t length = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &length, hash.data(), hash.size()) <= 0) return {};
    Bytes signature(length);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &length, hash.data(), hash.size()) <= 0) return {};
    signature.resize(length);
    return signature;
}

Bytes Security::decipher(const Apdu& apdu) {
    std::uint16_t sw = 0;
    Key* key = keyFor(kConfidentialityTemplate, sw);
    if (!key) return status(sw);
    EVP_PKEY* pkey = key->pkey.get();
    if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) return status(0x6985);
    std::size_t modulus = static_cast<std::size_t>(EVP_PKEY_get_size(pkey));
    Bytes cryptogram = apdu.data;
    // A leading padding-indicator byte precedes the cryptogram: 00, or the
    // dialect's indicator for a raw private operation (the whole block back).
    const std::uint32_t rawIndicator = dialect->hex("decipher-raw-indicator", 0x100);
    bool raw = false;
    if (cryptogram.size() == modulus + 1 && (cryptogram[0] == 0x00 || cryptogram[0] == rawIndicator)) {
        raw = cryptogram[0] == rawIndicator;
        cryptogram.erase(cryptogram.begin());
    }
    if (cryptogram.size() != modulus) return status(0x6700);
    if (dialect->text("decipher-byte-order") == "reversed") std::reverse(cryptogram.begin(), cryptogram.end());
    // decipher-signs=type1: the card signs through DECIPHER, applying its
    // key to a PKCS#1 type-1 block as it stands (the same raw operation as
    // the raw indicator's). No RSA encryption yields such a block (00 01,
    // eight or more FF, 00) but by a chance of 2^-80.
    raw = raw || (dialect->text("decipher-signs") == "type1" && isSignatureBlock(cryptogram));
    PkeyCtx ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), raw ? RSA_NO_PADDING : RSA_PKCS1_PADDING) <= 0) {
        return status(0x6F00);
    }
    std::size_t length = modulus;
    Bytes plain(length);
    if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &length, cryptogram.data(), cryptogram.size()) <= 0) {
        return status(0x6A80);
    }
    plain.resize(length);
    spendSingleUse(*key);
    return withStatus(std::move(plain), 0x9000);
}

}  // namespace vcard
