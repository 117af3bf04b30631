// CPkcs15ExportCert: one certificate of the card as the key interface takes
// it, with the private key and the PIN that belong to it.
//
// Matching: the key is the first private key whose CommonKeyAttributes iD
// equals the certificate's iD; the PIN is the first authentication object
// whose authId equals the authId in the key's CommonObjectAttributes (an
// empty iD or authId matches nothing). Flags
// carried: whether a key and a PIN were found (their paths and references
// are empty or 0 otherwise), and the SetCos PIN layout flag, set on card
// type 7 when the PIN path had to be rewritten to the PIN file under
// 3F00 5015 or the PIN object names 3F00 5015 5016 as its file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CPkcs15ExportCert {
public:
    CPkcs15ExportCert() = default;
    virtual ~CPkcs15ExportCert() = default;

    // The certificate file as selected, and the key and PIN paths as adjusted.
    std::string certPath;
    std::string keyPath;
    std::string pinPath;
    std::string label;
    // The label of the key's PIN object ("Signature PIN", "Global PIN", ...).
    std::string pinLabel;
    std::string id;
    // The certificate's DER: the file's first element (the whole file when
    // it does not start with a well-formed one).
    std::vector<std::uint8_t> der;
    std::uint32_t keyReference = 0;
    std::uint32_t modulusLength = 0;
    std::uint32_t pinReference = 0;
    bool hasKey = false;
    bool hasPin = false;
    bool setCosPinLayout = false;
    // The PIN path is the one of the PIN object, which names the DF the PIN
    // lives in (not a default, nor rewritten to a PIN file).
    bool pinPathIsFolder = false;

    std::size_t derLength() const { return der.size(); }
};
