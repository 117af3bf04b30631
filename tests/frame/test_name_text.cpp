// Folding OpenSSL's escaped UTF-8 in certificate names to Latin-1.

#include "src/frame/NameText.h"

#include <gtest/gtest.h>

#include <string>

using kivo::foldEscapedUtf8ToLatin1;

namespace {
std::string folded(std::string text) {
    foldEscapedUtf8ToLatin1(text);
    return text;
}
}  // namespace

TEST(NameLatin1Folding, EscapedU00A0ToU00FFBecomeLatin1) {
    const std::pair<std::string, std::string> cases[] = {
        {"CN=J\\C3\\BCrgen M\\C3\\BCller", "CN=J\xFCrgen M\xFCller"},
        {"O=Stra\\C3\\9Fe", "O=Stra\xDF" "e"},
        {"\\C3\\84\\C3\\96\\C3\\9C", "\xC4\xD6\xDC"},
        {"\\\\C3\\BC", "\\\xFC"},
        // Neighbours outside the range stay escaped.
        {"\\C2\\9F", "\\C2\\9F"},              // U+009F
        {"\\C4\\80", "\\C4\\80"},              // U+0100
        {"\\E2\\82\\AC", "\\E2\\82\\AC"},      // euro sign
        {"\\C3\\C0", "\\C3\\C0"},              // not a continuation byte
        {"\\c3\\bc", "\\c3\\bc"},              // OpenSSL prints upper-case hex
        {"tail \\C3\\B", "tail \\C3\\B"},      // cut short
        {"\\C3", "\\C3"},
        {"", ""},
        {"CN=Plain ASCII", "CN=Plain ASCII"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(folded(text), expected) << text;
}

TEST(NameLatin1Folding, EveryCharacterOfTheRangeRoundTrips) {
    for (unsigned code = 0xA0; code <= 0xFF; ++code) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\%02X\\%02X", 0xC0 | (code >> 6),
                      0x80 | (code & 0x3F));
        const std::string result = folded(escaped);
        ASSERT_EQ(result.size(), 1u) << escaped;
        EXPECT_EQ(static_cast<unsigned char>(result[0]), code) << escaped;
    }
}

TEST(NameLatin1Folding, CStringAndEmbeddedNulForms) {
    char text[] = "M\\C3\\BCller, \\C3\\A4";
    foldEscapedUtf8ToLatin1(text);
    EXPECT_STREQ(text, "M\xFCller, \xE4");
    foldEscapedUtf8ToLatin1(static_cast<char*>(nullptr));  // no effect, no crash

    std::string withNul("a\\C3\\A4", 7);
    withNul += '\0';
    withNul += "\\C3\\B6";
    EXPECT_EQ(folded(withNul), std::string("a\xE4\0\xF6", 4));
}
