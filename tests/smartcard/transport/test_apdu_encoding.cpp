// The command APDU of every case, byte for byte, and the commands that are
// refused before anything is written.
#include "smartcard/transport/ApduEncoding.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using kivo::card::CommandApdu;

TEST(ApduEncoding, EveryCaseIsLaidOutAndBadDataIsRefused) {
    const std::vector<std::uint8_t> data = {0xD1, 0xD2, 0xD3};
    const std::vector<std::uint8_t> big(300, 0xEE);
    const struct {
        const char* name;
        CommandApdu command;
        const char* hex;  // empty: refused
    } cases[] = {
        {"0: header, Lc", {0, 0x00, 0xA4, 0x01, 0x02, 0x1234, 0, nullptr, 0}, "00A4010234"},
        {"1: header only", {1, 0x80, 0xCA, 0x9F, 0x7F, 7, 9, nullptr, 0}, "80CA9F7F"},
        {"2: header, Le (as Lc)", {2, 0x00, 0xB0, 0x00, 0x10, 0x00, 0, nullptr, 0}, "00B0001000"},
        {"3 and 4 as 0", {4, 0x00, 0x20, 0x00, 0x81, 0x05, 0, nullptr, 0}, "0020008105"},
        {"5: data and Le", {5, 0x00, 0x2A, 0x9E, 0x9A, 3, 0x100, data.data(), 3}, "002A9E9A03D1D2D300"},
        {"6: data", {6, 0x00, 0x22, 0x41, 0xB6, 2, 0, data.data(), 3}, "002241B602D1D2"},
        {"6: no data", {6, 0x00, 0x22, 0x41, 0xB6, 0, 0, nullptr, 0}, "002241B600"},
        {"7: extended", {7, 0x00, 0x2A, 0x80, 0x86, 3, 0x0200, data.data(), 3}, "002A808600 0003D1D2D30200"},
        {"unknown case", {8, 0x00, 0xA4, 0x00, 0x00, 0, 0, nullptr, 0}, ""},
        {"data shorter than Lc", {6, 0x00, 0xD6, 0x00, 0x00, 4, 0, data.data(), 3}, ""},
        {"Lc without data", {5, 0x00, 0xD6, 0x00, 0x00, 1, 0, nullptr, 0}, ""},
        {"short Lc above 255", {6, 0x00, 0xD6, 0x00, 0x00, 300, 0, big.data(), 300}, ""},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        std::string expected = test.hex;
        std::erase(expected, ' ');
        std::vector<std::uint8_t> out(kivo::card::encodedLength(test.command) + 1, 0x5A);
        const bool encoded = kivo::card::encodeApdu(test.command, out);
        EXPECT_EQ(encoded, !expected.empty());
        if (!encoded) {
            EXPECT_EQ(out, std::vector<std::uint8_t>(out.size(), 0x5A)) << "nothing written";
            continue;
        }
        EXPECT_EQ(kivo::test::toHex(out.data(), out.size() - 1), expected);
        EXPECT_EQ(out.back(), 0x5A) << "nothing past the command";
        EXPECT_FALSE(kivo::card::encodeApdu(test.command, std::span(out).first(out.size() - 2))) << "too short";
    }
}

}  // namespace
