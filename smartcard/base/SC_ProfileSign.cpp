// The signing sequence, the block a card signs, deciphering, the card's
// challenge, and the secure-messaging keys.
#include "smartcard/base/SC_Profile_Base.h"

#include "smartcard/transport/CardTrace.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

using kivo::CardTrace;
namespace card = kivo::card;

namespace {

constexpr std::int32_t kProfileWithoutKeySelect = 20;
constexpr std::uint32_t kChallengeRound = 8;

struct AlgorithmIdentifier {
    std::uint32_t algorithm;
    const std::uint8_t* bytes;
    std::size_t length;
};

constexpr std::uint8_t kMd5Id[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00};
constexpr std::uint8_t kSha1Id[] = {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00};
constexpr std::uint8_t kRipemd160Id[] = {0x06, 0x05, 0x2B, 0x24, 0x03, 0x02, 0x01, 0x05, 0x00};
constexpr std::uint8_t kSha256Id[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03,
                                      0x04, 0x02, 0x01, 0x05, 0x00};
constexpr std::uint8_t kSha384Id[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03,
                                      0x04, 0x02, 0x02, 0x05, 0x00};
constexpr std::uint8_t kSha512Id[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03,
                                      0x04, 0x02, 0x03, 0x05, 0x00};

const AlgorithmIdentifier kAlgorithmIds[] = {
    {CSC_Profile_Base::cAlgMd5, kMd5Id, sizeof kMd5Id},
    {CSC_Profile_Base::cAlgSha1, kSha1Id, sizeof kSha1Id},
    {CSC_Profile_Base::cAlgRipemd160, kRipemd160Id, sizeof kRipemd160Id},
    {CSC_Profile_Base::cAlgSha384, kSha384Id, sizeof kSha384Id},
    {CSC_Profile_Base::cAlgSha512, kSha512Id, sizeof kSha512Id},
};

bool signsRawHash(std::uint32_t algorithm) {
    return algorithm == CSC_Profile_Base::cAlgSsl3Shamd5 || algorithm == CSC_Profile_Base::cAlgRawHash;
}

// The DER AlgorithmIdentifier contents; SHA-256 for any value not listed.
AlgorithmIdentifier identifierOf(std::uint32_t algorithm) {
    for (const AlgorithmIdentifier& entry : kAlgorithmIds) {
        if (entry.algorithm == algorithm) return entry;
    }
    return {CSC_Profile_Base::cAlgSha256, kSha256Id, sizeof kSha256Id};
}

}  // namespace

CardResult CSC_Profile_Base::BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                                             const std::uint8_t* hash, std::uint32_t hashLength,
                                             Bytes& out, bool pad) {
    out.clear();
    if (hash == nullptr && hashLength != 0) return card::cFailed;

    Bytes block;
    if (signsRawHash(hashAlgorithm)) {
        block.assign(hash, hash + hashLength);
    } else {
        // DigestInfo with short-form lengths: the whole must stay below 128.
        const AlgorithmIdentifier id = identifierOf(hashAlgorithm);
        const std::size_t inner = id.length;
        const std::size_t outer = inner + hashLength + 4;
        if (hashLength > 0x7F || outer > 0x7F) return card::cFailed;
        block.reserve(outer + 2);
        block.push_back(0x30);
        block.push_back(static_cast<std::uint8_t>(outer));
        block.push_back(0x30);
        block.push_back(static_cast<std::uint8_t>(inner));
        block.insert(block.end(), id.bytes, id.bytes + id.length);
        block.push_back(0x04);
        block.push_back(static_cast<std::uint8_t>(hashLength));
        block.insert(block.end(), hash, hash + hashLength);
    }
    if (!pad) {
        out = std::move(block);
        return card::cOk;
    }
    // PKCS#1 v1.5 block type 1: 00 01, at least eight FF, 00, the data.
    const std::size_t blockLength = keyBits / 8;
    if (blockLength < block.size() + 11) return card::cFailed;
    out.assign(blockLength, 0xFF);
    out[0] = 0x00;
    out[1] = 0x01;
    out[blockLength - block.size() - 1] = 0x00;
    std::copy(block.begin(), block.end(), out.end() - static_cast<std::ptrdiff_t>(block.size()));
    return card::cOk;
}

CardResult CSC_Profile_Base::PreSigning(std::int32_t cardProfile, const std::string& keyPath) {
    m_cardProfile = cardProfile;
    m_keyPath = keyPath;
    CardResult result = card::cOk;
    if (cardProfile != kProfileWithoutKeySelect) result = SelectPath(keyPath);
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile_Base::PreSigning\n");
    return result;
}

CardResult CSC_Profile_Base::SignData(const std::string& keyPath, std::uint32_t keyBits,
                                      const std::uint8_t* data, std::uint32_t dataLength,
                                      Bytes& signature, std::uint32_t algorithm,
                                      std::uint8_t keyReference) {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile_Base::SignData\n");
    signature.clear();
    Bytes produced;
    produced.reserve(2 * (keyBits / 8));
    const CardResult result =
        SCSignData(keyPath, keyBits, data, dataLength, produced, algorithm, keyReference);
    if (result == card::cOk) signature = std::move(produced);
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile_Base::SignData\n");
    return result;
}

CardResult CSC_Profile_Base::PostSigning() {
    if (m_cardProfile == 6 || m_cardProfile == 8 || m_cardProfile == 61) {
        if (SCSelectMF() == card::cOk) ResetSelectionToMf();
    }
    return card::cOk;
}

CardResult CSC_Profile_Base::RSADecrypt(const std::string& keyPath, std::uint32_t keyBits,
                                        const std::uint8_t* data, std::uint32_t dataLength,
                                        Bytes& plain, std::uint32_t algorithm,
                                        std::uint8_t keyReference) {
    const CardResult result =
        SCDecipher(keyPath, keyBits, data, dataLength, plain, algorithm, keyReference);
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile_Base::RSADecrypt\n");
    return result;
}

CardResult CSC_Profile_Base::GetChallange(std::uint8_t* buffer, std::uint32_t length) {
    if (buffer == nullptr || length == 0) return card::cFailed;
    for (std::uint32_t filled = 0; filled < length;) {
        SetApdu(cCaseHeaderLe, 0x00, 0x84, 0x00, 0x00, 0, kChallengeRound, nullptr, 0);
        if (!SendToCard()) return card::cFailed;
        const std::uint16_t sw = StatusWord();
        if (sw == 0x6985 || sw == 0x6800) return card::cChallengeRefused;
        if (sw != 0x9000) return card::cFailed;
        const std::uint32_t take =
            std::min({kChallengeRound, length - filled, ResponseLength()});
        // A card that answers 9000 without bytes would keep us here forever.
        if (take == 0) return card::cFailed;
        std::memcpy(buffer + filled, Response(), take);
        filled += take;
    }
    return card::cOk;
}

CardResult CSC_Profile_Base::SetSMKeys(const std::uint8_t* key1, std::uint32_t length1,
                                       const std::uint8_t* key2, std::uint32_t length2) {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile_Base::SetSMKeys\n");
    OPENSSL_cleanse(m_smKey1.data(), m_smKey1.size());
    OPENSSL_cleanse(m_smKey2.data(), m_smKey2.size());
    m_smKey1Length = 0;
    m_smKey2Length = 0;
    CardResult result = card::cFailed;
    if (key1 != nullptr && key2 != nullptr && length1 <= cMaxSmKeyLength &&
        length2 <= cMaxSmKeyLength) {
        std::memcpy(m_smKey1.data(), key1, length1);
        std::memcpy(m_smKey2.data(), key2, length2);
        m_smKey1Length = static_cast<std::uint16_t>(length1);
        m_smKey2Length = static_cast<std::uint16_t>(length2);
        result = card::cOk;
    }
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile_Base::SetSMKeys\n");
    return result;
}
