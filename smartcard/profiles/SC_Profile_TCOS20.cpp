#include "smartcard/profiles/SC_Profile_TCOS20.h"
#include "smartcard/profiles/ControlReferenceTemplates.h"

namespace card = kivo::card;

namespace {

// MSE SET for both directions (computation and verification) in the
// confidentiality template: TCOS 2.0 keys every operation of a key there.
constexpr std::uint8_t kSetForBothDirections = 0xC1;
constexpr std::uint8_t kEnvironmentLength = 6;
constexpr std::uint8_t kDecipherEncipheredValue = 0x84;

}  // namespace

void CSC_Profile_TCOS20::InitKeyLengths() {
    m_rsaKeyLength = 1024;
    m_secondKeyLength = 1024;
}

// The PSO takes its P1/P2 from the key's use: the set key makes a digital
// signature (9E 9A) of the DigestInfo, which the card pads with PKCS#1
// type 1, so that the result verifies as an RSA PKCS#1 v1.5 signature.
CardResult CSC_Profile_TCOS20::SCSignData(const std::string&, std::uint32_t keyBits,
                                          const std::uint8_t* data, std::uint32_t dataLength,
                                          Bytes& signature, std::uint32_t algorithm,
                                          std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCSignData");
    if (data == nullptr || dataLength == 0 || dataLength > 0xFF) return card::cFailed;
    const CardResult result = SetSecurityEnvironment(
        kSetForBothDirections, card::crt::kConfidentiality, kEnvironmentLength, keyReference,
        cAlgRsaPkcs1Signature);
    if (result != card::cOk) return result;
    return SendDigestInfo(0x2A, 0x9E, 0x9A, keyBits, data, dataLength, algorithm, signature);
}

CardResult CSC_Profile_TCOS20::SCDecipher(const std::string&, std::uint32_t,
                                          const std::uint8_t* data, std::uint32_t dataLength,
                                          Bytes& plain, std::uint32_t, std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCDecipher");
    if (data == nullptr || dataLength == 0) return card::cFailed;
    const CardResult result = SetSecurityEnvironment(
        kSetForBothDirections, card::crt::kConfidentiality, kEnvironmentLength, keyReference,
        cAlgRsaPkcs1Decipher);
    if (result != card::cOk) return result;
    return SendCryptogram(kDecipherEncipheredValue, data, dataLength, plain);
}
