// DER built by hand (lengths worked out here, not by the library's
// writeLength under test), and exact-size heap copies of input so that the
// address sanitizer reports every read past the end.
#pragma once

#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

namespace kivo::test {

using Bytes = std::vector<unsigned char>;

// Identifier and minimal definite length octets for `length` content octets.
inline Bytes derHeader(unsigned char identifier, std::size_t length) {
    Bytes octets;
    for (std::size_t v = length; v != 0; v >>= 8) octets.insert(octets.begin(), static_cast<unsigned char>(v));
    Bytes out{identifier, static_cast<unsigned char>(length < 0x80 ? length : 0x80 | octets.size())};
    if (length >= 0x80) out.insert(out.end(), octets.begin(), octets.end());
    return out;
}

// An element with a definite, minimal length.
inline Bytes tlv(unsigned char identifier, const Bytes& content) {
    Bytes out = derHeader(identifier, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

inline Bytes tlv(unsigned char identifier, std::string_view text) { return tlv(identifier, Bytes(text.begin(), text.end())); }

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline Bytes seq(std::initializer_list<Bytes> parts) { return tlv(0x30, cat(parts)); }
inline Bytes set(std::initializer_list<Bytes> parts) { return tlv(0x31, cat(parts)); }

// Octets from hex text; blanks and other non-hex characters are skipped.
inline Bytes hex(std::string_view text) {
    Bytes out;
    int pending = -1;
    for (const char c : text) {
        const int value = OPENSSL_hexchar2int(static_cast<unsigned char>(c));
        if (value < 0) continue;
        if (pending >= 0) out.push_back(static_cast<unsigned char>(pending << 4 | value));
        pending = pending < 0 ? value : -1;
    }
    return out;
}

// OBJECT IDENTIFIER element of a dotted text, encoded by OpenSSL; empty
// when OpenSSL refuses the text.
inline Bytes oid(const char* dotted) {
    ASN1_OBJECT* object = OBJ_txt2obj(dotted, 1);
    unsigned char* der = nullptr;
    const int length = object != nullptr ? i2d_ASN1_OBJECT(object, &der) : 0;
    Bytes out = length > 0 ? Bytes(der, der + length) : Bytes();
    OPENSSL_free(der);
    ASN1_OBJECT_free(object);
    return out;
}

// A heap copy of exactly the given octets: nothing readable after them.
class ExactBuffer {
public:
    ExactBuffer(const unsigned char* data, std::size_t length)
        : m_data(new unsigned char[length == 0 ? 1 : length]), m_length(length) {
        if (length != 0) std::memcpy(m_data.get(), data, length);
    }
    explicit ExactBuffer(const Bytes& bytes) : ExactBuffer(bytes.data(), bytes.size()) {}
    unsigned char* data() const { return m_data.get(); }
    std::size_t size() const { return m_length; }

private:
    std::unique_ptr<unsigned char[]> m_data;
    std::size_t m_length;
};

}  // namespace kivo::test
