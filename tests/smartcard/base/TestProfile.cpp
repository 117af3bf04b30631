#include "tests/smartcard/base/TestProfile.h"

#include "smartcard/profiles/ControlInfo.h"

namespace kivo::test {

namespace {
constexpr std::uint8_t kMf[2] = {0x3F, 0x00}, kSignatureTemplate = 0xB6, kConfidentialityTemplate = 0xB8;
}  // namespace

TestProfile::TestProfile() {
    CreateVerifyStruct();
    CreateModifyStruct();
}

std::uint32_t TestProfile::GetFileLen() {
    if (claimedFileLength) return *claimedFileLength;
    return FileSizeFromResponse(kivo::card::kFcpSize80);
}


CardResult TestProfile::select(std::uint8_t p1, const std::uint8_t* data, std::uint32_t length) {
    const auto lc = static_cast<std::uint16_t>(length);
    SetApdu(cCaseDataLe, 0x00, 0xA4, p1, 0x04, lc, 0x00, data, lc);
    return SCSelect();
}
CardResult TestProfile::SCSelectMF() { return select(0x00, kMf, 2); }
CardResult TestProfile::SCSelectDF(const std::uint8_t* fid, std::uint32_t length) { return select(0x01, fid, length); }
CardResult TestProfile::SCSelectEF(const std::uint8_t* fid) { return select(0x02, fid, 2); }
CardResult TestProfile::SCSelectAID(const std::uint8_t* aid, std::uint32_t length) { return select(0x04, aid, length); }

CardResult TestProfile::setSecurityEnvironment(std::uint8_t crt, std::uint32_t algorithm, std::uint8_t keyReference) {
    const std::uint8_t data[6] = {0x80, 0x01, static_cast<std::uint8_t>(algorithm), 0x84, 0x01, keyReference};
    SetApdu(cCaseData, 0x00, 0x22, 0x41, crt, sizeof data, 0, data, sizeof data);
    Bytes ignored;
    return takeOperationResult(SendToCard(), ignored);
}

CardResult TestProfile::takeOperationResult(bool sent, Bytes& out) {
    if (!sent) return kivo::card::cFailed;
    if (StatusWord() == 0x9000) {
        out.assign(Response(), Response() + ResponseLength());
        return kivo::card::cOk;
    }
    return StatusWord() == 0x6982 ? kivo::card::cSecurityStatus : kivo::card::cFailed;
}

CardResult TestProfile::SCSignData(const std::string&, std::uint32_t, const std::uint8_t* data,
                                   std::uint32_t dataLength, Bytes& signature, std::uint32_t algorithm,
                                   std::uint8_t keyReference) {
    const CardResult result = setSecurityEnvironment(kSignatureTemplate, algorithm, keyReference);
    if (result != kivo::card::cOk) return result;
    const auto lc = static_cast<std::uint16_t>(dataLength);
    // A whole RSA block (256 bytes for 2048 bits) needs the extended form.
    SetApdu(dataLength <= 0xFF ? cCaseDataLe : cCaseExtended, 0x00, 0x2A, 0x9E, 0x9A, lc, 0x00, data, lc);
    return takeOperationResult(SendToCard(), signature);
}

// Padding indicator 00 before the cryptogram.
CardResult TestProfile::SCDecipher(const std::string&, std::uint32_t, const std::uint8_t* data,
                                   std::uint32_t dataLength, Bytes& plain, std::uint32_t algorithm,
                                   std::uint8_t keyReference) {
    const CardResult result = setSecurityEnvironment(kConfidentialityTemplate, algorithm, keyReference);
    if (result != kivo::card::cOk) return result;
    Bytes input(1, 0x00);
    input.insert(input.end(), data, data + dataLength);
    const auto lc = static_cast<std::uint16_t>(input.size());
    SetApdu(cCaseExtended, 0x00, 0x2A, 0x80, 0x86, lc, 0x0000, input.data(), lc);
    return takeOperationResult(SendToCard(), plain);
}

void TestProfile::CreateModifyStruct() { SetModifyStruct(BaseModifyStruct()); }
void TestProfile::CreateVerifyStruct() { SetVerifyStruct(BaseVerifyStruct()); }
void TestProfile::InitUnblockMode() { m_unblockPukOnly = unblockWithPukOnly ? 1 : 0; }

CardBytes sequenceBytes(std::size_t from, std::size_t count) {
    CardBytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(from + i);
    return bytes;
}

}  // namespace kivo::test
