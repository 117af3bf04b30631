// The signing sequence, the block a card signs, deciphering, the card's
// challenge, and the secure-messaging keys.
#include "smartcard/base/SC_Profile_Base.h"
#include "smartcard/base/CardNumbers.h"

#include "digest/DigestInfo.h"
#include "smartcard/base/StatusWords.h"
#include "smartcard/transport/CardTrace.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

using kivo::CardTrace;
namespace card = kivo::card;

namespace {

constexpr std::uint32_t kChallengeRound = 8;

bool signsRawHash(std::uint32_t algorithm) {
    return algorithm == CSC_Profile_Base::cAlgSsl3Shamd5 || algorithm == CSC_Profile_Base::cAlgRawHash;
}

// The digest of a card hash code; SHA-256 for any value not listed.
kivo::DigestAlgorithm digestOf(std::uint32_t algorithm) {
    switch (algorithm) {
        case CSC_Profile_Base::cAlgMd5: return kivo::DigestAlgorithm::Md5;
        case CSC_Profile_Base::cAlgSha1: return kivo::DigestAlgorithm::Sha1;
        case CSC_Profile_Base::cAlgRipemd160: return kivo::DigestAlgorithm::Ripemd160;
        case CSC_Profile_Base::cAlgSha384: return kivo::DigestAlgorithm::Sha384;
        case CSC_Profile_Base::cAlgSha512: return kivo::DigestAlgorithm::Sha512;
        default: return kivo::DigestAlgorithm::Sha256;
    }
}

}  // namespace

CardResult CSC_Profile_Base::BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                                             const std::uint8_t* hash, std::uint32_t hashLength,
                                             Bytes& out, bool pad) {
    const TraceScope trace(*this, "BuildSignBuffer");
    return DigestInfoSignBuffer(hashAlgorithm, keyBits, hash, hashLength, out, pad);
}

CardResult CSC_Profile_Base::DigestInfoSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                                                  const std::uint8_t* hash, std::uint32_t hashLength,
                                                  Bytes& out, bool pad) {
    out.clear();
    if (hash == nullptr && hashLength != 0) return card::cFailed;
    // A value that asks for RSASSA-PSS has no DigestInfo: a profile that
    // signs PSS builds its own input, any other refuses rather than sign a
    // SHA-256 DigestInfo nobody asked for.
    if ((hashAlgorithm & cAlgFlagPss) != 0) return card::cFailed;

    Bytes block;
    if (signsRawHash(hashAlgorithm)) {
        block.assign(hash, hash + hashLength);
    } else {
        // DigestInfo with short-form lengths: the whole must stay below 128.
        block = kivo::digestInfoPrefix(digestOf(hashAlgorithm), hashLength);
        if (block.empty()) return card::cFailed;
        block.reserve(block.size() + hashLength);
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
    if (cardProfile != card::product::cSignCard) result = SelectFileOrFolder(keyPath);
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile_Base::PreSigning\n");
    return result;
}

CardResult CSC_Profile_Base::SelectFileOrFolder(const std::string& path) {
    // A path the cache holds as its current DF names a folder: it is not
    // tried as an EF first (three refused SELECTs and the MF again).
    if (NamesCurrentDf(path)) return SelectPath(path, false, false, true);
    const CardResult result = SelectPath(path);
    return result == card::cOk ? result : SelectPath(path, false, false, true);
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
    if (m_cardProfile == card::product::cSignTrust2k || m_cardProfile == card::product::cProduct8 ||
        m_cardProfile == card::product::cStarCos34Layout61) {
        SelectMfAndNote();
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
        if (sw == card::sw::kConditionsNotSatisfied || sw == card::sw::kClaFunctionNotSupported) {
            return card::cChallengeRefused;
        }
        if (sw != card::sw::kOk) return card::cFailed;
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
