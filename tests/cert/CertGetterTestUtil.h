// Helpers of the certificate-getter tests: DER builders on top of
// support/DerBuild.h, a hand-written element reader to find where an
// extension or attribute sits, the local-time rule of the date getters, and
// getters of every result type as text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "CertInfoSSL.h"
#include "tests/support/DerBuild.h"

namespace kivo::test::certs {

using namespace kivo::test;

inline Bytes seqOf(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return tlv(0x30, out);
}
inline Bytes utf8(std::string_view text) { return tlv(0x0C, text); }
inline Bytes printable(std::string_view text) { return tlv(0x13, text); }
inline Bytes octets(const Bytes& content) { return tlv(0x04, content); }
inline Bytes nullElement() { return Bytes{0x05, 0x00}; }
inline Bytes integer(const Bytes& content) { return tlv(0x02, content); }

// A Name with one attribute per RDN, each (dotted type, UTF8String value).
inline Bytes name(std::initializer_list<std::pair<const char*, const char*>> attributes) {
    std::vector<Bytes> rdns;
    for (const auto& [type, value] : attributes) rdns.push_back(set({seq({oid(type), utf8(value)})}));
    return seqOf(rdns);
}

// An Extension (extnID, extnValue) and an Attribute (type, SET of values).
inline Bytes extension(const char* dotted, const Bytes& value) { return seq({oid(dotted), octets(value)}); }
inline Bytes attribute(const char* dotted, std::initializer_list<Bytes> values) {
    return seq({oid(dotted), tlv(0x31, cat(values))});
}

// Header size and total size of the definite-length element at `p`; 0 when
// it does not fit in `available`.
inline std::pair<std::size_t, std::size_t> elementSize(const unsigned char* p, std::size_t available) {
    if (available < 2) return {0, 0};
    std::size_t header = 2, length = p[1];
    if (p[1] >= 0x80) {
        const std::size_t count = p[1] & 0x7F;
        if (count == 0 || count > 4 || available < 2 + count) return {0, 0};
        length = 0;
        for (std::size_t i = 0; i < count; ++i) length = length << 8 | p[2 + i];
        header += count;
    }
    return header + length <= available ? std::pair{header, header + length} : std::pair{std::size_t{0}, std::size_t{0}};
}

// Where a renderer's input starts for the Extension or Attribute SEQUENCE
// `entry` found in `b`: the element after the OID, to the end of the entry.
struct RendererInput {
    unsigned char* element = nullptr;
    unsigned long length = 0;
};
inline RendererInput locate(ExactBuffer& b, const Bytes& entry) {
    const auto it = std::search(b.data(), b.data() + b.size(), entry.begin(), entry.end());
    const auto [header, total] = elementSize(entry.data(), entry.size());
    const std::size_t oidTotal = elementSize(entry.data() + header, entry.size() - header).second;
    if (it == b.data() + b.size() || total == 0 || oidTotal == 0) throw std::runtime_error("entry not found");
    return RendererInput{it + header + oidTotal, static_cast<unsigned long>(total - header - oidTotal)};
}

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

// A getter's result as text: a returned string (or "<null>"), a number in
// decimal; so that getters of every result type fit one table.
template <class Result>
std::string shown(Result value) {
    if constexpr (std::is_pointer_v<Result>) {
        return value == nullptr ? "<null>" : std::string(value);
    } else {
        return std::to_string(value);
    }
}
using Getter = std::function<std::string(unsigned char*, unsigned long)>;
template <class Result>
Getter getter(Result (*function)(unsigned char*, unsigned long)) {
    return [function](unsigned char* p, unsigned long n) { return shown(function(p, n)); };
}
// Several getters' results joined by "|".
inline Getter joined(std::vector<Getter> getters) {
    return [getters](unsigned char* p, unsigned long n) {
        std::string out;
        for (std::size_t i = 0; i < getters.size(); ++i) out += (i > 0 ? "|" : "") + getters[i](p, n);
        return out;
    };
}

}  // namespace kivo::test::certs
