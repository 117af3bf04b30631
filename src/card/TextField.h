// Text copied into a fixed character field of an exported structure.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace kivo {

// Clears the field and copies at most `maxLength` characters of the text
// (never more than N - 1), so that the field always ends in NUL.
template <std::size_t N>
void copyToField(char (&field)[N], const std::string& text, std::size_t maxLength = N - 1) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min({text.size(), maxLength, N - 1}));
}

}  // namespace kivo
