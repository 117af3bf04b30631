#include "smartcard/profiles/SC_Profile_SetCos442.h"

#include "smartcard/base/StatusWords.h"
#include "smartcard/profiles/PinBlocks.h"
#include "smartcard/profiles/PinPadFields.h"
#include "smartcard/profiles/PinPadInput.h"

namespace card = kivo::card;
using namespace kivo::card::pinpad;

namespace {

// A card that keeps answering 61xx is not followed for ever.
constexpr int kMaxGetResponses = 16;
// PIN block string: no length field, an 8-byte PIN block.
constexpr std::uint8_t kEightByteBlock = 0x08;
// VERIFY: header, Lc, one PIN field; CHANGE REFERENCE DATA: header, Lc, two.
constexpr std::uint8_t kVerifyApduData = 13;
constexpr std::uint8_t kModifyApduData = 21;
constexpr std::uint8_t kNewPinOffset = 8;

}  // namespace

void CSC_Profile_SetCos442::InitPinLengths() {
    m_pinMinLength = 6;
    m_pinMaxLength = 8;
}

void CSC_Profile_SetCos442::InitKeyLengths() { CSC_Profile_Base::InitKeyLengths(); }

CardResult CSC_Profile_SetCos442::GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out,
                                          std::uint16_t le) {
    const TraceScope trace(*this, "GetData");
    out.clear();
    SetApdu(cCaseHeaderLe, 0x00, 0xCA, p1, p2, 0, le >= 256 ? 0 : le, nullptr, 0);
    if (!SendToCard()) return card::cFailed;
    for (int round = 0; SW1() == card::sw::kSw1MoreData; ++round) {
        if (round == kMaxGetResponses) return card::cFailed;
        out.insert(out.end(), Response(), Response() + ResponseLength());
        SetApdu(cCaseHeaderLe, 0x00, 0xC0, 0x00, 0x00, 0, SW2(), nullptr, 0);
        if (!SendToCard()) return card::cFailed;
    }
    Bytes last;
    if (OperationResult(true, last) != card::cOk) return card::cFailed;
    out.insert(out.end(), last.begin(), last.end());
    return card::cOk;
}

CardResult CSC_Profile_SetCos442::SCVerify(std::uint8_t reference, const std::uint8_t* pin,
                                           std::uint32_t length) {
    const TraceScope trace(*this, "SCVerify");
    if (length == 0) return SendPinCommand(cInsVerify, 0x00, reference, {});
    card::PinBlock block;
    if (pin == nullptr || !card::zeroPaddedBlock({pin, length}, block)) return card::cFailed;
    PinData data;
    data.append(block.octets.data(), card::kPinBlockLength);
    return SendPinCommand(cInsVerify, 0x00, reference, data.bytes());
}

void CSC_Profile_SetCos442::CreateVerifyStruct() {
    Bytes structure = BaseVerifyStruct();
    structure[kBlockString] = kEightByteBlock;
    putDataLength(structure, kVerifyDataLength, kVerifyApduData);
    SetVerifyStruct(std::move(structure));
}

void CSC_Profile_SetCos442::CreateModifyStruct() {
    Bytes structure = BaseModifyStruct();
    structure[kBlockString] = kEightByteBlock;
    structure[kModifyOffsetNew] = kNewPinOffset;
    putDataLength(structure, kModifyDataLength, kModifyApduData);
    SetModifyStruct(std::move(structure));
}

CardResult CSC_Profile_SetCos442::SCChangeRef(std::uint8_t reference, const std::uint8_t* oldPin,
                                   std::uint32_t oldLength, const std::uint8_t* newPin,
                                   std::uint32_t newLength) {
    return ChangeInEightByteFields(reference, oldPin, oldLength, newPin, newLength);
}

void CSC_Profile_SetCos442::ModifyVerifyStruct() { RefreshVerifyPinLengths(); }
void CSC_Profile_SetCos442::ModifyModifyStruct() { RefreshModifyPinLengths(); }

std::uint32_t CSC_Profile_SetCos442::StartVerifyPinPad() {
    return StartVerifyPinPadWith(withZeroPinFields(m_verifyStruct, 1));
}

std::uint32_t CSC_Profile_SetCos442::StartModifyPinPad() {
    return StartModifyPinPadWith(withZeroPinFields(m_modifyStruct, 2));
}
