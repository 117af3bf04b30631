// The table of known ATRs: which card operating system (card type number)
// an answer-to-reset stands for. Scanned in order until the entry of type
// -1; the first entry whose pattern equals the ATR under its mask wins.
#pragma once

#include <cstdint>
#include <string>

namespace kivo::card {

// One entry: type, name, pattern and mask as lower-case hex bytes joined
// by ",". The table lives in writable data, as hosts may patch it.
struct AtrEntry {
    std::int32_t type;
    char name[255];
    char pattern[255];
    char mask[255];
};

// The first entry of the table; the entry of type -1 ends it.
AtrEntry* atrTable();

// The card type of an ATR text (any characters other than hex digits
// separate the bytes, as in "3B:BA:96"), or -1 for "---", an unknown ATR
// or a malformed one. `name` receives the entry's name when one matches.
std::int32_t cardTypeOfAtr(const std::string& atrText, std::string* name = nullptr);

}  // namespace kivo::card
