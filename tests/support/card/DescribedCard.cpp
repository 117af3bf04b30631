#include "tests/support/card/DescribedCard.h"

#include <unistd.h>

#include <fstream>

namespace fs = std::filesystem;

namespace kivo::test {

std::string setCosPkcs15Card() {
    std::ifstream in(std::string(KIVO_VCARD_CARDS) + "/pkcs15.txt");
    std::string text = "atr 3B 9F 00 80 1F C3 00 68 10 44 05 01 46 49 53 45 31 C8 00 90 00 00\n"
                       "dialect fci-size-tag=81\n";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("atr ", 0) != 0) text += line + "\n";
    }
    return text;
}

DescribedCardTest::DescribedCardTest()
    : m_folder(fs::temp_directory_path() / ("kivo-described-" + std::to_string(::getpid()))) {}

void DescribedCardTest::TearDown() {
    described.close();
    VcardTest::TearDown();
    std::error_code ignored;
    fs::remove_all(m_folder, ignored);
}

void DescribedCardTest::describeCard(const std::string& description) {
    described.close();
    fs::create_directories(m_folder);
    const fs::path file = m_folder / ("card-" + std::to_string(++m_described) + ".txt");
    std::ofstream(file) << description;
    ASSERT_NO_FATAL_FAILURE(described.openCard(file.string()));
}

}  // namespace kivo::test
