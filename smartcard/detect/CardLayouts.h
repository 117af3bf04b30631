// The file layouts of the card products that keep their certificates in
// fixed files (the PKCS#15 cards describe theirs on the card): per card
// type, the products in the order they are tried, the files that tell a
// product, and its certificate files with their labels.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace kivo::card::layout {

// One certificate file. Where the card application does not say where a
// certificate's key and PIN are, they are taken to sit in the DF that holds
// the certificate (for application cards: in the application, the path
// then being relative to it). CA certificates have neither.
struct File {
    const char* path;
    const char* label;
    bool ca;
    const char* application;  // AID selected first; nullptr: the path is absolute
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

}  // namespace kivo::card::layout
