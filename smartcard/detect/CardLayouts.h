// The file layouts of the card products that keep their certificates in
// fixed files (the PKCS#15 cards describe theirs on the card): per card
// type, the products in the order they are tried, the files that tell a
// product, and its certificate files with their labels.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kivo::card::layout {

// How the card signs with a key. The numbers are the signature key kinds
// the signing layer chooses its signature algorithm by.
enum class SignatureKind : int { RsaPkcs1 = 0, RsaPss = 1, Ecdsa = 2 };

// The names a PIN prompt gives the PIN (identifiers of the message table,
// "%s PIN"): the holder has to know which of the card's PINs is meant.
inline constexpr std::uint16_t kPinNameSignature = 200;
inline constexpr std::uint16_t kPinNameGlobal = 202;
inline constexpr std::uint16_t kPinNameAuth = 203;
inline constexpr std::uint16_t kPinNameCipher = 204;
inline constexpr std::uint16_t kPinNameCard = 205;

// A key's PIN: the reference the card finds it by, and its name.
struct Pin {
    std::uint8_t reference = 0;
    std::uint16_t name = 0;
};

// The name of a PIN the card's PKCS#15 objects label `pinLabel`
// ("Global PIN", "Karten-PIN", "Signature PIN", ...); a label that names
// none of the known PINs gives the name by the certificate's label.
std::uint16_t pinNameOf(std::string_view pinLabel, std::string_view certificateLabel);

// One certificate file, with the references the card finds its key and
// the key's PIN by (both 0 for a CA certificate). The card looks a local
// reference up in the DF that the key or PIN path makes current. Where the
// card application does not name those paths, the certificate's own file
// stands for both: the key and the PIN sit in the DF that holds the
// certificate (for application cards in the application, the path then
// being relative to it).
struct File {
    const char* path;
    const char* label;
    bool ca;
    const char* application;  // AID selected first; nullptr: the path is absolute
    std::uint8_t keyReference;
    Pin pin;
    // Where the card application names them (a file, or the DF holding the
    // key or PIN); nullptr: the certificate's file.
    const char* keyPath = nullptr;
    const char* pinPath = nullptr;
    // An EC key in the certificate signs ECDSA whatever this says.
    SignatureKind signatureKind = SignatureKind::RsaPkcs1;
};

struct Product {
    std::int32_t cardType;
    std::int32_t profile;
    const char* logName;  // as "iType : CSC_Profile::<logName>" traces it
    // Files that must hold a certificate before the list is walked.
    std::array<const char*, 2> required;
    std::span<const File> files;
};

// Every product of every card type, in the order they are tried.
std::span<const Product> products();

// A product told by the label of the card's PKCS#15 token. Labels are
// compared by their beginning (or whole, where `wholeLabel`), in table
// order, so that a longer name comes before a name it begins with.
struct LabelRule {
    std::int32_t cardType;
    std::int32_t profile;
    const char* name;
    bool wholeLabel;
    int singleCard;   // 1 single-signature, 0 multi-signature, -1 as it was
    bool signCard;    // the SignCard products
    int keyKind;      // 1 RSA, 2 EC
    int rsaKeyLength;  // bits, 0 when the product does not say
};
std::span<const LabelRule> labelRules();
// The first rule of the card type the label matches, null for none.
const LabelRule* ruleForLabel(std::int32_t cardType, const std::string& label);

// The certificate files of the D-TRUST products of a card type, walked once
// the label has told the product (files in the application they name).
std::span<const File> dTrustFiles(std::int32_t cardType);

}  // namespace kivo::card::layout
