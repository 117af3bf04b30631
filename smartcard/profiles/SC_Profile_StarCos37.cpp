#include "smartcard/profiles/SC_Profile_StarCos37.h"

#include "smartcard/transport/CardTrace.h"

#include <cstring>

using kivo::CardTrace;
namespace card = kivo::card;

namespace {

const char* const kScmSprx32 = "SCM Microsystems Inc. SPRx32";

// Fields of the PC/SC verify structure (23 bytes).
constexpr std::size_t kFormatString = 2;
constexpr std::size_t kBlockString = 3;
constexpr std::size_t kLengthFormat = 4;
constexpr std::size_t kMaxExtraDigit = 5;
constexpr std::size_t kDataLength = 15;
constexpr std::uint8_t kAscii = 0x02;
constexpr std::uint8_t kNoBlock = 0x00;
constexpr std::uint8_t kLengthAtBitFour = 0x04;
// The VERIFY header alone; with the fifth byte 00 the reader sends it as
// a case 3 command with the PIN it appends.
constexpr std::uint8_t kHeaderOnly = 4;
constexpr std::uint8_t kHeaderAndLc = 5;

void putLength(CSC_Profile_Base::Bytes& structure, std::uint8_t length) {
    if (structure.size() < kDataLength + 4) return;
    structure[kDataLength] = length;
    structure[kDataLength + 1] = structure[kDataLength + 2] = structure[kDataLength + 3] = 0;
}

}  // namespace

CardResult CSC_Profile_StarCos37::SelectKeyAndAlgorithm(std::uint8_t keyReference,
                                                        std::uint32_t algorithm) {
    const TraceScope trace(*this, "SelectKeyAndAlgorithm");
    if (algorithm == 0) return card::cOk;
    return SetSignatureEnvironment(keyReference, algorithm);
}

CardResult CSC_Profile_StarCos37::SCSelectAID(const std::uint8_t* aid, std::uint32_t length) {
    const TraceScope trace(*this, "SCSelectAID");
    if (aid == nullptr || length == 0) return card::cFailed;
    ForgetSecurityEnvironment();
    return SelectApplicationId(aid, length, 0x00);
}

void CSC_Profile_StarCos37::SignatureRefused() {
    CSC_Profile_StarCos35::SignatureRefused();
    CardTrace::write(CardTrace::cLevelInfo, "error on sign data: apdu.sw1=%d apdu.sw2=%d\n",
                     static_cast<int>(SW1()), static_cast<int>(SW2()));
}

void CSC_Profile_StarCos37::ModifyVerifyStruct() {
    if (!IsDTrust()) {
        CSC_Profile_StarCos35::ModifyVerifyStruct();
        return;
    }
    if (m_verifyStruct.size() != cVerifyStructLength) return;
    m_verifyStruct[kFormatString] = kAscii;
    m_verifyStruct[kBlockString] = kNoBlock;
    m_verifyStruct[kLengthFormat] = kLengthAtBitFour;
    m_verifyStruct[kMaxExtraDigit] = m_pinMaxLength;
    m_verifyStruct[kMaxExtraDigit + 1] = m_pinMinLength;
    putLength(m_verifyStruct, kHeaderOnly);
}

std::uint32_t CSC_Profile_StarCos37::StartVerifyPinPad() {
    if (!IsDTrust()) return CSC_Profile_StarCos35::StartVerifyPinPad();
    if (ReaderSystemName().rfind(kScmSprx32, 0) == 0) return StartVerifyPinPadWith(m_verifyStruct);
    Bytes input = m_verifyStruct;
    putLength(input, kHeaderAndLc);
    input.push_back(0x00);
    return StartVerifyPinPadWith(input);
}

std::uint32_t CSC_Profile_StarCos37::StartModifyPinPad() {
    if (!IsDTrust()) return CSC_Profile_StarCos35::StartModifyPinPad();
    return StartModifyPinPadWith(m_modifyStruct);
}
