#include "smartcard/profiles/SC_Profile_SecCos5.h"
#include "smartcard/profiles/ControlReferenceTemplates.h"

namespace card = kivo::card;

namespace {

// MSE SET of the authentication template (6 bytes): key reference 84 01 kk
// and algorithm reference 80 01 12, RSA with PKCS#1 v1.5 padding by the
// card of the DigestInfo it is sent.
constexpr std::uint8_t kRsaPkcs1 = 0x12;

}  // namespace

void CSC_Profile_SecCos5::InitPinLengths() {
    m_pinMinLength = 6;
    m_pinMaxLength = 12;
}

CardResult CSC_Profile_SecCos5::GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out,
                                        std::uint16_t le) {
    const TraceScope trace(*this, "GetData");
    SetApdu(cCaseHeaderLc3, 0x00, 0xCA, p1, p2, le, 0, nullptr, 0);
    return OperationResult(SendToCard(), out) == card::cOk ? card::cOk : card::cFailed;
}

CardResult CSC_Profile_SecCos5::SCSignData(const std::string&, std::uint32_t keyBits,
                                           const std::uint8_t* data, std::uint32_t dataLength,
                                           Bytes& signature, std::uint32_t algorithm,
                                           std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCSignData");
    if (data == nullptr || dataLength == 0 || dataLength > 0xFF) return card::cFailed;
    if (CardHashes(algorithm)) {
        return SignWithPsoHash(data, dataLength, algorithm, keyReference, signature);
    }
    const Bytes environment = {0x84, 0x01, keyReference, 0x80, 0x01, kRsaPkcs1};
    const auto lc = static_cast<std::uint16_t>(environment.size());
    SetApdu(cCaseData, 0x00, 0x22, 0x41, card::crt::kAuthentication, lc, 0, environment.data(), lc);
    Bytes ignored;
    const CardResult result = OperationResult(SendToCard(), ignored);
    if (result != card::cOk) return result;
    return SendDigestInfo(0x88, 0x00, 0x00, keyBits, data, dataLength, algorithm, signature);
}
