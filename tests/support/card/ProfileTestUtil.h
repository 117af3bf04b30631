// Small helpers of the card profile suites: answers with status 9000, PIN text as the byte pointer the profiles
// take, and repeated hex for the long blocks of the expected APDUs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivo::test {

// `data` followed by the status word 9000.
inline std::vector<std::uint8_t> ok(std::vector<std::uint8_t> data = {}) {
    data.insert(data.end(), {0x90, 0x00});
    return data;
}

inline const std::uint8_t* text(const char* value) { return reinterpret_cast<const std::uint8_t*>(value); }

// `pair` (hex of one or more bytes) `count` times.
inline std::string repeatHex(const char* pair, int count) {
    std::string out;
    while (count-- > 0) out += pair;
    return out;
}

}  // namespace kivo::test
