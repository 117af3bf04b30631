// Helpers of the certificate-getter tests: DER builders on top of
// support/DerBuild.h, a hand-written element reader to find where an
// extension or attribute sits, the local-time rule of the date getters, and
// a run of every getter over one buffer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CertInfoSSL.h"
#include "tests/support/DerBuild.h"
#include "tests/support/SystemCerts.h"

namespace kivo::test::certs {

using namespace kivo::test;

// ---- building DER ---------------------------------------------------------------

inline Bytes seqOf(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return tlv(0x30, out);
}

inline Bytes utf8(std::string_view text) { return tlv(0x0C, text); }
inline Bytes printable(std::string_view text) { return tlv(0x13, text); }
inline Bytes octets(const Bytes& content) { return tlv(0x04, content); }
inline Bytes nullElement() { return Bytes{0x05, 0x00}; }

// An INTEGER element holding exactly these content octets.
inline Bytes integer(const Bytes& content) { return tlv(0x02, content); }

// A Name with one attribute per RDN, each (dotted type, UTF8String value).
inline Bytes name(std::initializer_list<std::pair<const char*, const char*>> attributes) {
    std::vector<Bytes> rdns;
    for (const auto& [type, value] : attributes) rdns.push_back(set({seq({oid(type), utf8(value)})}));
    return seqOf(rdns);
}

// An Extension: extnID, the critical flag when set, extnValue.
inline Bytes extension(const char* dotted, const Bytes& value, bool critical = false) {
    return seq({oid(dotted), critical ? hex("01 01 FF") : Bytes{}, octets(value)});
}

// An Attribute: type and a SET of values.
inline Bytes attribute(const char* dotted, std::initializer_list<Bytes> values) {
    return seq({oid(dotted), tlv(0x31, cat(values))});
}

// ---- reading DER by hand ---------------------------------------------------------

// Header of a definite-length element: header size and content length.
struct Header {
    std::size_t headerSize = 0;
    std::size_t contentLength = 0;
    std::size_t total() const { return headerSize + contentLength; }
};

inline std::optional<Header> readHeader(const unsigned char* p, std::size_t available) {
    if (available < 2) return std::nullopt;
    Header h;
    if (p[1] < 0x80) {
        h.headerSize = 2;
        h.contentLength = p[1];
    } else {
        const std::size_t count = p[1] & 0x7F;
        if (count == 0 || count > 4 || available < 2 + count) return std::nullopt;
        for (std::size_t i = 0; i < count; ++i) h.contentLength = h.contentLength << 8 | p[2 + i];
        h.headerSize = 2 + count;
    }
    if (h.total() > available) return std::nullopt;
    return h;
}

// Offset of `needle` in `haystack`, or npos.
inline std::size_t find(const unsigned char* haystack, std::size_t size, const Bytes& needle) {
    if (needle.empty() || needle.size() > size) return std::string::npos;
    const auto end = haystack + size;
    const auto it = std::search(haystack, end, needle.begin(), needle.end());
    return it == end ? std::string::npos : static_cast<std::size_t>(it - haystack);
}

// Where a renderer's input starts for an Extension or Attribute SEQUENCE at
// `entry`: the element after the OID, and the octets up to the end of the
// SEQUENCE.
struct RendererInput {
    unsigned char* element = nullptr;
    unsigned long length = 0;
};

inline std::optional<RendererInput> afterOid(unsigned char* entry, std::size_t available) {
    const auto outer = readHeader(entry, available);
    if (!outer || entry[0] != 0x30) return std::nullopt;
    unsigned char* oidElement = entry + outer->headerSize;
    const auto oidHeader = readHeader(oidElement, outer->contentLength);
    if (!oidHeader || oidElement[0] != 0x06) return std::nullopt;
    unsigned char* element = oidElement + oidHeader->total();
    const std::size_t consumed = static_cast<std::size_t>(element - entry);
    if (consumed >= outer->total()) return std::nullopt;
    return RendererInput{element, static_cast<unsigned long>(outer->total() - consumed)};
}

// ---- the date rule -----------------------------------------------------------------

// What the date getters compute for these UTC fields: a struct tm from
// localtime() of now with the date and time overwritten, the daylight-saving
// flag set to 0 (or kept as localtime() gave it), through mktime.
inline std::int64_t localRule(const std::tm& fields, bool standardTime) {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    t.tm_year = fields.tm_year;
    t.tm_mon = fields.tm_mon;
    t.tm_mday = fields.tm_mday;
    t.tm_hour = fields.tm_hour;
    t.tm_min = fields.tm_min;
    t.tm_sec = fields.tm_sec;
    if (standardTime) t.tm_isdst = 0;
    return static_cast<std::int64_t>(std::mktime(&t));
}

// True when daylight-saving time is in force now in the current TZ.
inline bool daylightSavingNow() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    return t.tm_isdst > 0;
}

// ---- every getter ------------------------------------------------------------------

// Reads a returned text to its end, so that a missing terminator or a
// pointer outside its buffer shows up under AddressSanitizer.
inline std::size_t touch(const char* text) { return text == nullptr ? 0 : std::strlen(text); }

// Calls every getter of both families on the buffer, the indexed ones with
// index -1 up to `maxIndex`. Returns a checksum of the result lengths so
// that nothing is optimised away.
inline std::size_t callEveryGetter(unsigned char* cert, unsigned long len, int maxIndex) {
    std::size_t sum = 0;
    sum += touch(CCertInfo::getVersion(cert, len));
    sum += touch(CCertInfo::getSignaturOID(cert, len));
    sum += touch(CCertInfo::getCertSigOID(cert, len));
    sum += touch(CCertInfo::getCertSigValue(cert, len));
    sum += touch(CCertInfo::getIssuer(cert, len));
    sum += touch(CCertInfo::S_getIssuerName(cert, len));
    sum += touch(CCertInfo::getSubject(cert, len));
    sum += touch(CCertInfo::getSerialNum(cert, len));
    sum += touch(CCertInfo::S_getSerial(cert, len));
    sum += static_cast<std::size_t>(CCertInfo::getNotBefore(cert, len) & 1);
    sum += static_cast<std::size_t>(CCertInfo::getNotAfter(cert, len) & 1);
    sum += touch(CCertInfo::getPkOID(cert, len));
    sum += touch(CCertInfo::getPkMod(cert, len));
    sum += touch(CCertInfo::getPkExp(cert, len));
    sum += static_cast<std::size_t>(CCertInfo::getPkLen(cert, len));
    if (unsigned char* key = CCertInfo::getPublicKey(cert, len)) {
        const int size = CCertInfo::getPublicKeySize(cert, len);
        // The element must lie inside the buffer.
        for (int i = 0; i < size; ++i) sum += key[i];
    }
    sum += static_cast<std::size_t>(CCertInfo::getPublicKeySize(cert, len) + 1);
    sum += static_cast<std::size_t>(CCertInfo::getPublicKeyBits(cert, len) + 1);
    sum += static_cast<std::size_t>(CCertInfo::getExtensionNum(cert, len));
    sum += touch(CCertInfo::A_getSubject(cert, len));
    sum += touch(CCertInfo::A_getSubjectSerial(cert, len));
    sum += touch(CCertInfo::A_getIssuer(cert, len));
    sum += touch(CCertInfo::A_getSerial(cert, len));
    sum += touch(CCertInfo::A_getSignatureOID(cert, len));
    sum += static_cast<std::size_t>(CCertInfo::A_getNotBefore(cert, len) & 1);
    sum += static_cast<std::size_t>(CCertInfo::A_getNotAfter(cert, len) & 1);
    sum += static_cast<std::size_t>(CCertInfo::A_getAttributeNum(cert, len));
    sum += static_cast<std::size_t>(CCertInfo::A_getExtensionNum(cert, len));
    for (int index = -1; index <= maxIndex; ++index) {
        sum += touch(CCertInfo::getExtensionOID(cert, len, index));
        sum += touch(CCertInfo::getExtensionValue(cert, len, index));
        sum += touch(CCertInfo::A_getAttributeOID(cert, len, index));
        sum += touch(CCertInfo::A_getAttributeValue(cert, len, index));
        sum += touch(CCertInfo::A_getExtensionOID(cert, len, index));
        sum += touch(CCertInfo::A_getExtensionValue(cert, len, index));
    }
    return sum;
}

}  // namespace kivo::test::certs
