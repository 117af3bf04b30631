#include "tests/smartcard/base/TestProfile.h"

#include <algorithm>

namespace kivo::test {

namespace {

constexpr std::uint8_t kMf[2] = {0x3F, 0x00};
constexpr std::uint8_t kSignatureTemplate = 0xB6;
constexpr std::uint8_t kConfidentialityTemplate = 0xB8;
constexpr std::uint16_t kStatusOk = 0x9000;
constexpr std::uint16_t kSecurityStatus = 0x6982;

}  // namespace

TestProfile::TestProfile() {
    CreateVerifyStruct();
    CreateModifyStruct();
}

std::uint32_t TestProfile::GetFileLen() {
    if (claimedFileLength) return *claimedFileLength;
    // FCP template 62 with the file size in tag 80 (big-endian).
    const std::uint8_t* r = Response();
    const std::size_t n = ResponseLength();
    if (n <= 5 || r[0] != 0x62 || r[1] <= 2) return 0;
    const std::size_t end = std::min<std::size_t>(n, std::size_t{2} + r[1]);
    for (std::size_t i = 2; i + 2 <= end;) {
        const std::uint8_t tag = r[i];
        const std::size_t length = r[i + 1];
        if (i + 2 + length > end) break;
        if (tag == 0x80) {
            std::uint32_t value = 0;
            for (std::size_t k = 0; k < length; ++k) value = value << 8 | r[i + 2 + k];
            return value;
        }
        i += 2 + length;
    }
    return 0;
}

CardResult TestProfile::GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out, std::uint16_t le) {
    SetApdu(cCaseHeaderLe, 0x00, 0xCA, p1, p2, 0, le, nullptr, 0);
    return takeOperationResult(SendToCard(), out) == kivo::card::cOk ? kivo::card::cOk
                                                                      : kivo::card::cFailed;
}

CardResult TestProfile::SCSelectMF() {
    SetApdu(cCaseDataLe, 0x00, 0xA4, 0x00, 0x04, 2, 0x00, kMf, 2);
    return SCSelect();
}

CardResult TestProfile::SCSelectDF(const std::uint8_t* fid, std::uint32_t length) {
    SetApdu(cCaseDataLe, 0x00, 0xA4, 0x01, 0x04, static_cast<std::uint16_t>(length), 0x00, fid,
            static_cast<std::uint16_t>(length));
    return SCSelect();
}

CardResult TestProfile::SCSelectEF(const std::uint8_t* fid) {
    SetApdu(cCaseDataLe, 0x00, 0xA4, 0x02, 0x04, 2, 0x00, fid, 2);
    return SCSelect();
}

CardResult TestProfile::SCSelectAID(const std::uint8_t* aid, std::uint32_t length) {
    SetApdu(cCaseDataLe, 0x00, 0xA4, 0x04, 0x04, static_cast<std::uint16_t>(length), 0x00, aid,
            static_cast<std::uint16_t>(length));
    return SCSelect();
}

CardResult TestProfile::setSecurityEnvironment(std::uint8_t crt, std::uint32_t algorithm,
                                               std::uint8_t keyReference) {
    const std::uint8_t data[6] = {0x80, 0x01, static_cast<std::uint8_t>(algorithm),
                                  0x84, 0x01, keyReference};
    SetApdu(cCaseData, 0x00, 0x22, 0x41, crt, sizeof data, 0, data, sizeof data);
    Bytes ignored;
    return takeOperationResult(SendToCard(), ignored);
}

CardResult TestProfile::takeOperationResult(bool sent, Bytes& out) {
    if (!sent) return kivo::card::cFailed;
    if (StatusWord() == kStatusOk) {
        out.assign(Response(), Response() + ResponseLength());
        return kivo::card::cOk;
    }
    return StatusWord() == kSecurityStatus ? kivo::card::cSecurityStatus : kivo::card::cFailed;
}

CardResult TestProfile::SCSignData(const std::string&, std::uint32_t, const std::uint8_t* data,
                                   std::uint32_t dataLength, Bytes& signature,
                                   std::uint32_t algorithm, std::uint8_t keyReference) {
    CardResult result = setSecurityEnvironment(kSignatureTemplate, algorithm, keyReference);
    if (result != kivo::card::cOk) return result;
    const auto lc = static_cast<std::uint16_t>(dataLength);
    // A whole RSA block (256 bytes for 2048 bits) needs the extended form.
    if (dataLength <= 0xFF) {
        SetApdu(cCaseDataLe, 0x00, 0x2A, 0x9E, 0x9A, lc, 0x00, data, lc);
    } else {
        SetApdu(cCaseExtended, 0x00, 0x2A, 0x9E, 0x9A, lc, 0x0000, data, lc);
    }
    return takeOperationResult(SendToCard(), signature);
}

CardResult TestProfile::SCDecipher(const std::string&, std::uint32_t, const std::uint8_t* data,
                                   std::uint32_t dataLength, Bytes& plain,
                                   std::uint32_t algorithm, std::uint8_t keyReference) {
    CardResult result = setSecurityEnvironment(kConfidentialityTemplate, algorithm, keyReference);
    if (result != kivo::card::cOk) return result;
    // Padding indicator 00 before the cryptogram.
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
