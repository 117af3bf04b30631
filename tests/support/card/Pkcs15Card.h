// The tests' PKCS#15 cards with a token label of the test's choosing (the label tells detection the card
// product).
#pragma once

#include "tests/support/DerBuild.h"

#include <string>

namespace kivo::test {

// TokenInfo: version 0, serial 0123456789ABCDEF, manufacturer "Kivo", the label, flags loginRequired.
Bytes pkcs15TokenInfo(const std::string& label);

// The PKCS#15 card of support/cards (pkcs15.txt) with another ATR and that TokenInfo.
std::string labelledPkcs15Card(const std::string& atr, const std::string& label);

}  // namespace kivo::test
