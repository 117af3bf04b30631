#include "tests/support/card/CardFamilies.h"

#include "tests/support/TestSupport.h"
#include "tests/support/card/Pkcs15Card.h"

namespace kivo::test {

namespace {

// A PKCS#15 token whose label tells the D-TRUST product; its certificate
// files are the layout's, so the token lists no objects.
std::string dTrustToken(const std::string& label) {
    return "df 3F00/5015 aid=A000000063504B43532D3135\n"
           "ef 3F00/5015/5031 data=A00A300804063F0050154400\n"
           "ef 3F00/5015/5032 data=" + toHex(pkcs15TokenInfo(label)) + "\n";
}

// The PKCS#15 card whose PrKDF names its key file from the MF
// (3F0050154B01) rather than relative to the application.
std::string withAbsoluteKeyPath(std::string card) {
    const std::string relative = "303730160C0D5369676E6174757265206B657903020780040101300F0401450303062040030203B8"
                                 "020102A10C300A300404024B0102020800";
    const std::string absolute = "303B30160C0D5369676E6174757265206B657903020780040101300F0401450303062040030203B8"
                                 "020102A110300E300804063F0050154B0102020800";
    const std::size_t at = card.find(relative);
    if (at != std::string::npos) card.replace(at, relative.size(), absolute);
    return card;
}

// A StarCos card's general data file, its PIN 123456 (kept as the ISO 9564
// format-2 block the card is sent), the signature key 02 and the
// authentication key 03; the ATR and the files come first.
std::string starCosCard(const std::string& atrAndDialect, const std::string& files) {
    return atrAndDialect + "ef 3F00/2F02 data=5A0A12345678901234567890\n" + files +
           "pin 81 value=hex:26123456FFFFFFFF max=3\n"
           "key 02 file=rsa2048.pem pin=81\nkey 03 file=rsa2048-dec.pem pin=81\n";
}

// A CardOS D-TRUST card: a wrong PIN answered 6300, keys used by restoring
// the security environment of their number, the serial number as GET DATA
// 01 81, the token with the product's label and PIN 123456; the keys and
// the files follow.
std::string cardOsDTrustCard(const std::string& atr, const std::string& dialect, const std::string& label,
                             const std::string& keysAndFiles) {
    return "atr " + atr + "\ndialect wrong-pin-sw=6300 restore-se=key " + dialect +
           "\ndata 0181 C9040A0B0C0D0E0F\n" + dTrustToken(label) + "pin 81 value=123456 max=3\n" + keysAndFiles;
}

// The qualified and the authentication certificate of the D-TRUST
// application cards, in their applications, with the DFs of their keys.
constexpr char kDTrustApplications[] =
    "df 3F00/0103 aid=D27600006601\n"
    "ef 3F00/0103/0201 data=@rsa2048.crt\nef 3F00/0103/0204 data=@rsa2048-dec.crt\n"
    "df 3F00/DF02 aid=A000000167455349474E\ndf 3F00/0101\ndf 3F00/0102\n";

}  // namespace

const std::vector<CardFamily>& cardFamilies() {
    static const std::vector<CardFamily> families = {
        {"TCOS 2.0 Medisign",
         "atr 3B BA 96 00 81 31 86 5D 00 64 05 5A 02 03 31 80 90 00 A5\n"
         "dialect fci-size-tag=81 signature-template=B8\n"
         "ef 3F00/2F02 data=5A0A20000000000000000020\n"
         "df 3F00/DF01\nef 3F00/DF01/C000 data=@rsa1024.crt\n"
         "df 3F00/8200\nef 3F00/8200/C000 data=@rsa1024.crt\n"
         "pin 01 value=123456 max=3\nkey 03 file=rsa1024.pem pin=01\n",
         "SigG Cert", SignatureKind::RsaPkcs1, "Cipher Cert"},
        // The encoding card: its signature card twin signs only under
        // secure messaging, which needs the card's device key.
        {"TCOS 3.0 encoding",
         "atr 3B BF 96 00 81 31 FE 5D 00 64 04 11 03 01 31 C0 73 F7 01 D0 00 90 00 7D\n"
         "dialect decipher-byte-order=reversed decipher-raw-indicator=01\n"
         "ef 3F00/2F02 data=5A0A11223344556677889900\n"
         "df 3F00/DF02\nef 3F00/DF02/C200 data=@rsa1024-dec.crt\nef 3F00/DF02/C500 data=@rsa1024.crt\n"
         "pin 81 value=123456 max=3\nkey 83 file=rsa1024.pem pin=81\nkey 84 file=rsa1024-dec.pem pin=81\n",
         "Auth Cert", SignatureKind::RsaPkcs1, "Encoding Cert"},
        // No deciphering: both keys sign (key 83, the one TCOS 3.0 signs with).
        {"TCOS 3.0v2",
         "atr 3B 9F 96 81 31 FE 9D 00 64 05 A0 03 04 31 C0 73 F7 01 D0 00 90 00 28\n"
         "dialect decipher-byte-order=reversed decipher-raw-indicator=01\n"
         "ef 3F00/2F02 data=5A0A11223344556677889900\n"
         "df 3F00/DF01 aid=A000000167455349474E\nef 3F00/DF01/C001 data=@rsa2048.crt\n"
         "pin 81 value=123456 max=3\nkey 83 file=rsa2048.pem pin=81\n",
         "QES Cert", SignatureKind::RsaPkcs1},
        // No deciphering: the layout's only key is the qualified signature key.
        {"Micardo 2.1",
         "atr 3B 6F 00 FF 00 68 D2 76 00 00 28 FF 05 1E 31 80 00 90 00\n"
         "dialect fci-size-tag=85 get-response=all\n"
         "df 3F00/5015\nef 3F00/5015/5032 data=5A0A21000000000000000021\n"
         "df 3F00/DF01\nef 3F00/DF01/C000 data=@rsa1024.crt\n"
         "pin 01 value=123456 max=3\nkey 02 file=rsa1024.pem pin=01\n",
         "Qualified Cert", SignatureKind::RsaPkcs1},
        {"StarCos 3.0 advanced",
         starCosCard("atr 3B BB 18 00 C0 10 31 FE 45 80 67 04 12 B0 03 04 00 10 81 05 2B\n",
                     "df 3F00/DF02\nef 3F00/DF02/C000 data=@rsa2048.crt\nef 3F00/DF02/C500 data=@rsa2048-dec.crt\n"),
         "Advanced Cert", SignatureKind::RsaPkcs1, "Auth Cert"},
        {"StarCos 3.2",
         starCosCard("atr 3B 9F 96 81 B1 FE 45 1F 07 00 64 05 1E B2 00 31 B0 73 96 21 00 00 90 00 00\n",
                     "df 3F00/DF01\nef 3F00/DF01/C000 data=@rsa2048.crt\nef 3F00/DF01/C500 data=@rsa2048-dec.crt\n"),
         "Qualified Cert", SignatureKind::RsaPkcs1, "Auth Cert"},
        {"StarCos 3.4 authentication",
         starCosCard("atr 3B D8 18 FF 81 B1 FE 45 1F 03 80 64 04 1A B4 03 81 05 61\n",
                     "df 3F00/DF03\nef 3F00/DF03/C500 data=@rsa2048-dec.crt\n"),
         "Auth Cert", SignatureKind::RsaPkcs1, "Auth Cert"},
        {"StarCos 3.5 authentication",
         starCosCard("atr 3B D9 96 FF 81 31 FE 45 80 31 B8 73 86 01 E0 81 05 22\ndialect get-data-class=A0\n",
                     "df 3F00/DF02\nef 3F00/DF02/C500 data=@rsa2048-dec.crt\n"),
         "Auth Cert", SignatureKind::RsaPkcs1, "Auth Cert"},
        // Files, keys and PIN in applications; the layout's paths are
        // relative to them.
        {"StarCos 3.7 DGN",
         starCosCard("atr 3B D3 96 FF 81 B1 FE 45 1F 07 80 81 05 2D\ndialect get-data-class=A0\n",
                     "df 3F00/DF01 aid=D27600006601\nef 3F00/DF01/C000 data=@rsa2048.crt\n"
                     "df 3F00/DF02 aid=A000000167455349474E\nef 3F00/DF02/C500 data=@rsa2048-dec.crt\n"),
         "Signing Cert", SignatureKind::RsaPkcs1, "Auth Cert"},
        {"StarCos 3.7 D-TRUST",
         starCosCard("atr 3B DA 96 FF 81 B1 FE 45 1F 07 80 58 44 54 52 20 56 31 2E 31 E2\ndialect get-data-class=A0\n",
                     dTrustToken("D-TRUST Card 6.1 Std. RSA") + kDTrustApplications),
         "Qualified Cert", SignatureKind::RsaPkcs1, "Auth Cert"},
        // Keys and PINs in DFs of their own; RSASSA-PSS, 3072 bits.
        {"CardOS 5.0 D-TRUST",
         cardOsDTrustCard("3B D2 18 00 81 31 FE 58 C9 01 14", "pss-for-bare-hash=yes", "D-TRUST Card V3.4 standard",
                          "key 02 file=rsa3072.pem pin=81\nkey 03 file=rsa3072.pem pin=81\n"
                          "df 3F00/1FFE\nef 3F00/1FFE/C001 data=@rsa3072.crt\nef 3F00/1FFE/C101 data=@rsa3072.crt\n"
                          "df 3F00/1FFF\ndf 3F00/1FFD\ndf 3F00/0011\n"),
         "Qualified Cert", SignatureKind::RsaPss, "Auth Cert", "", true},
        // No deciphering: an EC key.
        {"CardOS 5.4 D-TRUST ECC",
         cardOsDTrustCard("3B D2 18 00 81 31 FE 58 C9 04 11", "", "D-TRUST Card 4.1 M100 ECC",
                          "key 02 file=ec256.pem pin=81\ndf 3F00/0103\nef 3F00/0103/0201 data=@ec256.crt\n"
                          "df 3F00/0101\n"),
         "Qualified Cert", SignatureKind::Ecdsa},
        {"CardOS 6.0 D-TRUST over PACE",
         cardOsDTrustCard("3B D2 18 00 81 31 FE 58 CB 01 16", "pace-can=482917", "D-TRUST Card 5.1 Std. RSA",
                          std::string("key 02 file=rsa2048.pem pin=81\nkey 03 file=rsa2048-dec.pem pin=81\n") +
                              kDTrustApplications),
         "Qualified Cert", SignatureKind::RsaPkcs1, "Auth Cert", "482917"},
        // PKCS#15 cards: the references come from their objects. The
        // SignCard signs without selecting its key file; CardOS 4.4 selects
        // the file its PrKDF names (3F0050154B01).
        {"CardOS 4.3b SignCard",
         labelledPkcs15Card("3B F2 18 00 02 C1 0A 31 FE 58 C8 08 74", "SignCard single") +
             "dialect wrong-pin-sw=6300 decipher-signs=type1\n",
         "", SignatureKind::RsaPkcs1, ""},
        {"CardOS 4.4 SwissSign",
         withAbsoluteKeyPath(labelledPkcs15Card("3B D2 18 02 C1 0A 31 FE 58 C8 0D 51", "SwissSign")) +
             "dialect wrong-pin-sw=6300 decipher-signs=type1\nef 3F00/5015/4B01 data=00\n",
         "", SignatureKind::RsaPkcs1, ""},
    };
    return families;
}

std::unique_ptr<EmulatedPinPad> paceReaderFor(const CardFamily& family) {
    if (*family.cardAccessNumber == '\0') return nullptr;
    return std::make_unique<EmulatedPinPad>(PinPadFeatures{.executePace = true}, "PACE reader");
}

bool verifiesUnder(SignatureKind kind, const ByteVector& certificate, const ByteVector& hash,
                   const ByteVector& signature) {
    switch (kind) {
        case SignatureKind::RsaPkcs1: return verifyRsaPkcs1(certificate, hash, signature, "SHA256");
        case SignatureKind::RsaPss: return verifyRsaPss(certificate, hash, signature, "SHA256", 32);
        case SignatureKind::Ecdsa: return verifyEcdsaPlain(certificate, hash, signature);
    }
    return false;
}

}  // namespace kivo::test
