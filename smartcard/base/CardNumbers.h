// The numbers the card layer shares: card types (the card operating system
// detection found, one profile class each) and card profile numbers (the
// card product, which decides PIN lengths, signing commands and what
// follows a signature). Both are plain integers in the interfaces that
// carry them; these names are what the code compares them with.
#pragma once

#include <cstdint>

namespace kivo::card {

namespace type {
inline constexpr std::int32_t cTcos20 = 1;
inline constexpr std::int32_t cTcos30 = 2;
inline constexpr std::int32_t cMicardo21 = 3;
inline constexpr std::int32_t cCardOs43b = 4;
inline constexpr std::int32_t cStarCos30 = 5;
inline constexpr std::int32_t cSecCos = 6;
inline constexpr std::int32_t cSetCos = 7;
inline constexpr std::int32_t cStarCos32 = 9;
inline constexpr std::int32_t cSetCos442 = 10;
inline constexpr std::int32_t cCardOs44 = 11;
inline constexpr std::int32_t cStarCos34 = 12;
inline constexpr std::int32_t cTcos30v2 = 13;
inline constexpr std::int32_t cStarCos35 = 14;
inline constexpr std::int32_t cCardOs50 = 15;
inline constexpr std::int32_t cCardOs54 = 16;
inline constexpr std::int32_t cStarCos37Dgn = 19;
inline constexpr std::int32_t cCardOs60 = 20;
inline constexpr std::int32_t cStarCos37DTrust = 21;
}  // namespace type

namespace product {
inline constexpr std::int32_t cTelesec = 1;           // TCOS 2.0 Telesec
inline constexpr std::int32_t cMicardo = 2;
inline constexpr std::int32_t cTcos3Signature = 3;    // TCOS 3.0 signature card
inline constexpr std::int32_t cTcos3Encoding = 4;     // TCOS 3.0 encryption and authentication card
inline constexpr std::int32_t cSignTrust2k = 6;       // TCOS 2.0 SignTrust; a StarCos 3.0 layout
inline constexpr std::int32_t cDatev = 7;             // TCOS 2.0 DATEV
inline constexpr std::int32_t cPkcs15 = 9;            // a PKCS#15 card
inline constexpr std::int32_t cMedisign = 10;         // TCOS 2.0 Medisign (logged as Telesec)
inline constexpr std::int32_t cStarCos32Layout = 11;
inline constexpr std::int32_t cStarCos30Advanced = 13;
inline constexpr std::int32_t cQuoVadis1k = 15;       // TCOS 2.0 QuoVadis
inline constexpr std::int32_t cProduct8 = 8;          // no detection yields it; handled after signing
inline constexpr std::int32_t cSignCard = 20;         // CardOS 4.3b "SignCard ...", "Quendra..."
inline constexpr std::int32_t cSiemens = 21;          // CardOS 4.3b "Siemens..."
inline constexpr std::int32_t cStarCos37DTrustUnlabelled = 21;  // StarCos 3.7 D-Trust before its label is read
inline constexpr std::int32_t cDSignMulticard = 22;
inline constexpr std::int32_t cDTrustMulticard = 23;
inline constexpr std::int32_t cProduct24 = 24;        // no detection yields it; has a PIN rule
inline constexpr std::int32_t cDTrustCard = 25;
inline constexpr std::int32_t cTcQSignUnlimited = 26;
inline constexpr std::int32_t cTcQSign = 27;
inline constexpr std::int32_t cDSignMulticard2ce = 28;
inline constexpr std::int32_t cDTrustCard24_2ce = 29;
inline constexpr std::int32_t cSwissSignId = 40;
inline constexpr std::int32_t cSuisseId = 41;
inline constexpr std::int32_t cCardOs44Layout = 50;     // CardOS 4.4 with file 3f00200020010001
inline constexpr std::int32_t cCardOs44Siemens = 51;
inline constexpr std::int32_t cCardOs44SwissSign = 52;
inline constexpr std::int32_t cStarCos34Qualified = 60;
inline constexpr std::int32_t cStarCos34Layout61 = 61;
inline constexpr std::int32_t cStarCos34Auth = 63;
inline constexpr std::int32_t cStarCos35Qualified = 74;
inline constexpr std::int32_t cStarCos35Auth = 76;
inline constexpr std::int32_t cTcos30v2Signature = 75;  // QES and ADS applications
inline constexpr std::int32_t cStarCos37Layout = 89;    // StarCos 3.7 DGN
}  // namespace product

}  // namespace kivo::card
