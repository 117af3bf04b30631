// The services' two virtual cards: test_card.txt in the first reader, a described card in the second.
#pragma once

#include "tests/support/card/VcardSession.h"

#include <filesystem>
#include <string>

namespace kivo::test {

// pkcs15.txt as a SetCos card, a type whose detection reads PKCS#15.
std::string setCosPkcs15Card();

class DescribedCardTest : public VcardTest {
public:
    DescribedCardTest();

protected:
    void TearDown() override;

    // Makes the second card the one `description` describes (the file stays until the test ends).
    void describeCard(const std::string& description);

    VcardSession described;
    const std::filesystem::path m_folder;  // the test's own, removed when it ends

private:
    int m_described = 0;
};

}  // namespace kivo::test
