// The base64 alphabet used for the proxy credentials of revocation look-ups.
#pragma once

#include <string_view>

namespace kivo {
inline constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}
