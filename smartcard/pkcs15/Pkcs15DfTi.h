// CPkcs15DfTi: EF.TokenInfo, SEQUENCE { version INTEGER, serialNumber
// OCTET STRING, manufacturerID UTF8String OPTIONAL, label [0] OPTIONAL,
// tokenflags BIT STRING, ... }; the fields after the flags are not kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CPkcs15DfTi {
public:
    CPkcs15DfTi() = default;
    // `error` is 1 when the data does not start with a SEQUENCE.
    CPkcs15DfTi(const std::uint8_t* data, std::size_t length);
    virtual ~CPkcs15DfTi() = default;

    int error() const { return m_error; }
    std::uint32_t version() const { return m_version; }
    // Upper-case hex.
    const std::string& serialNumber() const { return m_serialNumber; }
    const std::string& manufacturerId() const { return m_manufacturerId; }
    const std::string& label() const { return m_label; }
    // The flag bits read as a hex number (03 02 07 80 gives 0x80).
    std::uint32_t tokenFlags() const { return m_tokenFlags; }

private:
    int m_error = 0;
    std::uint32_t m_version = 0;
    std::string m_serialNumber;
    std::string m_manufacturerId;
    std::string m_label;
    std::uint32_t m_tokenFlags = 0;
};
