#include "tests/support/card/Pkcs15Card.h"

#include "tests/support/TestSupport.h"

#include <fstream>
#include <sstream>

namespace kivo::test {

Bytes pkcs15TokenInfo(const std::string& label) {
    return seq({tlv(0x02, hex("00")), tlv(0x04, hex("0123456789ABCDEF")), tlv(0x0C, "Kivo"), tlv(0x80, label),
                tlv(0x03, hex("0640"))});
}

std::string labelledPkcs15Card(const std::string& atr, const std::string& label) {
    std::ifstream in(std::string(KIVO_VCARD_CARDS) + "/pkcs15.txt");
    std::ostringstream text;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("atr ", 0) == 0) text << "atr " << atr << "\n";
        else if (line.rfind("ef 3F00/5015/5032 ", 0) == 0) text << "ef 3F00/5015/5032 data=" << toHex(pkcs15TokenInfo(label)) << "\n";
        else text << line << "\n";
    }
    return text.str();
}

}  // namespace kivo::test
