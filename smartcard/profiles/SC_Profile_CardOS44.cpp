#include "smartcard/profiles/SC_Profile_CardOS44.h"
#include "smartcard/base/CardNumbers.h"

namespace card = kivo::card;

std::uint8_t CSC_Profile_CardOS44::PinMinimumFor(std::int32_t cardProfile) const {
    return cardProfile == card::product::cSuisseId ? 8 : CSC_Profile_CardOS43b::PinMinimumFor(cardProfile);
}

// MSE SET 00 22 01 B8 signs (the 4.3b form); 00 22 41 B8 is the one of
// deciphering (the family's SCDecipher).
CardResult CSC_Profile_CardOS44::SCSignData(const std::string&, std::uint32_t keyBits,
                                            const std::uint8_t* data, std::uint32_t dataLength,
                                            Bytes& signature, std::uint32_t algorithm,
                                            std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCSignData");
    if (data == nullptr || dataLength == 0 || dataLength > 0xFF) return card::cFailed;
    const CardResult result =
        SetKeyEnvironment(cMseSetSign, cConfidentialityTemplate, cKeyReferenceTag83, keyReference);
    if (result != card::cOk) return result;
    return SignByDecipher(keyBits, data, dataLength, algorithm, signature);
}
