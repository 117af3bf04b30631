#include "smartcard/profiles/SC_Profile_StarCos32.h"
#include "smartcard/profiles/ControlReferenceTemplates.h"

#include "smartcard/transport/CardTrace.h"

using kivo::CardTrace;
namespace card = kivo::card;
namespace sw = kivo::card::sw;

namespace {

constexpr std::uint8_t kSw1Counter = 0x63;
constexpr std::uint8_t kCounterMarker = 0xC0;
// MSE SET for the digital signature template: key reference and the
// algorithm "RSA, PKCS#1 v1.5 padding by the card".
constexpr std::uint8_t kRsaPkcs1Signature = 0x12;

}  // namespace

void CSC_Profile_StarCos32::InitPinLengths() {
    m_pinMinLength = 6;
    m_pinMaxLength = 12;
}

std::span<const sw::Mapping> CSC_Profile_StarCos32::PinCommandResults() const {
    return std::span<const sw::Mapping>(cPinResults).first(4);
}

CardResult CSC_Profile_StarCos32::returnResult() {
    CardTrace::write(CardTrace::cLevelInfo, "<--entering %s::returnResult\n", ProfileName());
    SetRemainingTries(-1);
    CardResult result = card::cFailed;
    if (SW1() == kSw1Counter && (SW2() & 0xF0) == kCounterMarker) {
        SetRemainingTries(SW2() & 0x0F);
    } else {
        result = sw::mapStatus(PinCommandResults(), StatusWord());
    }
    CardTrace::logResult(std::string(ProfileName()) + "::returnResult", result);
    return result;
}

CardResult CSC_Profile_StarCos32::PreSigning(std::int32_t cardProfile, const std::string& keyPath) {
    const TraceScope trace(*this, "PreSigning");
    constexpr std::uint8_t kFirstEnvironment = 0x01;
    const CardResult result = CSC_Profile_StarCos30::PreSigning(cardProfile, keyPath);
    return result == card::cOk ? RestoreEnvironment(kFirstEnvironment) : result;
}

CardResult CSC_Profile_StarCos32::SCSignData(const std::string&, std::uint32_t keyBits,
                                             const std::uint8_t* data, std::uint32_t dataLength,
                                             Bytes& signature, std::uint32_t algorithm,
                                             std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCSignData");
    if (data == nullptr || dataLength == 0 || dataLength > 0xFF) return card::cFailed;
    const Bytes environment = {0x84, 0x01, keyReference, 0x80, 0x01, kRsaPkcs1Signature};
    const CardResult result = ManageSecurityEnvironment(cMseSet, card::crt::kDigitalSignature, environment);
    if (result != card::cOk) return result;
    return SendDigestInfo(0x2A, 0x9E, 0x9A, keyBits, data, dataLength, algorithm, signature);
}
