#include "tests/support/card/CardFamilies.h"

namespace kivo::test {

const std::vector<CardFamily>& cardFamilies() {
    using enum SignatureKind;
    static const std::vector<CardFamily> families = {
        {"family-tcos20-medisign", "SigG Cert", RsaPkcs1, "Cipher Cert"},
        {"family-tcos30-encoding", "Auth Cert", RsaPkcs1, "Encoding Cert"},
        {"family-tcos30v2", "QES Cert", RsaPkcs1},
        {"family-micardo21", "Qualified Cert", RsaPkcs1},
        {"family-starcos30-advanced", "Advanced Cert", RsaPkcs1, "Auth Cert"},
        {"family-starcos32", "Qualified Cert", RsaPkcs1, "Auth Cert"},
        {"family-starcos34-auth", "Auth Cert", RsaPkcs1, "Auth Cert"},
        {"family-starcos35-auth", "Auth Cert", RsaPkcs1, "Auth Cert"},
        {"family-starcos37-dgn", "Signing Cert", RsaPkcs1, "Auth Cert"},
        {"family-starcos37-dtrust", "Qualified Cert", RsaPkcs1, "Auth Cert"},
        {"family-cardos50-dtrust", "Qualified Cert", RsaPss, "Auth Cert", "", true},
        {"family-cardos54-dtrust-ecc", "Qualified Cert", Ecdsa},
        {"family-cardos60-dtrust", "Qualified Cert", RsaPkcs1, "Auth Cert", "482917"},
        {"family-cardos43-signcard", "", RsaPkcs1, ""},
        {"family-cardos44-swisssign", "", RsaPkcs1, ""},
        // Written from the card operating systems' descriptions alone, not from the library's reading of them.
        {"family-cardos54-dtrust-rsa", "Qualified Cert", RsaPkcs1},
        {"family-starcos34-qualified", "Qualified Cert", RsaPkcs1},
        {"family-seccos5-qualified", "Qualified Cert", RsaPkcs1},
        {"family-cardos43-signcard-single", "", RsaPkcs1},
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
