#include "smartcard/profiles/SC_Profile_CardOS43b.h"
#include "smartcard/base/CardNumbers.h"

namespace card = kivo::card;

bool CSC_Profile_CardOS43b::SignsByDecipher(std::int32_t cardProfile) {
    // Card profiles 20 and 21 set their key in the confidentiality template
    // (83 01 kk), 26 and 27 sign a PKCS#1 block through PSO DECIPHER: both
    // need the other, since PSO DECIPHER uses the key of the confidentiality
    // template and COMPUTE DIGITAL SIGNATURE the key of the signature
    // template. So all four sign through PSO DECIPHER after MSE SET B8;
    // 22 to 25, 28, 29 and any other profile set the signature template
    // (84 01 kk) and send the DigestInfo with PSO CDS.
    using namespace card::product;
    return cardProfile == cSignCard || cardProfile == cSiemens || cardProfile == cTcQSignUnlimited ||
           cardProfile == cTcQSign;
}

std::uint8_t CSC_Profile_CardOS43b::PinMinimumFor(std::int32_t cardProfile) const {
    using namespace card::product;
    switch (cardProfile) {
        case cSiemens: case cProduct24: case cDTrustCard: case cDTrustCard24_2ce: return 6;
        case cSwissSignId: case cSuisseId: return 5;
        default: return 8;
    }
}

CardResult CSC_Profile_CardOS43b::PreSigning(std::int32_t cardProfile, const std::string& keyPath) {
    const TraceScope trace(*this, "PreSigning");
    return CSC_Profile_CardOS::PreSigning(cardProfile, keyPath);
}

void CSC_Profile_CardOS43b::InitPinLengths() {
    m_pinMinLength = PinMinimumFor(m_cardProfile);
    m_pinMaxLength = 15;
}

CardResult CSC_Profile_CardOS43b::SCSignData(const std::string&, std::uint32_t keyBits,
                                             const std::uint8_t* data, std::uint32_t dataLength,
                                             Bytes& signature, std::uint32_t algorithm,
                                             std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCSignData");
    if (data == nullptr || dataLength == 0 || dataLength > 0xFF) return card::cFailed;
    if (SignsByDecipher(m_cardProfile)) {
        const CardResult result =
            SetKeyEnvironment(cMseSetSign, cConfidentialityTemplate, cKeyReferenceTag83, keyReference);
        if (result != card::cOk) return result;
        return SignByDecipher(keyBits, data, dataLength, algorithm, signature);
    }
    const CardResult result =
        SetKeyEnvironment(cMseSetSign, cSignatureTemplate, cKeyReferenceTag84, keyReference);
    if (result != card::cOk) return result;
    Bytes digestInfo;
    if (BuildSignBuffer(algorithm, keyBits, data, dataLength, digestInfo, false) != card::cOk) {
        return card::cFailed;
    }
    return ComputeSignature(digestInfo, false, keyBits, signature);
}
