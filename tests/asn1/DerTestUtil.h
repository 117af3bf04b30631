// Helpers for the DER toolkit tests: building DER by hand, exact-size heap
// copies (so that the address sanitizer sees every read past the end), and
// the system's CA certificates.
#pragma once

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::test::der {

using Bytes = std::vector<unsigned char>;

// An element with a definite, minimal length. The length octets are worked
// out here rather than with the library's writeLength, which is under test.
inline Bytes tlv(unsigned char identifier, const Bytes& content) {
    Bytes out{identifier};
    const std::size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<unsigned char>(n));
    } else {
        Bytes octets;
        for (std::size_t v = n; v != 0; v >>= 8) octets.insert(octets.begin(), static_cast<unsigned char>(v));
        out.push_back(static_cast<unsigned char>(0x80 | octets.size()));
        out.insert(out.end(), octets.begin(), octets.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

inline Bytes tlv(unsigned char identifier, std::string_view text) {
    return tlv(identifier, Bytes(text.begin(), text.end()));
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline Bytes seq(std::initializer_list<Bytes> parts) { return tlv(0x30, cat(parts)); }
inline Bytes set(std::initializer_list<Bytes> parts) { return tlv(0x31, cat(parts)); }

// Octets from hex text with blanks.
inline Bytes hex(std::string_view text) {
    Bytes out;
    int pending = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else continue;
        if (pending < 0) {
            pending = v;
        } else {
            out.push_back(static_cast<unsigned char>(pending << 4 | v));
            pending = -1;
        }
    }
    return out;
}

// OBJECT IDENTIFIER element of a dotted text, encoded by OpenSSL.
inline Bytes oid(const char* dotted) {
    ASN1_OBJECT* object = OBJ_txt2obj(dotted, 1);
    if (object == nullptr) return {};
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_OBJECT(object, &der);
    Bytes out;
    if (length > 0) out.assign(der, der + length);
    OPENSSL_free(der);
    ASN1_OBJECT_free(object);
    return out;
}

// AttributeTypeAndValue in its own RDN.
inline Bytes rdn(const char* dotted, unsigned char valueIdentifier, std::string_view value) {
    return set({seq({oid(dotted), tlv(valueIdentifier, value)})});
}

// A heap copy of exactly the given octets: nothing readable after them.
class ExactBuffer {
public:
    ExactBuffer(const unsigned char* data, std::size_t length)
        : m_data(new unsigned char[length]), m_length(length) {
        if (length != 0) std::memcpy(m_data.get(), data, length);
    }
    explicit ExactBuffer(const Bytes& bytes) : ExactBuffer(bytes.data(), bytes.size()) {}
    const unsigned char* data() const { return m_data.get(); }
    std::uint32_t size() const { return static_cast<std::uint32_t>(m_length); }

private:
    std::unique_ptr<unsigned char[]> m_data;
    std::size_t m_length;
};

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Owner = std::unique_ptr<X509, X509Free>;

// The PEM certificates of the ca-certificates package, sorted by name.
inline std::vector<std::filesystem::path> systemCertificatePaths() {
    std::vector<std::filesystem::path> paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/etc/ssl/certs", error)) {
        if (entry.path().extension() == ".pem") paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

inline X509Owner readPemCertificate(const std::filesystem::path& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return nullptr;
    X509Owner cert(PEM_read_X509(file, nullptr, nullptr, nullptr));
    std::fclose(file);
    return cert;
}

inline Bytes derOf(X509* cert) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    Bytes out;
    if (length > 0) out.assign(der, der + length);
    OPENSSL_free(der);
    return out;
}

// DER of the first system certificate (a real certificate for the
// malformed-input tests); empty when there is none.
inline Bytes firstSystemCertificate() {
    for (const auto& path : systemCertificatePaths()) {
        X509Owner cert = readPemCertificate(path);
        if (cert) return derOf(cert.get());
    }
    return {};
}

}  // namespace kivo::test::der
