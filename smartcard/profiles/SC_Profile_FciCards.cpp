#include "smartcard/profiles/SC_Profile_FciCards.h"

#include "smartcard/profiles/PinBlocks.h"
#include "smartcard/profiles/PinPadFields.h"

namespace card = kivo::card;

namespace {

constexpr std::uint8_t kTagAlgorithmReference = 0x80;
constexpr std::uint8_t kTagPrivateKeyReference = 0x84;

}  // namespace

std::string CSC_Profile_FciCards::GetSerialNumber() {
    return SerialNumberFromGdo(GeneralDataFile());
}

std::uint32_t CSC_Profile_FciCards::GetFileLen() { return FileSizeFromResponse(FileControlForm()); }

CardResult CSC_Profile_FciCards::GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out,
                                         std::uint16_t le) {
    return GetDataWithLe(0x00, p1, p2, out, le);
}

CardResult CSC_Profile_FciCards::SCSelectMF() { return SelectMfIn(Selects()); }

CardResult CSC_Profile_FciCards::SCSelectDF(const std::uint8_t* fid, std::uint32_t length) {
    return SelectDfIn(Selects(), fid, length);
}

CardResult CSC_Profile_FciCards::SCSelectEF(const std::uint8_t* fid) {
    return SelectEfIn(Selects(), fid);
}

void CSC_Profile_FciCards::CreateModifyStruct() { SetModifyStruct(BaseModifyStruct()); }
void CSC_Profile_FciCards::CreateVerifyStruct() { SetVerifyStruct(BaseVerifyStruct()); }

CardResult CSC_Profile_FciCards::SetSecurityEnvironment(std::uint8_t p1, std::uint8_t crt,
                                                        std::uint8_t length,
                                                        std::uint8_t keyReference,
                                                        std::optional<std::uint8_t> algorithm) {
    Bytes data;
    if (algorithm) data = {kTagAlgorithmReference, 0x01, *algorithm};
    if (length < data.size() + 3) return card::cFailed;
    // What is left after the tag and length of the key reference.
    const std::size_t keyOctets = length - data.size() - 2;
    data.push_back(kTagPrivateKeyReference);
    data.push_back(static_cast<std::uint8_t>(keyOctets));
    data.insert(data.end(), keyOctets - 1, 0x00);
    data.push_back(keyReference);
    return ManageSecurityEnvironment(p1, crt, data);
}

CardResult CSC_Profile_FciCards::SendCryptogram(std::uint8_t p2, const std::uint8_t* data,
                                                std::uint32_t length, Bytes& plain) {
    if (data == nullptr) return card::cFailed;
    return PerformDecipher(p2, {data, length}, std::nullopt, plain);
}

CardResult CSC_Profile_FciCards::ChangeInEightByteFields(std::uint8_t reference,
                                                         const std::uint8_t* oldPin,
                                                         std::uint32_t oldLength,
                                                         const std::uint8_t* newPin,
                                                         std::uint32_t newLength) {
    const TraceScope trace(*this, "SCChangeRef");
    card::PinBlock oldBlock;
    card::PinBlock newBlock;
    if (oldPin == nullptr || newPin == nullptr ||
        !card::zeroPaddedBlock({oldPin, oldLength}, oldBlock) ||
        !card::zeroPaddedBlock({newPin, newLength}, newBlock)) {
        return card::cFailed;
    }
    PinData data;
    data.append(oldBlock.octets.data(), card::kPinBlockLength);
    data.append(newBlock.octets.data(), card::kPinBlockLength);
    return SendPinCommand(cInsChangeReference, 0x00, reference, data.bytes());
}

void CSC_Profile_FciCards::RefreshVerifyPinLengths() {
    if (m_verifyStruct.size() != cVerifyStructLength) return;
    kivo::card::pinpad::putPinLengths(m_verifyStruct, kivo::card::pinpad::kVerifyMaxExtraDigit,
                                      m_pinMinLength, m_pinMaxLength);
}

void CSC_Profile_FciCards::RefreshModifyPinLengths() {
    if (m_modifyStruct.size() != cModifyStructLength) return;
    kivo::card::pinpad::putPinLengths(m_modifyStruct, kivo::card::pinpad::kModifyMaxExtraDigit,
                                      m_pinMinLength, m_pinMaxLength);
}
