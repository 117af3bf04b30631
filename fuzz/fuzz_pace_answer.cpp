// A reader's answer to EstablishPACEChannel: every field is led by a length
// the reader chose, so a parse must stay inside the answer, and what it
// accepts must account for every byte of it. The request side is driven
// with the same bytes as a password.
#include "fuzz/FuzzInput.h"
#include "smartcard/transport/PaceRequest.h"

#include <cstdlib>

namespace pace = kivo::card::pace;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kivo::fuzz::ExactCopy answer(data, size);
    const auto parsed = pace::parseEstablishAnswer({answer.data(), answer.size()});
    if (parsed) {
        // Result and length, then at least the status, two 2-byte and two
        // 1-byte lengths when output came.
        const std::size_t fixed = parsed->cardAccess.size() + parsed->chipIdentifier.size();
        if (size < 6 || fixed > size) std::abort();
        pace::resultText(parsed->result);
    }
    const auto request = pace::establishChannelRequest(pace::Password::Can, {answer.data(), answer.size()});
    if (request.has_value() != (size <= 255)) std::abort();
    if (request && request->size() != size + 8) std::abort();
    return 0;
}
