#include "smartcard/detect/CardLayouts.h"

#include "smartcard/base/CardNumbers.h"

namespace kivo::card::layout {

namespace {

constexpr char kAidSignature[] = "D27600006601";
constexpr char kAidEsign[] = "A000000167455349474E";
constexpr char kAidAds[] = "D2760000030102";

// The references of each family's keys and PINs. The card operating
// systems give keys and PINs numbers local to a DF; which numbers a
// product uses is the card application's, and where nothing else tells
// them these are the ones the tests' cards of each family carry.
//
// TCOS 2.0: key 03 and PIN 01 in the DF of each certificate; one security
// environment (MSE SET C1 B8) keys signing and deciphering alike.
constexpr std::uint8_t kTcos2Key = 0x03;
constexpr std::uint8_t kTcos2Pin = 0x01;
// TCOS 3.0 and 3.0v2: PIN 81; key 83 signs (the card's raw operation on a
// padded block, which TCOS 3.0 makes for key 83 only), key 84 deciphers.
constexpr std::uint8_t kTcos3SigningKey = 0x83;
constexpr std::uint8_t kTcos3DecipherKey = 0x84;
constexpr std::uint8_t kTcos3Pin = 0x81;
// Micardo 2.1: PIN 01 and the qualified key 02 (digital signature template).
constexpr std::uint8_t kMicardoKey = 0x02;
constexpr std::uint8_t kMicardoPin = 0x01;
// StarCos 3.x: PIN 81 (a format-2 block) in each application; the
// signature key 02, the authentication key 03, which also deciphers.
constexpr std::uint8_t kStarCosSigningKey = 0x02;
constexpr std::uint8_t kStarCosAuthKey = 0x03;
constexpr std::uint8_t kStarCosPin = 0x81;
// D-TRUST: the qualified key 02 and the authentication key 03 (CardOS
// restores the security environment of that number to sign, and deciphers
// with key 03); PIN 81 in the DF its path names (the MF for the card's
// global PIN).
constexpr std::uint8_t kDTrustQualifiedKey = 0x02;
constexpr std::uint8_t kDTrustAuthKey = 0x03;
constexpr std::uint8_t kDTrustPin = 0x81;

constexpr File kSignTrust1k[] = {
    {"3f008000df01c000", "Qualified Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameSignature}},
    {"3f00800082008220", "Auth Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameAuth}},
    {"3f00800083008320", "Decipher Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameCipher}},
    {"3f008000df01c00e", "Root Qualified Cert", true, nullptr, 0, {}},
};
constexpr File kSignDatev1k[] = {
    {"3f00df01c000", "SigG Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameSignature}},
    {"3f003000c500", "Auth Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameAuth}},
    {"3f00df02c200", "Datev Secure Cipher", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameCipher}},
    {"3f00df02c500", "Secure Auth Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameAuth}},
    {"3f00df01c008", "SigG CA Cert", true, nullptr, 0, {}},
    {"3f00df01b000", "SigG Root Cert", true, nullptr, 0, {}},
    {"3f00df02c008", "Cipher CA Cert", true, nullptr, 0, {}},
};
constexpr File kMedisign1k[] = {
    {"3f00df01c000", "SigG Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameSignature}},
    {"3f00df01c00e", "SigG CA Cert", true, nullptr, 0, {}},
    {"3f008300c000", "Auth Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameAuth}},
    {"3f008200c000", "Cipher Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameCipher}},
};
// The qualified certificate in the signature application DF01, the
// authentication certificate in DF06; QuoVadis under its own identifiers.
// TCOS 2.0 signs PKCS#1 v1.5 only, though QuoVadis allows SHA-256 alone.
constexpr File kQuoVadis1k[] = {
    {"3f00df014371", "Qualified Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameSignature}},
    {"3f00df064331", "Auth Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameAuth}},
};
constexpr File kTelesec1k[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameSignature}},
    {"3f00df06c000", "Auth Cert", false, nullptr, kTcos2Key, {kTcos2Pin, kPinNameAuth}},
};

// TCOS 3.0: a signature card (signature application DF01, whose key the
// card uses under secure messaging only; C100 the certificate of the
// same key under the second signature law, its CA chain beside) and a
// card with the encryption and authentication keys in DF02 (the CA of
// that virtual PKI and the trust centre key service's certificate with
// the authentication root).
constexpr File kTcos3Signature[] = {
    {"3f00df01c000", "Signature Cert", false, nullptr, kTcos3SigningKey, {kTcos3Pin, kPinNameSignature}},
    {"3f00df01c100", "SigG2 Cert", false, nullptr, kTcos3SigningKey, {kTcos3Pin, kPinNameSignature}},
    {"3f00df01c008", "DS CA Cert", true, nullptr, 0, {}},
    {"3f00df01c00e", "Qualified Root CA Cert", true, nullptr, 0, {}},
};
constexpr File kTcos3Encoding[] = {
    {"3f00df02c200", "Encoding Cert", false, nullptr, kTcos3DecipherKey, {kTcos3Pin, kPinNameCipher}},
    {"3f00df02c500", "Auth Cert", false, nullptr, kTcos3SigningKey, {kTcos3Pin, kPinNameAuth}},
    {"3f00df02c008", "VPKI CA Cert", true, nullptr, 0, {}},
    {"3f00df02c100", "TKS Cert", true, nullptr, 0, {}},
    {"3f00df02c50e", "Auth Root Cert", true, nullptr, 0, {}},
};

// The certificate's file C000 tells the profile the key signs with PSO
// COMPUTE DIGITAL SIGNATURE.
constexpr File kMicardo[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr, kMicardoKey, {kMicardoPin, kPinNameSignature}},
    {"3f00df01c008", "Root CA Cert", true, nullptr, 0, {}},
    {"3f00df01c00e", "Qualified Cert Root CA", true, nullptr, 0, {}},
};

// StarCos 3.0 to 3.5: the qualified application DF01, the advanced or
// authentication application DF02 (3.4: DF03), CA certificates beside.
// StarCos 3.0 keeps the qualified signature key, and its PIN, in the key
// file 3F00/3F01/C000: the file the card's signature rule (PSO HASH, then
// PSO COMPUTE DIGITAL SIGNATURE) is made for.
constexpr char kStarCos30SignatureKey[] = "3F003F01C000";
constexpr File kStarCos30Qualified[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr, kStarCosSigningKey, {kStarCosPin, kPinNameSignature},
     kStarCos30SignatureKey, kStarCos30SignatureKey},
    {"3f00df01c008", "Qualified Cert CA", true, nullptr, 0, {}},
};
constexpr File kStarCos30Advanced[] = {
    {"3f00df02c000", "Advanced Cert", false, nullptr, kStarCosSigningKey, {kStarCosPin, kPinNameSignature}},
    {"3f00df02c500", "Auth Cert", false, nullptr, kStarCosAuthKey, {kStarCosPin, kPinNameAuth}},
};
// StarCos 3.2 with an e-mail application DF04: its signature key and its
// deciphering key, certified for mail.
constexpr File kStarCos32[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr, kStarCosSigningKey, {kStarCosPin, kPinNameSignature}},
    {"3f00df01c500", "Auth Cert", false, nullptr, kStarCosAuthKey, {kStarCosPin, kPinNameAuth}},
    {"3f00df01c008", "DS CA Cert", true, nullptr, 0, {}},
    {"3f00df04c000", "E-Mail Sig Cert", false, nullptr, kStarCosSigningKey, {kStarCosPin, kPinNameSignature}},
    {"3f00df04c200", "E-Mail Cipher Cert", false, nullptr, kStarCosAuthKey, {kStarCosPin, kPinNameCipher}},
};
constexpr File kStarCos34Qualified[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr, kStarCosSigningKey, {kStarCosPin, kPinNameSignature}},
    {"3f00df01c008", "Qualified CA Cert", true, nullptr, 0, {}},
    {"3f00df01c00e", "Qualified Root CA", true, nullptr, 0, {}},
};
constexpr File kStarCos34Advanced[] = {
    {"3f00df02c000", "Advanced Cert", false, nullptr, kStarCosSigningKey, {kStarCosPin, kPinNameSignature}},
    {"3f00df02c00e", "Advanced CA Cert", true, nullptr, 0, {}},
};
constexpr File kStarCos34Auth[] = {
    {"3f00df03c500", "Auth Cert", false, nullptr, kStarCosAuthKey, {kStarCosPin, kPinNameAuth}},
    {"3f00df03c50e", "Auth CA Cert", true, nullptr, 0, {}},
};
constexpr File kStarCos35Qualified[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr, kStarCosSigningKey, {kStarCosPin, kPinNameSignature}},
    {"3f00df01c00e", "Signing Cert CA", true, nullptr, 0, {}},
};
constexpr File kStarCos35Auth[] = {
    {"3f00df02c500", "Auth Cert", false, nullptr, kStarCosAuthKey, {kStarCosPin, kPinNameAuth}},
    {"3f00df02c50e", "Auth Cert CA", true, nullptr, 0, {}},
};

// Application cards. TCOS 3.0v2 signs with key 83 in both applications.
constexpr File kTcos3v2[] = {
    {"3f00df01c001", "QES Cert", false, kAidEsign, kTcos3SigningKey, {kTcos3Pin, kPinNameSignature}},
    {"3f00df02c000", "ADS Cert", false, kAidAds, kTcos3SigningKey, {kTcos3Pin, kPinNameSignature}},
};
constexpr File kStarCos37[] = {
    {"c000", "Signing Cert", false, kAidSignature, kStarCosSigningKey, {kStarCosPin, kPinNameSignature}},  // QES RSA2048 Cert
    {"c006", "Signing Cert", false, kAidSignature, kStarCosSigningKey, {kStarCosPin, kPinNameSignature}},  // QES ECDSA256 Cert
    {"c500", "Auth Cert", false, kAidEsign, kStarCosAuthKey, {kStarCosPin, kPinNameAuth}},            // Auth RSA2048 Cert
    {"c506", "Auth Cert", false, kAidEsign, kStarCosAuthKey, {kStarCosPin, kPinNameAuth}},            // Auth ECDSA256 Cert
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

constexpr int kSame = -1;
constexpr int kRsa = 1;
constexpr int kEc = 2;

// D-TRUST cards: the ".4" generations carry 3072-bit RSA keys, the others
// 2048 bits; "multicard", "batch100", "M100" and "Multi" products sign
// more than once per PIN entry.
const LabelRule kLabelRules[] = {
    {type::cCardOs43b, product::cSignCard, "SignCard single", false, 1, true, kRsa, 0},
    {type::cCardOs43b, product::cSignCard, "SignCard multi", false, 0, true, kRsa, 0},
    {type::cCardOs43b, product::cSignCard, "PKCS15andSigG", false, kSame, true, kRsa, 0},
    {type::cCardOs43b, product::cSignCard, "Quendra", false, kSame, false, kRsa, 0},
    {type::cCardOs43b, product::cSiemens, "Siemens", false, kSame, false, kRsa, 0},
    {type::cCardOs43b, product::cDSignMulticard2ce, "D-SIGN multicard 2.0 2ce", false, 0, false, kRsa, 0},
    {type::cCardOs43b, product::cDSignMulticard, "D-SIGN multicard", false, 0, false, kRsa, 0},
    {type::cCardOs43b, product::cDTrustMulticard, "D-TRUST multicard", false, 0, false, kRsa, 0},
    {type::cCardOs43b, product::cDTrustCard24_2ce, "D-TRUST card 2.4 2ce", false, kSame, false, kRsa, 0},
    {type::cCardOs43b, product::cDTrustCard, "D-TRUST card", false, kSame, false, kRsa, 0},
    {type::cCardOs43b, product::cTcQSignUnlimited, "TC QSign unlimited", false, 0, false, kRsa, 0},
    {type::cCardOs43b, product::cTcQSign, "TC QSign", true, kSame, false, kRsa, 0},
    {type::cCardOs43b, product::cSwissSignId, "SwissSignID", false, kSame, false, kRsa, 0},
    {type::cCardOs43b, product::cSuisseId, "SuisseID", false, kSame, false, kRsa, 0},
    {type::cCardOs44, product::cCardOs44SwissSign, "SwissSign", false, kSame, false, kRsa, 0},
    {type::cCardOs50, 77, "D-TRUST Card V3.1 standard", false, kSame, false, kRsa, 2048},
    {type::cCardOs50, 78, "D-TRUST Card V3.1 batch100", false, 0, false, kRsa, 2048},
    {type::cCardOs50, 79, "D-TRUST Card V3.1 multicard", false, 0, false, kRsa, 2048},
    {type::cCardOs50, 80, "D-TRUST Card V3.4 standard", false, kSame, false, kRsa, 3072},
    {type::cCardOs50, 81, "D-TRUST Card V3.4 multicard", false, 0, false, kRsa, 3072},
    {type::cCardOs54, 82, "D-TRUST Card 4.1 Std. RSA", false, kSame, false, kRsa, 2048},
    {type::cCardOs54, 83, "D-TRUST Card 4.1 M100 ECC", false, 0, false, kEc, 0},
    {type::cCardOs54, 84, "D-TRUST Card 4.1 Multi ECC", false, 0, false, kEc, 0},
    {type::cCardOs54, 85, "D-TRUST Card 4.4 Std. RSA", false, kSame, false, kRsa, 3072},
    {type::cCardOs54, 86, "D-TRUST Card 4.4 Multi ECC", false, 0, false, kEc, 0},
    {type::cCardOs60, 90, "D-TRUST Card 5.1 Std. RSA", false, kSame, false, kRsa, 2048},
    {type::cCardOs60, 91, "D-TRUST Card 5.1 M100 ECC", false, 0, false, kEc, 0},
    {type::cCardOs60, 92, "D-TRUST Card 5.1 Multi ECC", false, 0, false, kEc, 0},
    {type::cCardOs60, 93, "D-TRUST Card 5.4 Std. RSA", false, kSame, false, kRsa, 3072},
    {type::cCardOs60, 94, "D-TRUST Card 5.4 Multi ECC", false, 0, false, kEc, 0},
    {type::cStarCos37DTrust, 95, "D-TRUST Card 6.1 Std. RSA", false, kSame, false, kRsa, 2048},
    {type::cStarCos37DTrust, 96, "D-TRUST Card 6.1 M100 ECC", false, 0, false, kEc, 0},
    {type::cStarCos37DTrust, 97, "D-TRUST Card 6.1 Multi ECC", false, 0, false, kEc, 0},
    {type::cStarCos37DTrust, 98, "D-TRUST Card 6.4 Std. RSA", false, kSame, false, kRsa, 3072},
    {type::cStarCos37DTrust, 99, "D-TRUST Card 6.4 Multi ECC", false, 0, false, kEc, 0},
};

// D-TRUST certificate files. CardOS 5.0: the qualified key in DF 1FFF (its
// PIN there too), the authentication key in DF 1FFD with its PIN in 0011;
// these cards sign RSASSA-PSS (SHA-256 only). CardOS 5.4: the qualified key
// and PIN in 0101, the authentication key in 0102 with the card's global
// PIN in the MF. CardOS 6.0 and StarCos 3.7: the same files inside their
// applications.
constexpr File kDTrust50[] = {
    {"3F001FFEC001", "Qualified Cert", false, nullptr, kDTrustQualifiedKey, {kDTrustPin, kPinNameSignature}, "3F001FFF", "3F001FFF",
     SignatureKind::RsaPss},
    {"3F001FFEC101", "Auth Cert", false, nullptr, kDTrustAuthKey, {kDTrustPin, kPinNameCard}, "3F001FFD", "3F000011",
     SignatureKind::RsaPss},
};
constexpr File kDTrust54[] = {
    {"3F0001030201", "Qualified Cert", false, nullptr, kDTrustQualifiedKey, {kDTrustPin, kPinNameSignature}, "3F000101", "3F000101"},
    {"3F0001030204", "Auth Cert", false, nullptr, kDTrustAuthKey, {kDTrustPin, kPinNameCard}, "3F000102", "3F00"},
};
constexpr File kDTrustApplications[] = {
    {"3F0001030201", "Qualified Cert", false, kAidSignature, kDTrustQualifiedKey, {kDTrustPin, kPinNameSignature}, "3F000101",
     "3F000101"},
    {"3F0001030204", "Auth Cert", false, kAidEsign, kDTrustAuthKey, {kDTrustPin, kPinNameCard}, "3F000102", "3F00"},
};

}  // namespace

std::span<const Product> products() { return kProducts; }

std::span<const LabelRule> labelRules() { return kLabelRules; }

const LabelRule* ruleForLabel(std::int32_t cardType, const std::string& label) {
    for (const LabelRule& rule : kLabelRules) {
        if (rule.cardType != cardType) continue;
        const bool matches = rule.wholeLabel ? label == rule.name : label.rfind(rule.name, 0) == 0;
        if (matches) return &rule;
    }
    return nullptr;
}

std::span<const File> dTrustFiles(std::int32_t cardType) {
    switch (cardType) {
        case type::cCardOs50: return kDTrust50;
        case type::cCardOs54: return kDTrust54;
        case type::cCardOs60:
        case type::cStarCos37DTrust: return kDTrustApplications;
        default: return {};
    }
}

namespace {

// Words that tell a PIN by its label (English and German, as the cards
// write them), tried in order: "Global" and "Card" before the roles, since
// a "Global Signature PIN" is still the global one.
struct PinWord {
    std::string_view word;
    std::uint16_t name;
};
constexpr PinWord kPinWords[] = {
    {"global", kPinNameGlobal}, {"card", kPinNameCard},     {"karte", kPinNameCard},
    {"auth", kPinNameAuth},     {"cipher", kPinNameCipher}, {"verschl", kPinNameCipher},
    {"encr", kPinNameCipher},   {"sig", kPinNameSignature}, {"qes", kPinNameSignature},
};

bool containsWord(std::string_view text, std::string_view word) {
    for (std::size_t at = 0; at + word.size() <= text.size(); ++at) {
        bool same = true;
        for (std::size_t i = 0; i < word.size() && same; ++i) {
            const char c = text[at + i];
            same = (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == word[i];
        }
        if (same) return true;
    }
    return false;
}

}  // namespace

std::uint16_t pinNameOf(std::string_view pinLabel, std::string_view certificateLabel) {
    for (const PinWord& known : kPinWords) {
        if (containsWord(pinLabel, known.word)) return known.name;
    }
    if (containsWord(certificateLabel, "auth")) return kPinNameAuth;
    if (containsWord(certificateLabel, "cipher") || containsWord(certificateLabel, "encoding")) return kPinNameCipher;
    return kPinNameSignature;
}

}  // namespace kivo::card::layout
