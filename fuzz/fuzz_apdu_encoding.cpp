// The command APDU layout: fields and data from the input, the command
// written into a buffer of exactly the length the layout reports, so that
// AddressSanitizer sees any write past it.
#include "fuzz/FuzzInput.h"
#include "smartcard/transport/ApduEncoding.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kFields = 10;
    if (size < kFields) return 0;
    const kivo::fuzz::ExactCopy payload(data + kFields, size - kFields);
    kivo::card::CommandApdu command;
    command.apduCase = data[0] % 9;  // the eight cases and an unknown one
    command.cla = data[1];
    command.ins = data[2];
    command.p1 = data[3];
    command.p2 = data[4];
    command.lc = static_cast<std::uint16_t>(data[5] << 8 | data[6]);
    command.le = static_cast<std::uint16_t>(data[7] << 8 | data[8]);
    command.data = (data[9] & 1) != 0 ? nullptr : payload.data();
    command.dataLength = payload.size();

    const std::size_t length = kivo::card::encodedLength(command);
    std::vector<std::uint8_t> out(length);
    const bool encoded = kivo::card::encodeApdu(command, out);
    if (encoded != (length != 0 && kivo::card::dataMatchesLc(command))) std::abort();
    if (length > 0) {
        std::vector<std::uint8_t> tooShort(length - 1);
        if (kivo::card::encodeApdu(command, tooShort)) std::abort();
    }
    return 0;
}
