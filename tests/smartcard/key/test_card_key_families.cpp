// The card key on every card family whose detection finds its
// certificates and whose cards vcard emulates: the references the layout
// gives the entry reach the card's PIN and key. Each card is described
// here as text and opened as the signing layer opens it (detection, PACE
// where the card uses it, the PIN); its signature verifies with OpenSSL
// against the certificate the entry holds, under the scheme the card signs
// with, and what OpenSSL encrypts to a certificate the card deciphers.

#include "smartcard/base/CardResult.h"
#include "smartcard/key/SCM_Interface.h"
#include "tests/support/TestSupport.h"
#include "tests/support/card/CardFamilies.h"
#include "tests/support/card/CardUnderTest.h"
#include "tests/support/card/OpenCardKey.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kivo::test {
namespace {

// Opens the row's card, signs with its signing entry and checks the
// signature, deciphers with its deciphering entry.
void signAndDecipher(const CardFamily& row, const std::string& cardName) {
    CardUnderTest card(cardName, row.description);
    ASSERT_NO_FATAL_FAILURE(card.open());
    const auto paceReader = paceReaderFor(row);
    // The key of an entry as the signing layer opens it: PACE, then the PIN.
    const auto openVerified = [&](const char* certId) {
        auto key = openCardKey(card, certId);
        const bool opened = key != nullptr && key->FindEntry() != nullptr &&
                            (!key->UsesPACE() || key->InitPACE(row.cardAccessNumber)) &&
                            key->VerifyPIN("123456", 0);
        if (!opened) key.reset();
        return key;
    };
    const ByteVector hash = sha256({'f', 'a', 'm', 'i', 'l', 'y'});
    std::vector<std::uint8_t> out(512);
    unsigned long length = 0;

    const auto signer = openVerified(row.signingEntry);
    ASSERT_NE(signer, nullptr) << row.signingEntry;
    ASSERT_EQ(signer->CardSignData(hash.data(), hash.size(), out.data(), &length, 1, true, false), card::cOk);
    const ByteVector signature(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length));
    const ByteVector& certificate = signer->FindEntry()->certificate;
    EXPECT_TRUE(verifiesUnder(row.kind, certificate, hash, signature));
    if (row.decipheringEntry == nullptr) return;

    const auto decipherer = openVerified(row.decipheringEntry);
    ASSERT_NE(decipherer, nullptr) << row.decipheringEntry;
    const ByteVector secret = {0x5E, 0xC2, 0xE7, 0x01, 0x02, 0x03, 0x04, 0x05};
    const ByteVector cryptogram = rsaEncrypt(decipherer->FindEntry()->certificate, secret);
    ASSERT_EQ(
        decipherer->CardRSADecrypt(cryptogram.data(), static_cast<int>(cryptogram.size()), out.data(), &length),
        card::cOk);
    EXPECT_EQ(ByteVector(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length)), secret);
}

TEST(CardKeyFamilies, VerifiesSignsAndDeciphersWithTheLayoutsReferences) {
    const std::vector<CardFamily>& rows = cardFamilies();
    for (const CardFamily& row : rows) {
        SCOPED_TRACE(row.family);
        signAndDecipher(row, "family-" + std::to_string(&row - rows.data()));
    }
}

}  // namespace
}  // namespace kivo::test
