#include "smartcard/profiles/SC_Profile_SetCos441.h"
#include "smartcard/base/CardNumbers.h"
#include "smartcard/profiles/ControlReferenceTemplates.h"

namespace card = kivo::card;

namespace {

constexpr std::uint8_t kSetForComputation = 0x41;
constexpr std::uint8_t kEnvironmentLength = 7;
constexpr std::uint8_t kInsEraseBinary = 0x0E;
constexpr std::uint8_t kInsGenerateKeyPair = 0x46;
constexpr std::uint8_t kGenerateKeyPair = 0x80;
constexpr std::uint8_t kReadPublicKey = 0x81;

// The key path without its last file identifier ("3F00/5015/4B01" ->
// "3F00/5015"); empty when nothing is left.
std::string folderOf(const std::string& keyPath) {
    const std::string digits = CSC_Profile_Base::CanonicalPath(keyPath);
    if (digits.size() <= 4) return {};
    return digits.substr(0, digits.size() - 4);
}

}  // namespace

void CSC_Profile_SetCos441::InitKeyLengths() {
    m_rsaKeyLength = 1024;
    m_secondKeyLength = 1024;
}

CardResult CSC_Profile_SetCos441::EraseFile(const std::string& path) {
    const TraceScope trace(*this, "EraseFile");
    if (SelectPath(path) != card::cOk) return card::cFailed;
    SetApdu(cCaseHeader, 0x00, kInsEraseBinary, 0x00, 0x00, 0, 0, nullptr, 0);
    Bytes ignored;
    return OperationResult(SendToCard(), ignored);
}

CardResult CSC_Profile_SetCos441::GenRSAKeyPair(std::uint8_t keyReference, std::uint32_t keyBits) {
    const TraceScope trace(*this, "GenRSAKeyPair");
    InitKeyLengths();
    if (keyBits != m_rsaKeyLength && keyBits != m_secondKeyLength) return card::cFailed;
    SetApdu(cCaseHeaderLe, 0x00, kInsGenerateKeyPair, kGenerateKeyPair, keyReference, 0, 0x00,
            nullptr, 0);
    Bytes ignored;
    return OperationResult(SendToCard(), ignored);
}

CardResult CSC_Profile_SetCos441::GetPubKey(std::uint8_t keyReference, Bytes& publicKey) {
    const TraceScope trace(*this, "GetPubKey");
    publicKey.clear();
    SetApdu(cCaseHeaderLe, 0x00, kInsGenerateKeyPair, kReadPublicKey, keyReference, 0, 0x00,
            nullptr, 0);
    return OperationResult(SendToCard(), publicKey);
}

CardResult CSC_Profile_SetCos441::PreSigning(std::int32_t cardProfile, const std::string& keyPath) {
    const TraceScope trace(*this, "PreSigning");
    m_cardProfile = cardProfile;
    m_keyPath = keyPath;
    if (cardProfile == card::product::cSignCard) return card::cOk;
    const std::string folder = folderOf(keyPath);
    if (folder.empty()) return card::cFailed;
    return SelectPath(folder, false, false, true);
}

CardResult CSC_Profile_SetCos441::SCSignData(const std::string&, std::uint32_t keyBits,
                                             const std::uint8_t* data, std::uint32_t dataLength,
                                             Bytes& signature, std::uint32_t algorithm,
                                             std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCSignData");
    if (data == nullptr || dataLength == 0 || dataLength > 0xFF) return card::cFailed;
    const CardResult result =
        SetSecurityEnvironment(kSetForComputation, card::crt::kDigitalSignature, kEnvironmentLength,
                               keyReference, cAlgRsaPkcs1Signature);
    if (result != card::cOk) return result;
    return SendDigestInfo(0x2A, 0x9E, 0x9A, keyBits, data, dataLength, algorithm, signature);
}

CardResult CSC_Profile_SetCos441::SCDecipher(const std::string&, std::uint32_t,
                                             const std::uint8_t* data, std::uint32_t dataLength,
                                             Bytes& plain, std::uint32_t, std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCDecipher");
    if (data == nullptr || dataLength == 0) return card::cFailed;
    const CardResult result =
        SetSecurityEnvironment(kSetForComputation, card::crt::kConfidentiality, kEnvironmentLength,
                               keyReference, cAlgRsaPkcs1Decipher);
    if (result != card::cOk) return result;
    return SendCryptogram(0x86, data, dataLength, plain);
}
