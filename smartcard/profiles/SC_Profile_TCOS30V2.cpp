#include "smartcard/profiles/SC_Profile_TCOS30V2.h"

namespace card = kivo::card;

namespace {

constexpr std::uint8_t kAnyLength = 0xFF;
// wPINMaxExtraDigit of the verify structure: maximum low, minimum high.
constexpr std::size_t kVerifyMaxExtraDigit = 5;
constexpr std::uint8_t kPinPadMinLength = 5;
constexpr std::uint8_t kPinPadMaxLength = 15;

}  // namespace

CardResult CSC_Profile_TCOS30V2::SCSelectAID(const std::uint8_t* aid, std::uint32_t length) {
    return SelectApplicationId(aid, length, kAnyLength);
}

void CSC_Profile_TCOS30V2::CreateVerifyStruct() {
    Bytes structure = BaseVerifyStruct();
    if (structure.size() == cVerifyStructLength) {
        structure[kVerifyMaxExtraDigit] = kPinPadMaxLength;
        structure[kVerifyMaxExtraDigit + 1] = kPinPadMinLength;
    }
    SetVerifyStruct(std::move(structure));
}

CardResult CSC_Profile_TCOS30V2::BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                                                 const std::uint8_t* hash, std::uint32_t hashLength,
                                                 Bytes& out, bool) {
    const TraceScope trace(*this, "BuildSignBuffer");
    return DigestInfoSignBuffer(hashAlgorithm, keyBits, hash, hashLength, out, true);
}
