#include "smartcard/detect/AtrTable.h"

#include <cctype>
#include <cstring>
#include <string_view>
#include <optional>
#include <vector>

namespace kivo::card {

namespace {

constexpr std::int32_t cEndOfTable = -1;

AtrEntry g_atrTable[] = {
    {1, "TCOS 2.0", "3b,ba,96,00,81,31,86,5d,00,64,05,00,02,03,31,80,90,00,00",
     "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,00,ff,ff,ff,ff,ff,ff,00"},
    {2, "TCOS 3.0", "3b,bf,96,00,81,31,fe,5d,00,64,04,11,03,01,31,c0,73,f7,01,d0,00,90,00,7d",
     "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {3, "Micardo 2.1", "3b,ff,00,00,ff,80,b1,fe,45,1f,03,00,68,d2,76,00,00,28,ff,05,1e,31,80,00,90,00,00",
     "ff,ff,00,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,00"},
    {3, "Micardo 2.1", "3b,6f,00,ff,00,68,d2,76,00,00,28,ff,05,1e,31,80,00,90,00",
     "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {4, "CardOS 4.3b", "3b,f2,18,00,02,c1,0a,31,fe,58,c8,08,74", "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {4, "CardOS 4.3b", "3b,fa,18,00,02,c1,0a,31,fe,58,4b,53,77,69,73,73,53,69,67,6e,89",
     "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {5, "StarCos 3.0", "3b,bb,18,00,c0,10,31,fe,45,80,67,04,12,b0,03,04,00,10,81,05,2b",
     "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {6, "SecCos 5", "3b,ff,00,00,ff,81,31,fe,45,65,63,00,00,00,00,00,00,00,00,00,00,00,00,00,00",
     "ff,ff,00,ff,ff,ff,ff,ff,ff,ff,ff,00,00,00,00,00,00,00,00,00,00,00,00,00,00"},
    {7, "SetCos 441", "3b,9f,00,80,1f,c3,00,68,10,44,05,01,46,49,53,45,31,c8,00,90,00,00",
     "ff,ff,00,ff,ff,ff,ff,ff,f0,ff,ff,ff,ff,ff,ff,ff,ff,ff,00,ff,ff,00"},
    {8, "CardOS 4.01a", "3b,f2,98,00,ff,c1,10,31,fe,55,c8,00,00", "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,00,00"},
    {9, "StarCos 3.2", "3b,9f,96,81,b1,fe,45,1f,07,00,64,05,1e,b2,00,31,b0,73,96,21,00,00,90,00,00",
     "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,00,ff,ff,ff,ff,ff,00,00,ff,ff,00"},
    {12, "StarCos 3.4", "3b,d8,18,ff,81,b1,fe,45,1f,03,80,64,04,1a,b4,03,81,05,61",
     "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {13, "TCOS 3.0 V2", "3b,9f,96,81,31,fe,9d,00,64,05,a0,03,04,31,c0,73,f7,01,d0,00,90,00,28",
     "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {14, "StarCos 3.5", "3b,d0,96,ff,81,31,fe,45,80,50,00,00,00,00,00,00,00,00,00,00,00,00,00,00",
     "ff,f0,ff,ff,ff,ff,ff,ff,ff,f0,00,00,00,00,00,00,00,00,00,00,00,00,00,00"},
    {11, "CardOS 4.4", "3b,d2,18,02,c1,0a,31,fe,58,c8,0d,51", "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {11, "CardOS 4.4 SwissSign", "3b,da,18,02,c1,0a,31,fe,58,4b,53,77,69,73,73,53,69,67,6e,a9",
     "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {14, "StarCos 3.5", "3b,d9,96,ff,81,31,fe,45,80,31,b8,73,86,01,e0,81,05,22",
     "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {15, "CardOS 5.0", "3b,d2,18,00,81,31,fe,58,c9,01,14", "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {16, "CardOS 5.4", "3b,d2,18,00,81,31,fe,58,c9,04,11", "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {19, "StarCos 3.7 DGN", "3b,d3,96,ff,81,b1,fe,45,1f,07,80,81,05,2d", "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {20, "CardOS 6.0", "3b,d2,18,00,81,31,fe,58,cb,01,16", "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {21, "StarCos 3.7 D-Trust", "3b,da,96,ff,81,b1,fe,45,1f,07,80,58,44,54,52,20,56,31,2e,31,e2",
     "ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff"},
    {cEndOfTable, "Unbekannt", "00", "00"},
};

// The hex tokens of a text: runs of hex digits, anything else separates.
std::vector<std::string> hexTokens(std::string_view text) {
    std::vector<std::string> tokens;
    std::string token;
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            token += c;
        } else if (!token.empty()) {
            tokens.push_back(std::move(token));
            token.clear();
        }
    }
    if (!token.empty()) tokens.push_back(std::move(token));
    return tokens;
}

// Tokens as bytes; nothing when a token has more than two digits (no byte).
std::optional<std::vector<std::uint8_t>> tokenBytes(const std::vector<std::string>& tokens) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(tokens.size());
    for (const std::string& token : tokens) {
        if (token.size() > 2) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
    }
    return bytes;
}

// A text field of an entry, never read past its array (the table is
// writable: a patched entry may lack its terminator).
template <std::size_t N>
std::string_view field(const char (&text)[N]) {
    return {text, strnlen(text, N)};
}

bool matches(const std::vector<std::string>& atr, const AtrEntry& entry) {
    const std::vector<std::string> pattern = hexTokens(field(entry.pattern));
    const std::vector<std::string> mask = hexTokens(field(entry.mask));
    if (atr.size() != pattern.size() || mask.size() != pattern.size()) return false;
    const auto atrBytes = tokenBytes(atr);
    const auto patternBytes = tokenBytes(pattern);
    const auto maskBytes = tokenBytes(mask);
    if (!atrBytes || !patternBytes || !maskBytes) return false;
    for (std::size_t i = 0; i < atrBytes->size(); ++i) {
        if (((*atrBytes)[i] & (*maskBytes)[i]) != ((*patternBytes)[i] & (*maskBytes)[i])) return false;
    }
    return true;
}

}  // namespace

AtrEntry* atrTable() { return g_atrTable; }

std::int32_t cardTypeOfAtr(const std::string& atrText, std::string* name) {
    if (atrText == "---") return cEndOfTable;
    const std::vector<std::string> atr = hexTokens(atrText);
    for (const AtrEntry* entry = g_atrTable; entry->type != cEndOfTable; ++entry) {
        if (!matches(atr, *entry)) continue;
        if (name != nullptr) *name = std::string(field(entry->name));
        return entry->type;
    }
    return cEndOfTable;
}

}  // namespace kivo::card
