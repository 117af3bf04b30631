#include "smartcard/profiles/ControlInfo.h"

#include <algorithm>

namespace kivo::card {

std::uint32_t fileSizeFrom(std::span<const std::uint8_t> response, ControlInfoForm form) {
    constexpr std::size_t kMinimumAnswer = 6;
    constexpr std::size_t kMaxSizeOctets = 4;
    if (response.size() < kMinimumAnswer || response[0] != form.templateTag) return 0;
    std::size_t templateLength = response[1];
    std::size_t start = 2;
    if (form.longTemplateLength && response[1] == 0x81) {
        templateLength = response[2];
        start = 3;
    }
    if (templateLength <= 2) return 0;
    const std::size_t end = std::min(response.size(), start + templateLength);
    for (std::size_t at = start; at + 2 <= end;) {
        const std::uint8_t tag = response[at];
        const std::size_t length = response[at + 1];
        if (at + 2 + length > end) return 0;
        if (tag == form.sizeTag) {
            if (length == 0 || length > kMaxSizeOctets) return 0;
            std::uint32_t size = 0;
            for (std::size_t i = 0; i < length; ++i) size = size << 8 | response[at + 2 + i];
            return size;
        }
        at += 2 + length;
    }
    return 0;
}

}  // namespace kivo::card
