#include "smartcard/profiles/SC_Profile_CardOS.h"
#include "smartcard/profiles/PinPadFields.h"

#include "smartcard/transport/CardTrace.h"

#include <algorithm>

using kivo::CardTrace;
namespace card = kivo::card;
namespace sw = kivo::card::sw;

namespace {

constexpr std::uint8_t kInsGetData = 0xCA;
// FCP answers, Le 00; the MF by a SELECT without data.
constexpr card::SelectForm kSelects{.p2 = card::kAnswerFcp, .le = 0x00, .mfByIdentifier = false};
constexpr std::uint8_t kSerialNumberP1 = 0x01;
constexpr std::uint8_t kSerialNumberP2 = 0x81;
constexpr std::uint32_t kSerialNumberLength = 8;
constexpr std::uint16_t kLeOfOneBlock = 256;

}  // namespace

std::string CSC_Profile_CardOS::GetSerialNumber() {
    const TraceScope trace(*this, "GetSerialNumber");
    if (!m_serialNumber.empty()) return m_serialNumber;
    Bytes answer;
    if (GetData(kSerialNumberP1, kSerialNumberP2, answer, 0) == card::cOk &&
        answer.size() >= kSerialNumberLength) {
        SetSerialNumber(answer.data(), kSerialNumberLength);
    }
    return m_serialNumber;
}

std::uint32_t CSC_Profile_CardOS::GetFileLen() { return FileSizeFromResponse(ControlInfo()); }

CardResult CSC_Profile_CardOS::GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out,
                                       std::uint16_t) {
    const TraceScope trace(*this, "GetData");
    out.clear();
    SetApdu(cCaseHeaderLc4, 0x00, kInsGetData, p1, p2, 0, 0, nullptr, 0);
    return OperationResult(SendToCard(), out);
}

CardResult CSC_Profile_CardOS::SCSelectMF() { return SelectMfIn(kSelects); }

// A folder by its 2-byte identifier only.
CardResult CSC_Profile_CardOS::SCSelectDF(const std::uint8_t* fid, std::uint32_t length) {
    return length == 2 ? SelectDfIn(kSelects, fid, length) : card::cFailed;
}

CardResult CSC_Profile_CardOS::SCSelectEF(const std::uint8_t* fid) {
    return SelectEfIn(kSelects, fid);
}

CardResult CSC_Profile_CardOS::GetPubKey(std::uint8_t keyReference, Bytes& publicKey) {
    const TraceScope trace(*this, "GetPubKey");
    return CSC_Profile_Base::GetPubKey(keyReference, publicKey);
}

CardResult CSC_Profile_CardOS::returnResult() {
    CardTrace::write(CardTrace::cLevelInfo, "<--entering %s::returnResult\n", ProfileName());
    SetRemainingTries(-1);
    const CardResult result = sw::mapStatus(cPinResults, StatusWord());
    CardTrace::logResult(std::string(ProfileName()) + "::returnResult", result);
    return result;
}

void CSC_Profile_CardOS::ModifyVerifyStruct() {
    card::pinpad::putPinLengths(m_verifyStruct, card::pinpad::kVerifyMaxExtraDigit, m_pinMinLength, m_pinMaxLength);
}

void CSC_Profile_CardOS::ModifyModifyStruct() {
    card::pinpad::putPinLengths(m_modifyStruct, card::pinpad::kModifyMaxExtraDigit, m_pinMinLength, m_pinMaxLength);
}

void CSC_Profile_CardOS::CreateModifyStruct() { SetModifyStruct(BaseModifyStruct()); }
void CSC_Profile_CardOS::CreateVerifyStruct() { SetVerifyStruct(BaseVerifyStruct()); }

std::uint16_t CSC_Profile_CardOS::ExtendedLe(std::uint32_t keyBits) {
    return keyBits > 2048 ? 0x0000 : kLeOfOneBlock;
}

CardResult CSC_Profile_CardOS::SetKeyEnvironment(std::uint8_t p1, std::uint8_t crt,
                                                 std::uint8_t tag, std::uint8_t keyReference) {
    const std::uint8_t environment[3] = {tag, 0x01, keyReference};
    return ManageSecurityEnvironment(p1, crt, environment);
}

CardResult CSC_Profile_CardOS::SignByDecipher(std::uint32_t keyBits, const std::uint8_t* hash,
                                              std::uint32_t hashLength, std::uint32_t algorithm,
                                              Bytes& signature) {
    Bytes block;
    if (BuildSignBuffer(algorithm, keyBits, hash, hashLength, block, true) != card::cOk) {
        return card::cFailed;
    }
    return PerformDecipher(cEncipheredValue, AfterPaddingIndicator(0x00, block.data(), block.size()), kLeOfOneBlock,
                           signature);
}

CardResult CSC_Profile_CardOS::ComputeSignature(const Bytes& input, bool extended,
                                                std::uint32_t keyBits, Bytes& signature) {
    if (input.empty()) return card::cFailed;
    const AnswerForm form = extended ? AnswerForm{AnswerForm::Extended, ExtendedLe(keyBits)} : AnswerForm{};
    return ComputeDigitalSignature(input, form, signature);
}

CardResult CSC_Profile_CardOS::SCDecipher(const std::string&, std::uint32_t keyBits,
                                          const std::uint8_t* data, std::uint32_t dataLength,
                                          Bytes& plain, std::uint32_t, std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCDecipher");
    if (data == nullptr || dataLength == 0 || dataLength > 0xFFFE) return card::cFailed;
    const CardResult result =
        SetKeyEnvironment(cMseSetDecipher, cConfidentialityTemplate, cKeyReferenceTag83, keyReference);
    if (result != card::cOk) return result;
    return PerformDecipher(cEncipheredValue, AfterPaddingIndicator(0x00, data, dataLength), ExtendedLe(keyBits),
                           plain);
}
