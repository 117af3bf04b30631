// The PACE requests of a PC/SC part-10 reader (FEATURE_EXECUTE_PACE) and
// the reader's answers, laid out on their own so that they can be tested
// and fuzzed without a reader. The reader runs PACE with the card itself
// and from then on protects the card traffic; the library only asks for
// the channel and reads the outcome.
//
// Every request is bIdxFunction, wLengthInputData (little-endian) and the
// input; every answer is a 32-bit result (little-endian), wLengthOutputData
// and the output.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kivo::card::pace {

// The password the channel is established with (PinID).
enum class Password : std::uint8_t { Mrz = 1, Can = 2, Pin = 3, Puk = 4 };

enum Function : std::uint8_t {
    cGetReaderPaceCapabilities = 0x01,
    cEstablishPaceChannel = 0x02,
    cDestroyPaceChannel = 0x03,
};

// Reader results: 0, the ranges that carry the card's status word in their
// low 16 bits (one per step: MSE SET AT, then the four GENERAL AUTHENTICATE
// steps), and the reader's own outcomes.
constexpr std::uint32_t cResultOk = 0x00000000;
constexpr std::uint32_t cResultCardStatusMseSetAt = 0xF0000000;
constexpr std::uint32_t cResultCardStatusLastStep = 0xF0040000;
constexpr std::uint32_t cResultCancelled = 0xF0200001;
constexpr std::uint32_t cResultTimedOut = 0xF0200002;

// The EstablishPACEChannel request without a CHAT and without a certificate
// description (a signature card, not an eID terminal). An empty password
// lets the reader ask for it on its own keypad. Nothing for a password
// longer than the one length byte can carry. The caller wipes the request:
// it holds the password.
std::optional<std::vector<std::uint8_t>> establishChannelRequest(Password password,
                                                                 std::span<const std::uint8_t> value);
std::vector<std::uint8_t> destroyChannelRequest();

// What an EstablishPACEChannel answer says.
struct EstablishAnswer {
    std::uint32_t result = cResultOk;
    std::uint16_t mseSetAtStatus = 0;  // the card's answer to MSE SET AT
    std::vector<std::uint8_t> cardAccess;  // EF.CardAccess as the reader read it
    std::vector<std::uint8_t> chipIdentifier;  // IDicc
};

// Nothing when the answer is shorter than its lengths say or longer than
// they account for. A failed result may come without output.
std::optional<EstablishAnswer> parseEstablishAnswer(std::span<const std::uint8_t> answer);

// The card's status word carried by a result of one of the card steps;
// nothing for other results.
std::optional<std::uint16_t> cardStatusOf(std::uint32_t result);

// A short text naming the result for the card trace.
const char* resultText(std::uint32_t result);

}  // namespace kivo::card::pace
