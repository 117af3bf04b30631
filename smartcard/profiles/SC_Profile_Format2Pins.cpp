#include "smartcard/profiles/SC_Profile_Format2Pins.h"

#include "smartcard/profiles/ControlReferenceTemplates.h"
#include "smartcard/profiles/PinBlocks.h"
#include "smartcard/profiles/PinPadInput.h"
#include "smartcard/profiles/PinPadFields.h"
#include "smartcard/transport/CardTrace.h"

#include <cstring>

using kivo::CardTrace;
namespace card = kivo::card;
using namespace kivo::card::pinpad;

namespace {

constexpr card::SelectForm kSelects{.p2 = card::kAnswerFcp, .le = 0x00};

// BCD digits at byte offset 1 of the block, 4-bit length field and a
// 7-byte PIN block, the length at bit 4.
constexpr std::uint8_t kBcdAtOffsetOne = 0x89;
constexpr std::uint8_t kFourBitLengthSevenByteBlock = 0x47;
constexpr std::uint8_t kLengthAtBitFour = 0x04;
// VERIFY: header, Lc, one block; CHANGE REFERENCE DATA: header, Lc, two.
constexpr std::uint8_t kVerifyApduData = 13;
constexpr std::uint8_t kModifyApduData = 21;
const char* const kKaanAdvanced = "KOBIL Systems KAAN Advanced";

}  // namespace

std::string CSC_Profile_Format2Pins::GetSerialNumber() { return SerialNumberFromGdo(); }

std::uint32_t CSC_Profile_Format2Pins::GetFileLen() {
    return FileSizeFromResponse(card::kFcpSize80);
}

CardResult CSC_Profile_Format2Pins::SCSelectMF() { return SelectMfIn(kSelects); }

CardResult CSC_Profile_Format2Pins::SCSelectDF(const std::uint8_t* fid, std::uint32_t length) {
    return SelectDfIn(kSelects, fid, length);
}

CardResult CSC_Profile_Format2Pins::SCSelectEF(const std::uint8_t* fid) {
    return SelectEfIn(kSelects, fid);
}

CardResult CSC_Profile_Format2Pins::SCVerify(std::uint8_t reference, const std::uint8_t* pin,
                                             std::uint32_t length) {
    const TraceScope trace(*this, "SCVerify");
    if (length == 0) return SendPinCommand(cInsVerify, 0x00, reference, {});
    return SendOneBlock(cInsVerify, 0x00, reference, pin, length);
}

CardResult CSC_Profile_Format2Pins::SendOneBlock(std::uint8_t ins, std::uint8_t p1,
                                                 std::uint8_t reference, const std::uint8_t* pin,
                                                 std::uint32_t length) {
    kivo::card::PinBlock block;
    if (pin == nullptr || !kivo::card::formatTwoBlock({pin, length}, block)) return card::cFailed;
    PinData data;
    data.append(block.octets.data(), kivo::card::kPinBlockLength);
    return SendPinCommand(ins, p1, reference, data.bytes());
}

CardResult CSC_Profile_Format2Pins::SendTwoBlocks(std::uint8_t ins, std::uint8_t reference,
                                                  const std::uint8_t* first, std::uint32_t firstLength,
                                                  const std::uint8_t* newPin, std::uint32_t newLength) {
    kivo::card::PinBlock firstBlock;
    kivo::card::PinBlock newBlock;
    if (first == nullptr || newPin == nullptr || !NewPinLengthAllowed(newLength) ||
        !kivo::card::formatTwoBlock({first, firstLength}, firstBlock) ||
        !kivo::card::formatTwoBlock({newPin, newLength}, newBlock)) {
        return card::cFailed;
    }
    PinData data;
    data.append(firstBlock.octets.data(), kivo::card::kPinBlockLength);
    data.append(newBlock.octets.data(), kivo::card::kPinBlockLength);
    return SendPinCommand(ins, 0x00, reference, data.bytes());
}

CardResult CSC_Profile_Format2Pins::SCChangeRef(std::uint8_t reference, const std::uint8_t* oldPin,
                                                std::uint32_t oldLength, const std::uint8_t* newPin,
                                                std::uint32_t newLength) {
    const TraceScope trace(*this, "SCChangeRef");
    return SendTwoBlocks(cInsChangeReference, reference, oldPin, oldLength, newPin, newLength);
}

CardResult CSC_Profile_Format2Pins::SCUnblockPin(std::uint8_t reference, const std::uint8_t* puk,
                                                 std::uint32_t pukLength, const std::uint8_t* newPin,
                                                 std::uint32_t newLength) {
    const TraceScope trace(*this, "SCUnblockPin");
    return SendTwoBlocks(cInsResetRetryCounter, reference, puk, pukLength, newPin, newLength);
}

void CSC_Profile_Format2Pins::SetFormatTwoVerifyFields() {
    if (m_verifyStruct.size() != cVerifyStructLength) return;
    m_verifyStruct[kFormatString] = kBcdAtOffsetOne;
    m_verifyStruct[kBlockString] = kFourBitLengthSevenByteBlock;
    m_verifyStruct[kLengthFormat] = kLengthAtBitFour;
    putPinLengths(m_verifyStruct, kVerifyMaxExtraDigit, m_pinMinLength, m_pinMaxLength);
    putDataLength(m_verifyStruct, kVerifyDataLength, kVerifyApduData);
}

void CSC_Profile_Format2Pins::ModifyVerifyStruct() { SetFormatTwoVerifyFields(); }

void CSC_Profile_Format2Pins::ModifyModifyStruct() {
    if (m_modifyStruct.size() != cModifyStructLength) return;
    const bool kaan = ReaderSystemName().find(kKaanAdvanced) != std::string::npos;
    m_modifyStruct[kFormatString] = kBcdAtOffsetOne;
    m_modifyStruct[kBlockString] = kFourBitLengthSevenByteBlock;
    m_modifyStruct[kLengthFormat] = kLengthAtBitFour;
    m_modifyStruct[kModifyOffsetOld] = kaan ? 1 : 0;
    m_modifyStruct[kModifyOffsetNew] = kaan ? 9 : 8;
    putPinLengths(m_modifyStruct, kModifyMaxExtraDigit, static_cast<std::uint8_t>(m_pinMinLength - 1), m_pinMaxLength);
    putDataLength(m_modifyStruct, kModifyDataLength, kModifyApduData);
}

// The reader writes the typed digits into format-2 block templates: one for
// VERIFY, old and new PIN for CHANGE REFERENCE DATA.
std::uint32_t CSC_Profile_Format2Pins::StartVerifyPinPad() {
    return StartVerifyPinPadWith(withPinFields(m_verifyStruct, 1, 0x20, 0xFF));
}

std::uint32_t CSC_Profile_Format2Pins::StartModifyPinPad() {
    return StartModifyPinPadWith(withPinFields(m_modifyStruct, 2, 0x2F, 0xFF));
}

void CSC_Profile_Format2Pins::CreateModifyStruct() { SetModifyStruct(BaseModifyStruct()); }
void CSC_Profile_Format2Pins::CreateVerifyStruct() { SetVerifyStruct(BaseVerifyStruct()); }

std::optional<std::uint8_t> CSC_Profile_Format2Pins::HashReference(std::uint32_t algorithm) {
    switch (algorithm) {
        case cAlgSha1: return 0x10;
        case cAlgRipemd160: return 0x30;
        case cAlgSha256: return 0x40;
        default: return std::nullopt;
    }
}

CardResult CSC_Profile_Format2Pins::SetSecurityEnvironment(std::uint8_t crt, std::uint8_t reference) {
    Bytes data = crt == card::crt::kHash ? Bytes{0x89, 0x02, 0x14, reference}
                                      : Bytes{0x84, 0x03, 0x80, reference, 0x00};
    return ManageSecurityEnvironment(cMseSet, crt, data);
}

CardResult CSC_Profile_Format2Pins::SCDecipher(const std::string&, std::uint32_t,
                                               const std::uint8_t* data, std::uint32_t dataLength,
                                               Bytes& plain, std::uint32_t,
                                               std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCDecipher");
    if (data == nullptr || dataLength == 0 || dataLength > 0xFFFE) return card::cFailed;
    const CardResult result = SetSecurityEnvironment(card::crt::kConfidentiality, keyReference);
    if (result != card::cOk) return result;
    return PerformDecipher(cEncipheredValue, AfterPaddingIndicator(0x00, data, dataLength), 0x0000, plain);
}
