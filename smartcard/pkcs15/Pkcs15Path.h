// CPkcs15Path: a PKCS#15 Path, SEQUENCE { efidOrPath OCTET STRING,
// index INTEGER OPTIONAL, length [0] INTEGER OPTIONAL }.
#pragma once

#include "smartcard/pkcs15/Pkcs15Fields.h"

#include <cstdint>
#include <string>

class CPkcs15Path {
public:
    CPkcs15Path() = default;
    // Reads the Path SEQUENCE at the cursor (nothing when it is not one).
    explicit CPkcs15Path(const Asn1Cursor& element);
    virtual ~CPkcs15Path() = default;

    // The file identifiers as upper-case hex ("3F0050154401").
    const std::string& efidOrPath() const { return m_efidOrPath; }
    std::uint32_t index() const { return m_index; }
    std::uint32_t length() const { return m_length; }

private:
    std::string m_efidOrPath;
    std::uint32_t m_index = 0;
    std::uint32_t m_length = 0;
};
