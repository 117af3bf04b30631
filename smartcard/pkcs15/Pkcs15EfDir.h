// CPkcs15EfDir: the application template of EF.DIR that leads to the
// PKCS#15 application. EF.DIR holds application templates [APPLICATION 1]
// (61) with the AID (4F), the label (50) and the path (51).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct Asn1Cursor;

class CPkcs15EfDir {
public:
    // The PKCS#15 application identifier, as the AID text of a template.
    static constexpr std::string_view cPkcs15Aid = "A000000063504B43532D3135";

    CPkcs15EfDir() = default;
    // Reads the templates one after the other and keeps the first whose AID
    // is the PKCS#15 one, or the last one read. `error` is 1 when the data
    // does not start with a template.
    CPkcs15EfDir(const std::uint8_t* data, std::size_t length);
    virtual ~CPkcs15EfDir() = default;

    int error() const { return m_error; }
    const std::string& label() const { return m_label; }
    // Upper-case hex ("3F005015").
    const std::string& path() const { return m_path; }
    const std::string& aid() const { return m_aid; }

private:
    void readTemplate(const Asn1Cursor& element);

    int m_error = 0;
    std::string m_label;
    std::string m_path;
    std::string m_aid;
};
