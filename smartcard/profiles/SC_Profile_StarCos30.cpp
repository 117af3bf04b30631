#include "smartcard/profiles/SC_Profile_StarCos30.h"
#include "smartcard/profiles/ControlReferenceTemplates.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace card = kivo::card;

namespace {

// The qualified signature key; every other key authenticates.
const std::string kSignatureKeyPath = "3F003F01C000";

bool isSignatureKey(const std::string& path) { return CSC_Profile_Base::CanonicalPath(path) == kSignatureKeyPath; }

}  // namespace

void CSC_Profile_StarCos30::InitPinLengths() {
    m_pinMinLength = 6;
    m_pinMaxLength = 8;
}

CardResult CSC_Profile_StarCos30::GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out,
                                          std::uint16_t le) {
    return GetDataWithLe(0x00, p1, p2, out, le);
}

CardResult CSC_Profile_StarCos30::SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                                             const std::uint8_t* data, std::uint32_t dataLength,
                                             Bytes& signature, std::uint32_t algorithm,
                                             std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCSignData");
    if (data == nullptr || dataLength == 0 || dataLength > 0xFF) return card::cFailed;
    if (!isSignatureKey(keyPath)) {
        return AuthenticateInternally(keyBits, data, dataLength, algorithm, keyReference, signature);
    }
    // The signature key signs only a hash the card knows: anything else is
    // refused here rather than signed in a form nobody could verify.
    if (!HashReference(algorithm)) return card::cFailed;
    return SignWithPsoHash(data, dataLength, algorithm, keyReference, signature);
}

CardResult CSC_Profile_StarCos30::SignWithPsoHash(const std::uint8_t* hash, std::uint32_t length,
                                                  std::uint32_t algorithm,
                                                  std::uint8_t keyReference, Bytes& signature) {
    const auto reference = HashReference(algorithm);
    if (!reference) return card::cFailed;
    // The signature template names the key, the hash template the hash;
    // the card wants the key's template again after the hash's.
    CardResult result = SetSecurityEnvironment(card::crt::kDigitalSignature, keyReference);
    if (result == card::cOk) result = SetSecurityEnvironment(card::crt::kHash, *reference);
    if (result == card::cOk) result = SetSecurityEnvironment(card::crt::kDigitalSignature, keyReference);
    if (result != card::cOk) return result;
    // PSO HASH: the hash as data object 90.
    Bytes input{0x90, static_cast<std::uint8_t>(length)};
    input.insert(input.end(), hash, hash + length);
    Bytes ignored;
    result = SendOperation(cInsPso, 0x90, 0xA0, input, {AnswerForm::NoLe}, ignored);
    if (result != card::cOk) return result;
    return ComputeDigitalSignature({}, {}, signature);
}

CardResult CSC_Profile_StarCos30::AuthenticateInternally(std::uint32_t keyBits,
                                                         const std::uint8_t* hash,
                                                         std::uint32_t length,
                                                         std::uint32_t algorithm,
                                                         std::uint8_t keyReference,
                                                         Bytes& signature) {
    const CardResult result = SetSecurityEnvironment(card::crt::kAuthentication, keyReference);
    if (result != card::cOk) return result;
    return SendDigestInfo(0x88, 0x00, 0x00, keyBits, hash, length, algorithm, signature);
}
