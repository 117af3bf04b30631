// The card key (CSCM_Interface) of the card under test, as the signing
// layer opens one: detection through the reader list, then the key for a
// certificate identifier.
#pragma once

#include "smartcard/key/SCM_Interface.h"
#include "tests/support/card/CardUnderTest.h"

#include <memory>
#include <string>

namespace kivo::test {

// The index of the card's reader (of the reader named) in the PC/SC reader
// list, -1 when it is not listed.
int readerIndexOf(const CardUnderTest& card);
int readerIndexOf(const std::string& readerName);

// A card key on the card in the card's reader, for the identifier given;
// null when the reader is not listed or detection finds no card object.
std::unique_ptr<CSCM_Interface> openCardKey(const CardUnderTest& card, const std::string& certId = "");

}  // namespace kivo::test
