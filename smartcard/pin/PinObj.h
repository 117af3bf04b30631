// CPinObj: the PIN that protects a certificate entry, as the card key layer
// reads it: where the PIN lives on the card, its reference, its format,
// the PIN that unblocks it, and whether it has been verified.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CPinObj {
public:
    CPinObj() = default;
    // `altPathHex` is hexadecimal text (either case; blanks and ':'
    // ignored); text that is not hex leaves the byte form empty.
    CPinObj(std::string path, std::string altPathHex, std::uint8_t reference);
    virtual ~CPinObj();
    CPinObj(const CPinObj& other);
    CPinObj& operator=(const CPinObj& other);
    CPinObj(CPinObj&& other) noexcept = default;
    CPinObj& operator=(CPinObj&& other) noexcept = default;

    // Keeps a copy of the PIN that unblocks this one.
    void SetUnblockPin(const CPinObj& unblock);
    const CPinObj* UnblockPin() const { return m_unblockPin.get(); }

    std::size_t AltPathLength() const { return m_altPath.size(); }

    std::string m_path;
    std::string m_altPathHex;
    std::vector<std::uint8_t> m_altPath;  // m_altPathHex as bytes
    std::uint8_t m_reference = 0;
    std::uint8_t m_minLength = 0;  // shortest PIN the card takes
    std::uint8_t m_maxLength = 0;  // longest PIN the card takes
    int m_pinType = 0;             // PKCS#15 PinType (0 BCD, 1 ASCII numeric, 2 UTF-8, ...)
    std::unique_ptr<CPinObj> m_unblockPin;
    int m_pinFlags = 0;       // PKCS#15 PinFlags bits
    int m_storedLength = 0;   // length the PIN is padded to on the card
    int m_triesLeft = -1;     // -1 while unknown
    bool m_verified = false;  // set by VerifyPIN, cleared after each operation on a single-signature card
    int m_authId = 0;         // PKCS#15 authentication identifier
    bool m_usePinPad = false; // entered on the reader's pin pad
};
