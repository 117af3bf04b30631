// How a card family asks for the control information of a file in its
// SELECT commands, and the size of the selected file as the answer gives
// it. Card operating systems answer in one of a few forms:
// an FCP template (62) with the size in tag 80, possibly with a long-form
// template length (81 xx), or an FCI template (6F) with the size in tag 81
// or 85.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace kivo::card {

struct ControlInfoForm {
    std::uint8_t templateTag;
    std::uint8_t sizeTag;
    bool longTemplateLength;  // "81 xx" after the template tag is understood
};

inline constexpr ControlInfoForm kFcpSize80{0x62, 0x80, false};
inline constexpr ControlInfoForm kFcpSize80LongForm{0x62, 0x80, true};
inline constexpr ControlInfoForm kFciSize81{0x6F, 0x81, false};
inline constexpr ControlInfoForm kFciSize85{0x6F, 0x85, false};

// P2 of SELECT: the control information the answer holds.
inline constexpr std::uint8_t kAnswerFci = 0x00;
inline constexpr std::uint8_t kAnswerFcp = 0x04;

// What the SELECT commands of a card family send, the only thing in which
// the families' selects of the MF, a DF and an EF differ.
struct SelectForm {
    std::uint8_t p2;                        // kAnswerFci or kAnswerFcp
    std::optional<std::uint8_t> le = {};    // none: sent without Le (case 6)
    bool mfByIdentifier = true;             // the MF as 3F 00, else by a SELECT without data
    bool pathFromCurrentDf = false;         // a DF or EF as a path from the current DF (P1 09)
};

// The size (big-endian value of the size tag, 1 to 4 octets) or 0 when the
// answer is not in `form`, is shorter than 6 octets, has a template length
// of 2 or less, or holds no size within the template and the answer.
std::uint32_t fileSizeFrom(std::span<const std::uint8_t> response, ControlInfoForm form);

}  // namespace kivo::card
