// Certificate objects of a CDF: CPkcs15Cert, one entry, with its
// CPkcs15CertInfo (CommonObjectAttributes, CommonCertificateAttributes and
// the certificate's Path from the X509CertificateAttributes).
#pragma once

#include "smartcard/pkcs15/Pkcs15CommAttrib.h"
#include "smartcard/pkcs15/Pkcs15Path.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// CommonCertificateAttributes ::= SEQUENCE { iD OCTET STRING,
// authority BOOLEAN DEFAULT FALSE, ... }.
class CPkcs15CertAttrib {
public:
    CPkcs15CertAttrib() = default;
    explicit CPkcs15CertAttrib(const Asn1Cursor& element);
    virtual ~CPkcs15CertAttrib() = default;

    const std::string& id() const { return m_id; }
    bool authority() const { return m_authority; }

private:
    std::string m_id;
    bool m_authority = false;
};

// CertificateObject ::= SEQUENCE { CommonObjectAttributes,
// CommonCertificateAttributes, [0] subclass OPTIONAL,
// [1] { X509CertificateAttributes { value Path, ... } } }.
class CPkcs15CertInfo {
public:
    CPkcs15CertInfo() = default;
    explicit CPkcs15CertInfo(const Asn1Cursor& element);
    virtual ~CPkcs15CertInfo() = default;

    const CPkcs15CommAttrib& commAttrib() const { return m_commAttrib; }
    const CPkcs15CertAttrib& certAttrib() const { return m_certAttrib; }
    const CPkcs15Path& path() const { return m_path; }

private:
    CPkcs15CommAttrib m_commAttrib;
    CPkcs15CertAttrib m_certAttrib;
    CPkcs15Path m_path;
};

class CPkcs15Cert {
public:
    CPkcs15Cert() = default;
    explicit CPkcs15Cert(const Asn1Cursor& element) : m_info(element) {}
    virtual ~CPkcs15Cert() = default;

    // Every entry of a CDF's contents, in file order.
    static std::vector<CPkcs15Cert> readDirectory(const std::uint8_t* data, std::size_t length);

    const CPkcs15CertInfo& info() const { return m_info; }
    const std::string& label() const { return m_info.commAttrib().label(); }
    const std::string& id() const { return m_info.certAttrib().id(); }
    const std::string& path() const { return m_info.path().efidOrPath(); }

private:
    CPkcs15CertInfo m_info;
};
