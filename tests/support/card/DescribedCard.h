// The services' two virtual cards in one test: the card of test_card.txt in
// the first reader (the VcardTest session) and, once `describeCard` has
// named one, a described card in the second.
#pragma once

#include "tests/support/card/VcardSession.h"

#include <filesystem>
#include <string>

namespace kivo::test {

// The PKCS#15 card of support/cards as a SetCos card: a card type whose
// detection reads PKCS#15 (the ATR of pkcs15.txt names no known type).
std::string setCosPkcs15Card();

class DescribedCardTest : public VcardTest {
public:
    DescribedCardTest();

protected:
    void TearDown() override;

    // Makes the services' second card the one `description` describes (the
    // file stays until the test ends: the card reads it at each power-up).
    void describeCard(const std::string& description);

    VcardSession described;
    // A folder of the test's own, removed when it ends.
    const std::filesystem::path m_folder;

private:
    int m_described = 0;
};

}  // namespace kivo::test
