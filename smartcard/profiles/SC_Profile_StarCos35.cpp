#include "smartcard/profiles/SC_Profile_StarCos35.h"

#include "smartcard/base/StatusWords.h"

namespace card = kivo::card;

namespace {

constexpr std::uint8_t kProprietaryClass = 0xA0;

}  // namespace

CardResult CSC_Profile_StarCos35::GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out,
                                          std::uint16_t) {
    return GetDataWithLe(kProprietaryClass, p1, p2, out, 0x00);
}

// Selecting a folder makes the card drop its current security environment.
CardResult CSC_Profile_StarCos35::SCSelectMF() {
    ForgetSecurityEnvironment();
    return CSC_Profile_StarCos34::SCSelectMF();
}

// A folder's control information may take up to 255 bytes (Le FF).
CardResult CSC_Profile_StarCos35::SCSelectDF(const std::uint8_t* fid, std::uint32_t length) {
    ForgetSecurityEnvironment();
    return SelectDfIn({.p2 = card::kAnswerFcp, .le = 0xFF}, fid, length);
}

CardResult CSC_Profile_StarCos35::PreSigning(std::int32_t cardProfile, const std::string& keyPath) {
    ForgetSecurityEnvironment();
    return CSC_Profile_StarCos34::PreSigning(cardProfile, keyPath);
}

void CSC_Profile_StarCos35::ForgetSecurityEnvironment() {
    m_securityEnvironmentSet = false;
    m_environment.clear();
}

CardResult CSC_Profile_StarCos35::SetSignatureEnvironment(std::uint8_t keyReference,
                                                          std::uint32_t algorithm) {
    const Bytes data = SignatureEnvironment(keyReference, algorithm);
    if (m_securityEnvironmentSet && m_environment == data) return card::cOk;
    ForgetSecurityEnvironment();
    const CardResult result = CSC_Profile_StarCos34::SetSignatureEnvironment(keyReference, algorithm);
    if (result == card::cOk) {
        m_securityEnvironmentSet = true;
        m_environment = data;
    }
    return result;
}

CardResult CSC_Profile_StarCos35::SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                                             const std::uint8_t* data, std::uint32_t dataLength,
                                             Bytes& signature, std::uint32_t algorithm,
                                             std::uint8_t keyReference) {
    const bool reused = m_securityEnvironmentSet;
    CardResult result = CSC_Profile_StarCos34::SCSignData(keyPath, keyBits, data, dataLength, signature,
                                                          algorithm, keyReference);
    // A card reset in the meantime loses the environment we reused: the
    // card then answers "conditions not satisfied", and one more try with
    // MSE SET tells it again.
    if (result != card::cOk && reused && StatusWord() == kivo::card::sw::kConditionsNotSatisfied) {
        result = CSC_Profile_StarCos34::SCSignData(keyPath, keyBits, data, dataLength, signature, algorithm,
                                                   keyReference);
    }
    return result;
}

void CSC_Profile_StarCos35::SignatureRefused() { ForgetSecurityEnvironment(); }
