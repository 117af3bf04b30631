// Private-key objects of a PrKDF: CPkcs15PrKey, one entry, with its
// CPkcs15PrKeyInfo (CommonObjectAttributes, CommonKeyAttributes, the
// optional subclass attributes and the PrivateRSAKeyAttributes).
#pragma once

#include "smartcard/pkcs15/Pkcs15CommAttrib.h"
#include "smartcard/pkcs15/Pkcs15Path.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// CommonKeyAttributes ::= SEQUENCE { iD OCTET STRING, usage BIT STRING,
// native BOOLEAN DEFAULT TRUE, accessFlags BIT STRING OPTIONAL,
// keyReference INTEGER OPTIONAL, ... }.
class CPkcs15CommKeyAttrib {
public:
    CPkcs15CommKeyAttrib() = default;
    explicit CPkcs15CommKeyAttrib(const Asn1Cursor& element);
    virtual ~CPkcs15CommKeyAttrib() = default;

    const std::string& id() const { return m_id; }
    const std::string& usage() const { return m_usage; }
    bool native() const { return m_native; }
    const std::string& accessFlags() const { return m_accessFlags; }
    std::uint32_t keyReference() const { return m_keyReference; }

private:
    std::string m_id;
    std::string m_usage;
    bool m_native = true;  // the DEFAULT of the structure, which DER leaves out
    std::string m_accessFlags;
    std::uint32_t m_keyReference = 0;
};

// PrivateRSAKeyAttributes ::= SEQUENCE { value Path, modulusLength INTEGER, ... }.
class CPkcs15KeyAttrib {
public:
    CPkcs15KeyAttrib() = default;
    explicit CPkcs15KeyAttrib(const Asn1Cursor& element);
    virtual ~CPkcs15KeyAttrib() = default;

    const CPkcs15Path& path() const { return m_path; }
    std::uint32_t modulusLength() const { return m_modulusLength; }

private:
    CPkcs15Path m_path;
    std::uint32_t m_modulusLength = 0;
};

// PrivateKeyObject ::= SEQUENCE { CommonObjectAttributes,
// CommonKeyAttributes, [0] subclass OPTIONAL, [1] typeAttributes }.
class CPkcs15PrKeyInfo {
public:
    CPkcs15PrKeyInfo() = default;
    explicit CPkcs15PrKeyInfo(const Asn1Cursor& element);
    virtual ~CPkcs15PrKeyInfo() = default;

    const CPkcs15CommAttrib& commAttrib() const { return m_commAttrib; }
    const CPkcs15CommKeyAttrib& commKeyAttrib() const { return m_commKeyAttrib; }
    // Content of the subclass attributes [0] as upper-case hex; empty when absent.
    const std::string& subclassAttributes() const { return m_subclassAttributes; }
    const CPkcs15KeyAttrib& keyAttrib() const { return m_keyAttrib; }

private:
    CPkcs15CommAttrib m_commAttrib;
    CPkcs15CommKeyAttrib m_commKeyAttrib;
    std::string m_subclassAttributes;
    CPkcs15KeyAttrib m_keyAttrib;
};

class CPkcs15PrKey {
public:
    CPkcs15PrKey() = default;
    explicit CPkcs15PrKey(const Asn1Cursor& element) : m_info(element) {}
    virtual ~CPkcs15PrKey() = default;

    // Every entry of a PrKDF's contents, in file order.
    static std::vector<CPkcs15PrKey> readDirectory(const std::uint8_t* data, std::size_t length);

    const CPkcs15PrKeyInfo& info() const { return m_info; }
    const std::string& label() const { return m_info.commAttrib().label(); }
    const std::string& id() const { return m_info.commKeyAttrib().id(); }
    const std::string& authId() const { return m_info.commAttrib().authId(); }
    const std::string& path() const { return m_info.keyAttrib().path().efidOrPath(); }
    const std::string& usage() const { return m_info.commKeyAttrib().usage(); }
    std::uint32_t keyReference() const { return m_info.commKeyAttrib().keyReference(); }
    std::uint32_t modulusLength() const { return m_info.keyAttrib().modulusLength(); }

private:
    CPkcs15PrKeyInfo m_info;
};
