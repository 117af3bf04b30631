#include "smartcard/profiles/SC_Profile_SecCos5.h"
#include "smartcard/profiles/ControlReferenceTemplates.h"

namespace card = kivo::card;

namespace {

// MSE SET of the authentication template (6 bytes): key reference 84 01 kk
// and algorithm reference 80 01 12, RSA with PKCS#1 v1.5 padding by the
// card.
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

// The hash as it is: the hash template tells the card which DigestInfo to
// build around it.
CardResult CSC_Profile_SecCos5::BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t, const std::uint8_t* hash,
                                                std::uint32_t hashLength, Bytes& out, bool) {
    const TraceScope trace(*this, "BuildSignBuffer");
    out.clear();
    if (hash == nullptr || hashLength == 0 || !HashReference(hashAlgorithm)) return card::cFailed;
    out.assign(hash, hash + hashLength);
    return card::cOk;
}

CardResult CSC_Profile_SecCos5::SCSignData(const std::string&, std::uint32_t keyBits,
                                           const std::uint8_t* data, std::uint32_t dataLength,
                                           Bytes& signature, std::uint32_t algorithm,
                                           std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCSignData");
    Bytes block;
    const auto reference = HashReference(algorithm);
    if (data == nullptr || dataLength == 0 || dataLength > 0xFF || !reference ||
        BuildSignBuffer(algorithm, keyBits, data, dataLength, block, false) != card::cOk) {
        return card::cFailed;
    }
    // The key and its padding (A4), the hash (AA), the signature template
    // without data (B6: the key set before), then PSO COMPUTE DIGITAL
    // SIGNATURE with the hash (case 3).
    const Bytes keyTemplate = {0x84, 0x01, keyReference, 0x80, 0x01, kRsaPkcs1};
    CardResult result = ManageSecurityEnvironment(cMseSet, card::crt::kAuthentication, keyTemplate);
    if (result == card::cOk) result = SetSecurityEnvironment(card::crt::kHash, *reference);
    if (result == card::cOk) result = ManageSecurityEnvironment(cMseSet, card::crt::kDigitalSignature, {});
    if (result != card::cOk) return result;
    return ComputeDigitalSignature(block, {AnswerForm::NoLe}, signature);
}
