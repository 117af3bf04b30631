#include "smartcard/profiles/SC_Profile_StarCos34.h"
#include "smartcard/profiles/ControlReferenceTemplates.h"

#include "smartcard/transport/CardTrace.h"

#include <optional>

using kivo::CardTrace;
namespace card = kivo::card;
namespace sw = kivo::card::sw;

namespace {

constexpr std::uint8_t kUnblockWithoutNewPin = 0x01;
// The data objects of MSE SET (ISO 7816-8): the key as 84 03 80 kk 00
// (key number kk, version 00), then the algorithm reference 80. A PKCS#1
// v1.5 signature of a DigestInfo is the key's own algorithm, so 80 comes
// empty ("no algorithm reference": 7 bytes in all); RSASSA-PSS needs one,
// 80 01 05 (8 bytes): PSS with MGF1 of the hash whose length the card is
// given, salt as long as that hash.
constexpr std::uint8_t kKeyReferenceTag = 0x84;
constexpr std::uint8_t kAlgorithmReferenceTag = 0x80;
constexpr std::uint8_t kRsaPss = 0x05;

std::optional<std::uint32_t> pssHashLength(std::uint32_t hashAlgorithm) {
    switch (hashAlgorithm) {
        case CSC_Profile_Base::cAlgSha1: return 20;
        case CSC_Profile_Base::cAlgSha256: return 32;
        case CSC_Profile_Base::cAlgSha384: return 48;
        case CSC_Profile_Base::cAlgSha512: return 64;
        default: return std::nullopt;
    }
}

bool isPss(std::uint32_t algorithm) { return (algorithm & CSC_Profile_Base::cAlgFlagPss) != 0; }

}  // namespace

std::span<const sw::Mapping> CSC_Profile_StarCos34::PinCommandResults() const {
    return cPinResults;
}

void CSC_Profile_StarCos34::InitUnblockMode() { m_unblockPukOnly = 1; }

CardResult CSC_Profile_StarCos34::SCUnblockPin2(std::uint8_t reference, const std::uint8_t* puk,
                                                std::uint32_t pukLength) {
    const TraceScope trace(*this, "SCUnblockPin2");
    return SendOneBlock(cInsResetRetryCounter, kUnblockWithoutNewPin, reference, puk, pukLength);
}

CSC_Profile_Base::Bytes CSC_Profile_StarCos34::SignatureEnvironment(std::uint8_t keyReference,
                                                                     std::uint32_t algorithm) {
    Bytes data = {kKeyReferenceTag, 0x03, 0x80, keyReference, 0x00, kAlgorithmReferenceTag, 0x00};
    if (isPss(algorithm)) {
        data.back() = 0x01;
        data.push_back(kRsaPss);
    }
    return data;
}

CardResult CSC_Profile_StarCos34::SetSignatureEnvironment(std::uint8_t keyReference, std::uint32_t algorithm) {
    return ManageSecurityEnvironment(cMseSet, card::crt::kDigitalSignature, SignatureEnvironment(keyReference, algorithm));
}

CardResult CSC_Profile_StarCos34::BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                                                  const std::uint8_t* hash, std::uint32_t hashLength,
                                                  Bytes& out, bool pad) {
    const TraceScope trace(*this, "BuildSignBuffer");
    if (!isPss(hashAlgorithm)) {
        return DigestInfoSignBuffer(hashAlgorithm, keyBits, hash, hashLength, out, pad);
    }
    out.clear();
    const auto expected = pssHashLength(hashAlgorithm & ~cAlgFlagPss);
    if (hash == nullptr || !expected || *expected != hashLength) return card::cFailed;
    out.assign(hash, hash + hashLength);
    return card::cOk;
}

CardResult CSC_Profile_StarCos34::SCSignData(const std::string&, std::uint32_t keyBits,
                                             const std::uint8_t* data, std::uint32_t dataLength,
                                             Bytes& signature, std::uint32_t algorithm,
                                             std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCSignData");
    Bytes block;
    if (data == nullptr || dataLength == 0 || dataLength > 0xFF ||
        BuildSignBuffer(algorithm, keyBits, data, dataLength, block, false) != card::cOk ||
        block.empty() || block.size() > 0xFF) {
        return card::cFailed;
    }
    if (isPss(algorithm)) CardTrace::write(CardTrace::cLevelInfo, "using RSAPSS\n");
    return SignWithEnvironment(block, keyReference, algorithm, signature);
}

CardResult CSC_Profile_StarCos34::SignWithEnvironment(const Bytes& block, std::uint8_t keyReference,
                                                      std::uint32_t algorithm, Bytes& signature) {
    CardResult result = SetSignatureEnvironment(keyReference, algorithm);
    if (result != card::cOk) return result;
    result = ComputeDigitalSignature(block, {}, signature);
    if (result != card::cOk) SignatureRefused();
    return result;
}
