#include "src/frame/NameText.h"

#include <array>
#include <cstring>

namespace kivo {
namespace {

// One row: the escaped two-byte UTF-8 sequence ("\C3\A4") and the Latin-1
// byte it stands for. 96 rows cover U+00A0..U+00FF; the 32 empty rows after
// them never match.
struct FoldRow {
    char escaped[7];
    unsigned char latin1;
};
constexpr std::size_t kFoldedCharacters = 96;
constexpr std::size_t kTableRows = 128;
constexpr std::size_t kEscapedLength = 6;

constexpr char hexDigit(unsigned value) {
    return static_cast<char>(value < 10 ? '0' + value : 'A' + value - 10);
}

constexpr std::array<FoldRow, kTableRows> makeFoldTable() {
    std::array<FoldRow, kTableRows> table{};
    for (std::size_t i = 0; i < kFoldedCharacters; ++i) {
        const unsigned codePoint = 0xA0 + static_cast<unsigned>(i);
        const unsigned lead = 0xC0 | (codePoint >> 6);
        const unsigned trail = 0x80 | (codePoint & 0x3F);
        FoldRow& row = table[i];
        row.escaped[0] = '\\';
        row.escaped[1] = hexDigit(lead >> 4);
        row.escaped[2] = hexDigit(lead & 0xF);
        row.escaped[3] = '\\';
        row.escaped[4] = hexDigit(trail >> 4);
        row.escaped[5] = hexDigit(trail & 0xF);
        row.escaped[6] = '\0';
        row.latin1 = static_cast<unsigned char>(codePoint);
    }
    return table;
}

constexpr std::array<FoldRow, kTableRows> kFoldTable = makeFoldTable();
static_assert(kFoldTable[0x04].latin1 == 0xA4);
static_assert(kFoldTable[0x44].escaped[2] == '3' && kFoldTable[0x44].escaped[5] == '4');

// The row whose escaped text starts at `at`, or nullptr.
const FoldRow* matchRow(const char* at) {
    for (const FoldRow& row : kFoldTable) {
        if (row.escaped[0] == '\0') break;  // the empty rows never match
        if (std::memcmp(at, row.escaped, kEscapedLength) == 0) return &row;
    }
    return nullptr;
}

// One left-to-right pass over text[0, length); returns the new length.
std::size_t foldPass(char* text, std::size_t length) {
    std::size_t write = 0;
    std::size_t read = 0;
    while (read < length) {
        const FoldRow* row = nullptr;
        if (text[read] == '\\' && length - read >= kEscapedLength) row = matchRow(text + read);
        if (row != nullptr) {
            text[write++] = static_cast<char>(row->latin1);
            read += kEscapedLength;
        } else {
            text[write++] = text[read++];
        }
    }
    return write;
}

// Folds until a pass replaces nothing; returns the final length.
std::size_t foldAll(char* text, std::size_t length) {
    for (;;) {
        const std::size_t folded = foldPass(text, length);
        if (folded == length) return length;
        length = folded;
    }
}

}  // namespace

void foldEscapedUtf8ToLatin1(char* text) {
    if (text == nullptr) return;
    const std::size_t length = foldAll(text, std::strlen(text));
    text[length] = '\0';
}

void foldEscapedUtf8ToLatin1(std::string& text) {
    text.resize(foldAll(text.data(), text.size()));
}

}  // namespace kivo
