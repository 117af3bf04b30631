#include "smartcard/detect/CardLayouts.h"

#include "smartcard/base/CardNumbers.h"

namespace kivo::card::layout {

namespace {

constexpr char kAidSignature[] = "D27600006601";
constexpr char kAidEsign[] = "A000000167455349474E";
constexpr char kAidAds[] = "D2760000030102";

// TCOS 2.0.
constexpr File kSignTrust1k[] = {
    {"3f008000df01c000", "Qualified Cert", false, nullptr},
    {"3f00800082008220", "Auth Cert", false, nullptr},
    {"3f00800083008320", "Decipher Cert", false, nullptr},
    {"3f008000df01c00e", "Root Qualified Cert", true, nullptr},
};
constexpr File kSignDatev1k[] = {
    {"3f00df01c000", "SigG Cert", false, nullptr},
    {"3f003000c500", "Auth Cert", false, nullptr},
    {"3f00df02c200", "Datev Secure Cipher", false, nullptr},
    {"3f00df02c500", "Secure Auth Cert", false, nullptr},
    {"3f00df01c008", "SigG CA Cert", true, nullptr},
    {"3f00df01b000", "SigG Root Cert", true, nullptr},
    {"3f00df02c008", "Cipher CA Cert", true, nullptr},
};
constexpr File kMedisign1k[] = {
    {"3f00df01c000", "SigG Cert", false, nullptr},
    {"3f00df01c00e", "SigG CA Cert", true, nullptr},
    {"3f008300c000", "Auth Cert", false, nullptr},
    {"3f008200c000", "Cipher Cert", false, nullptr},
};
// The qualified certificate in the signature application DF01, the
// authentication certificate in DF06; QuoVadis under its own identifiers.
constexpr File kQuoVadis1k[] = {
    {"3f00df014371", "Qualified Cert", false, nullptr},
    {"3f00df064331", "Auth Cert", false, nullptr},
};
constexpr File kTelesec1k[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr},
    {"3f00df06c000", "Auth Cert", false, nullptr},
};

// TCOS 3.0: a signature card (signature application DF01) and a card with
// the encryption and authentication keys in DF02.
constexpr File kTcos3Signature[] = {
    {"3f00df01c000", "Signature Cert", false, nullptr},
    {"3f00df01c008", "DS CA Cert", true, nullptr},
};
constexpr File kTcos3Encoding[] = {
    {"3f00df02c200", "Encoding Cert", false, nullptr},
    {"3f00df02c500", "Auth Cert", false, nullptr},
};

constexpr File kMicardo[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr},
    {"3f00df01c008", "Root CA Cert", true, nullptr},
};

// StarCos 3.0 to 3.5: the qualified application DF01, the advanced or
// authentication application DF02 (3.4: DF03), CA certificates beside.
constexpr File kStarCos30Qualified[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr},
    {"3f00df01c008", "Qualified Cert CA", true, nullptr},
};
constexpr File kStarCos30Advanced[] = {
    {"3f00df02c000", "Advanced Cert", false, nullptr},
    {"3f00df02c500", "Auth Cert", false, nullptr},
};
constexpr File kStarCos32[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr},
    {"3f00df01c500", "Auth Cert", false, nullptr},
    {"3f00df01c008", "DS CA Cert", true, nullptr},
};
constexpr File kStarCos34Qualified[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr},
    {"3f00df01c00e", "Qualified Root CA", true, nullptr},
};
constexpr File kStarCos34Advanced[] = {
    {"3f00df02c000", "Advanced Cert", false, nullptr},
    {"3f00df02c00e", "Advanced CA Cert", true, nullptr},
};
constexpr File kStarCos34Auth[] = {
    {"3f00df03c500", "Auth Cert", false, nullptr},
    {"3f00df03c50e", "Auth CA Cert", true, nullptr},
};
constexpr File kStarCos35Qualified[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr},
    {"3f00df01c00e", "Signing Cert CA", true, nullptr},
};
constexpr File kStarCos35Auth[] = {
    {"3f00df02c500", "Auth Cert", false, nullptr},
    {"3f00df02c50e", "Auth Cert CA", true, nullptr},
};

// Application cards.
constexpr File kTcos3v2[] = {
    {"3f00df01c001", "QES Cert", false, kAidEsign},
    {"3f00df02c000", "ADS Cert", false, kAidAds},
};
constexpr File kStarCos37[] = {
    {"c000", "Signing Cert", false, kAidSignature},  // QES RSA2048 Cert
    {"c006", "Signing Cert", false, kAidSignature},  // QES ECDSA256 Cert
    {"c500", "Auth Cert", false, kAidEsign},         // Auth RSA2048 Cert
    {"c506", "Auth Cert", false, kAidEsign},         // Auth ECDSA256 Cert
};

constexpr std::array<const char*, 2> kNone = {nullptr, nullptr};

const Product kProducts[] = {
    {type::cTcos20, product::cSignTrust2k, "CP_SIGNTRUST2K", {"3f008000df01c000", nullptr}, kSignTrust1k},
    {type::cTcos20, product::cDatev, "CP_DATEV", {"3f003000c500", nullptr}, kSignDatev1k},
    {type::cTcos20, product::cMedisign, "CP_TELESEC", {"3f008200c000", nullptr}, kMedisign1k},
    {type::cTcos20, product::cQuoVadis1k, "CP_QUOVADIS_1K", {"3f00df064331", "3f00df014371"}, kQuoVadis1k},
    {type::cTcos20, product::cTelesec, "CP_TELESEC", kNone, kTelesec1k},
    {type::cTcos30, product::cTcos3Signature, "CP_TCOS3_SIGNATURE", kNone, kTcos3Signature},
    {type::cTcos30, product::cTcos3Encoding, "CP_TCOS3_ENCODING", kNone, kTcos3Encoding},
    {type::cMicardo21, product::cMicardo, "CP_MICARDO", kNone, kMicardo},
    {type::cStarCos30, product::cSignTrust2k, "CP_STARCOS30_QUALIFIED", kNone, kStarCos30Qualified},
    {type::cStarCos30, product::cStarCos30Advanced, "CP_STARCOS30_ADVANCED", kNone, kStarCos30Advanced},
    {type::cStarCos32, product::cStarCos32Layout, "CP_STARCOS32", kNone, kStarCos32},
    {type::cStarCos34, product::cStarCos34Qualified, "CP_STARCOS34_QUALIFIED", kNone, kStarCos34Qualified},
    {type::cStarCos34, product::cStarCos34Layout61, "CP_STARCOS34_ADVANCED", kNone, kStarCos34Advanced},
    {type::cStarCos34, product::cStarCos34Auth, "CP_STARCOS34_AUTH", kNone, kStarCos34Auth},
    {type::cStarCos35, product::cStarCos35Qualified, "CP_STARCOS35_QUALIFIED", kNone, kStarCos35Qualified},
    {type::cStarCos35, product::cStarCos35Auth, "CP_STARCOS35_AUTH", kNone, kStarCos35Auth},
    {type::cTcos30v2, product::cTcos30v2Signature, "CP_TCOS3V2", kNone, kTcos3v2},
    {type::cStarCos37Dgn, product::cStarCos37Layout, "CP_STARCOS37", kNone, kStarCos37},
};

}  // namespace

std::span<const Product> products() { return kProducts; }

}  // namespace kivo::card::layout
