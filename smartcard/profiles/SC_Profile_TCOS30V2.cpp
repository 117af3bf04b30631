#include "smartcard/profiles/SC_Profile_TCOS30V2.h"
#include "smartcard/profiles/PinPadFields.h"

namespace card = kivo::card;

namespace {

constexpr std::uint8_t kAnyLength = 0xFF;
constexpr std::uint8_t kPinPadMinLength = 5;
constexpr std::uint8_t kPinPadMaxLength = 15;

}  // namespace

CardResult CSC_Profile_TCOS30V2::SCSelectAID(const std::uint8_t* aid, std::uint32_t length) {
    return SelectApplicationId(aid, length, kAnyLength);
}

void CSC_Profile_TCOS30V2::CreateVerifyStruct() {
    Bytes structure = BaseVerifyStruct();
    card::pinpad::putPinLengths(structure, card::pinpad::kVerifyMaxExtraDigit, kPinPadMinLength, kPinPadMaxLength);
    SetVerifyStruct(std::move(structure));
}

CardResult CSC_Profile_TCOS30V2::BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                                                 const std::uint8_t* hash, std::uint32_t hashLength,
                                                 Bytes& out, bool) {
    const TraceScope trace(*this, "BuildSignBuffer");
    return DigestInfoSignBuffer(hashAlgorithm, keyBits, hash, hashLength, out, true);
}
