// The attributes every PKCS#15 object starts with:
// CPkcs15CommAttrib (CommonObjectAttributes) with its access control rules
// (CPkcs15Acr).
#pragma once

#include "smartcard/pkcs15/Pkcs15Fields.h"

#include <cstddef>
#include <string>
#include <vector>

// AccessControlRule ::= SEQUENCE { accessMode BIT STRING,
// securityCondition } of which the authId form (OCTET STRING) is kept.
class CPkcs15Acr {
public:
    CPkcs15Acr() = default;
    explicit CPkcs15Acr(const Asn1Cursor& element);
    virtual ~CPkcs15Acr() = default;

    const std::string& accessMode() const { return m_accessMode; }
    const std::string& authId() const { return m_authId; }

private:
    std::string m_accessMode;
    std::string m_authId;
};

// CommonObjectAttributes ::= SEQUENCE { label UTF8String, flags BIT STRING,
// authId OCTET STRING, userConsent INTEGER, accessControlRules SEQUENCE OF
// AccessControlRule }, every field optional; userConsent is not kept.
class CPkcs15CommAttrib {
public:
    CPkcs15CommAttrib() = default;
    explicit CPkcs15CommAttrib(const Asn1Cursor& element);
    virtual ~CPkcs15CommAttrib() = default;

    const std::string& label() const { return m_label; }
    const std::string& flags() const { return m_flags; }
    const std::string& authId() const { return m_authId; }
    std::size_t acrCount() const { return m_acrs.size(); }
    const CPkcs15Acr* acr(std::size_t index) const { return index < m_acrs.size() ? &m_acrs[index] : nullptr; }

private:
    std::string m_label;
    std::string m_flags;
    std::string m_authId;
    std::vector<CPkcs15Acr> m_acrs;
};
