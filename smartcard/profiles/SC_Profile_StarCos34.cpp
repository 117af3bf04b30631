#include "smartcard/profiles/SC_Profile_StarCos34.h"


namespace card = kivo::card;
namespace sw = kivo::card::sw;

namespace {

constexpr std::uint8_t kUnblockWithoutNewPin = 0x01;

}  // namespace

std::span<const sw::Mapping> CSC_Profile_StarCos34::PinCommandResults() const {
    return cPinResults;
}

void CSC_Profile_StarCos34::InitUnblockMode() { m_unblockPukOnly = 1; }

CardResult CSC_Profile_StarCos34::SCUnblockPin2(std::uint8_t reference, const std::uint8_t* puk,
                                                std::uint32_t pukLength) {
    const TraceScope trace(*this, "SCUnblockPin2");
    return SendOneBlock(cInsResetRetryCounter, kUnblockWithoutNewPin, reference, puk, pukLength);
}
