#include "tools/vcard/Apdu.h"

namespace vcard {

std::optional<Apdu> parseApdu(const Bytes& c) {
    if (c.size() < 4) return std::nullopt;
    Apdu apdu{c[0], c[1], c[2], c[3], {}, std::nullopt};
    const std::size_t n = c.size();
    if (n == 4) return apdu;  // case 1
    if (n == 5) {             // case 2 short
        apdu.le = c[4] == 0 ? 256 : c[4];
        return apdu;
    }
    if (c[4] != 0) {  // short case 3 or 4
        std::size_t lc = c[4];
        if (n == 5 + lc) {
            apdu.data.assign(c.begin() + 5, c.end());
            return apdu;
        }
        if (n == 6 + lc) {
            apdu.data.assign(c.begin() + 5, c.begin() + 5 + lc);
            apdu.le = c[n - 1] == 0 ? 256 : c[n - 1];
            return apdu;
        }
        return std::nullopt;
    }
    // Extended form: 00 followed by a two-byte length.
    if (n == 7) {  // case 2 extended
        std::size_t le = c[5] << 8 | c[6];
        apdu.le = le == 0 ? 65536 : le;
        return apdu;
    }
    if (n < 7) return std::nullopt;
    std::size_t lc = c[5] << 8 | c[6];
    if (lc == 0) return std::nullopt;
    if (n == 7 + lc) {
        apdu.data.assign(c.begin() + 7, c.end());
        return apdu;
    }
    if (n == 9 + lc) {
        apdu.data.assign(c.begin() + 7, c.begin() + 7 + lc);
        std::size_t le = c[n - 2] << 8 | c[n - 1];
        apdu.le = le == 0 ? 65536 : le;
        return apdu;
    }
    return std::nullopt;
}

}  // namespace vcard
