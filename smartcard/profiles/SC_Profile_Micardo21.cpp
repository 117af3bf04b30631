#include "smartcard/profiles/SC_Profile_Micardo21.h"
#include "smartcard/profiles/ControlReferenceTemplates.h"

#include "smartcard/profiles/PinPadFields.h"
#include "smartcard/profiles/PinPadInput.h"

#include <algorithm>
#include <cctype>

namespace card = kivo::card;
using namespace kivo::card::pinpad;

namespace {

constexpr std::uint8_t kSetForComputation = 0x41;
constexpr std::uint8_t kEnvironmentLength = 5;
constexpr std::uint8_t kModifyApduData = 21;
constexpr std::uint8_t kNewPinOffset = 8;
constexpr std::uint32_t kPinPadFailed = 1;
// The key file of the signature key; keys of other files authenticate.
const std::string kSignatureKeyFile = "C000";

bool isSignatureKey(const std::string& keyPath) {
    const std::string digits = CSC_Profile_Base::CanonicalPath(keyPath);
    return digits.size() >= 8 && digits.compare(digits.size() - 4, 4, kSignatureKeyFile) == 0;
}

}  // namespace

void CSC_Profile_Micardo21::InitPinLengths() {
    m_pinMinLength = 6;
    m_pinMaxLength = 8;
}

void CSC_Profile_Micardo21::InitKeyLengths() {
    m_rsaKeyLength = 1024;
    m_secondKeyLength = 1024;
}

// "By key": the signature key (key file C000) signs with MSE SET for the
// digital signature template and PSO COMPUTE DIGITAL SIGNATURE, every other
// key with the authentication template and INTERNAL AUTHENTICATE; both get
// the DigestInfo and pad it, so both results verify as RSA PKCS#1 v1.5
// signatures of the hash.
CardResult CSC_Profile_Micardo21::SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                                             const std::uint8_t* data, std::uint32_t dataLength,
                                             Bytes& signature, std::uint32_t algorithm,
                                             std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCSignData");
    if (data == nullptr || dataLength == 0 || dataLength > 0xFF) return card::cFailed;
    const bool signatureKey = isSignatureKey(keyPath);
    const CardResult result = SetSecurityEnvironment(
        kSetForComputation, signatureKey ? card::crt::kDigitalSignature : card::crt::kAuthentication,
        kEnvironmentLength, keyReference, std::nullopt);
    if (result != card::cOk) return result;
    if (signatureKey) {
        return SendDigestInfo(0x2A, 0x9E, 0x9A, keyBits, data, dataLength, algorithm, signature);
    }
    return SendDigestInfo(0x88, 0x00, 0x00, keyBits, data, dataLength, algorithm, signature);
}

CardResult CSC_Profile_Micardo21::SCDecipher(const std::string&, std::uint32_t,
                                             const std::uint8_t* data, std::uint32_t dataLength,
                                             Bytes& plain, std::uint32_t, std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCDecipher");
    if (data == nullptr || dataLength == 0) return card::cFailed;
    const CardResult result = SetSecurityEnvironment(kSetForComputation, card::crt::kConfidentiality,
                                                     kEnvironmentLength, keyReference, std::nullopt);
    if (result != card::cOk) return result;
    return SendCryptogram(0x86, data, dataLength, plain);
}

void CSC_Profile_Micardo21::CreateModifyStruct() {
    Bytes structure = BaseModifyStruct();
    structure[kModifyOffsetNew] = kNewPinOffset;
    putDataLength(structure, kModifyDataLength, kModifyApduData);
    SetModifyStruct(std::move(structure));
}

CardResult CSC_Profile_Micardo21::SCChangeRef(std::uint8_t reference, const std::uint8_t* oldPin,
                                   std::uint32_t oldLength, const std::uint8_t* newPin,
                                   std::uint32_t newLength) {
    return ChangeInEightByteFields(reference, oldPin, oldLength, newPin, newLength);
}

void CSC_Profile_Micardo21::ModifyVerifyStruct() { RefreshVerifyPinLengths(); }
void CSC_Profile_Micardo21::ModifyModifyStruct() { RefreshModifyPinLengths(); }

std::uint32_t CSC_Profile_Micardo21::StartModifyPinPad() {
    if (PinPadFeatures() == nullptr || PinPadFeatures()->modifyPinStart() == 0) {
        SetResponseCapacity(256);
        return kPinPadFailed;
    }
    return StartModifyPinPadWith(withZeroPinFields(m_modifyStruct, 2));
}
