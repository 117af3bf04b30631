// The card key (CSCM_Interface) of the card under test, opened as the signing layer does.
#pragma once

#include "smartcard/key/SCM_Interface.h"
#include "tests/support/card/CardUnderTest.h"

#include <memory>
#include <string>

namespace kivo::test {

// The index of the card's reader (of the reader named) in the PC/SC reader list, or -1.
int readerIndexOf(const CardUnderTest& card);
int readerIndexOf(const std::string& readerName);

// A card key for the identifier given; null when the reader or the card object is missing.
std::unique_ptr<CSCM_Interface> openCardKey(const CardUnderTest& card, const std::string& certId = "");

}  // namespace kivo::test
