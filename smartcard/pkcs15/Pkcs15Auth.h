// Authentication objects (PINs) of an AODF: CPkcs15Auth, one entry, with
// its CPkcs15AuthInfo (CommonObjectAttributes,
// CommonAuthenticationObjectAttributes and the PinAttributes).
#pragma once

#include "smartcard/pkcs15/Pkcs15CommAttrib.h"
#include "smartcard/pkcs15/Pkcs15Path.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// CommonAuthenticationObjectAttributes ::= SEQUENCE { authId OCTET STRING, ... }.
class CPkcs15AuthAttrib {
public:
    CPkcs15AuthAttrib() = default;
    explicit CPkcs15AuthAttrib(const Asn1Cursor& element);
    virtual ~CPkcs15AuthAttrib() = default;

    const std::string& authId() const { return m_authId; }

private:
    std::string m_authId;
};

// PinAttributes ::= SEQUENCE { pinFlags BIT STRING, pinType ENUMERATED,
// minLength INTEGER, storedLength INTEGER, maxLength INTEGER OPTIONAL,
// pinReference [0] OPTIONAL, padChar OCTET STRING OPTIONAL,
// lastPinChange GeneralizedTime OPTIONAL, path Path OPTIONAL }.
class CPkcs15Pin {
public:
    CPkcs15Pin() = default;
    explicit CPkcs15Pin(const Asn1Cursor& element);
    virtual ~CPkcs15Pin() = default;

    // The flag bits read as a hex number.
    std::uint32_t flags() const { return m_flags; }
    std::uint32_t pinType() const { return m_pinType; }
    std::uint32_t minLength() const { return m_minLength; }
    std::uint32_t storedLength() const { return m_storedLength; }
    std::uint32_t maxLength() const { return m_maxLength; }
    std::uint32_t pinReference() const { return m_pinReference; }
    // The first octet of padChar.
    std::uint8_t padChar() const { return m_padChar; }
    const std::string& lastPinChange() const { return m_lastPinChange; }
    const CPkcs15Path& path() const { return m_path; }

private:
    std::uint32_t m_flags = 0;
    std::uint32_t m_pinType = 0;
    std::uint32_t m_minLength = 0;
    std::uint32_t m_storedLength = 0;
    std::uint32_t m_maxLength = 0;
    std::uint32_t m_pinReference = 0;
    std::uint8_t m_padChar = 0;
    std::string m_lastPinChange;
    CPkcs15Path m_path;
};

// AuthenticationObject (pin) ::= SEQUENCE { CommonObjectAttributes,
// CommonAuthenticationObjectAttributes, [1] { PinAttributes } }.
class CPkcs15AuthInfo {
public:
    CPkcs15AuthInfo() = default;
    explicit CPkcs15AuthInfo(const Asn1Cursor& element);
    virtual ~CPkcs15AuthInfo() = default;

    const CPkcs15CommAttrib& commAttrib() const { return m_commAttrib; }
    const CPkcs15AuthAttrib& authAttrib() const { return m_authAttrib; }
    const CPkcs15Pin& pin() const { return m_pin; }

private:
    CPkcs15CommAttrib m_commAttrib;
    CPkcs15AuthAttrib m_authAttrib;
    CPkcs15Pin m_pin;
};

class CPkcs15Auth {
public:
    CPkcs15Auth() = default;
    explicit CPkcs15Auth(const Asn1Cursor& element) : m_info(element) {}
    virtual ~CPkcs15Auth() = default;

    // Every entry of an AODF's contents, in file order.
    static std::vector<CPkcs15Auth> readDirectory(const std::uint8_t* data, std::size_t length);

    const CPkcs15AuthInfo& info() const { return m_info; }
    const std::string& label() const { return m_info.commAttrib().label(); }
    const std::string& authId() const { return m_info.authAttrib().authId(); }
    const std::string& path() const { return m_info.pin().path().efidOrPath(); }

private:
    CPkcs15AuthInfo m_info;
};
