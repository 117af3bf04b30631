// The fixed-width text fields of PKCS#11 (labels, descriptions,
// manufacturer): UTF-8, padded with blanks, no terminating NUL.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstring>
#include <string>

namespace kivo::p11 {

// Writes `text` into the field of `size` bytes, cut where it is longer at
// the last whole UTF-8 character that fits.
inline void putPadded(CK_UTF8CHAR* field, std::size_t size, const std::string& text) {
    std::size_t length = text.size() < size ? text.size() : size;
    if (length < text.size()) {
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), length);
}

}  // namespace kivo::p11
