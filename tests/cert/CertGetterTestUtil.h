// Helpers of the certificate-getter tests: DER builders on top of
// support/DerBuild.h, a hand-written element reader to find where an
// extension or attribute sits, the local-time rule of the date getters,
// getters of every result type as text, the renderer each OID must get, and
// attribute certificates.
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
#include "ExtensionSSL.h"
#include "RestrictionSSL.h"
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

// Which renderer the getters must use for an OID, written out from their
// dispatch tables, so that a getter's value can be compared with a direct
// call of the renderer on the same element; an empty function: the OID is
// shown without value.

using Render = char* (*)(unsigned char*, unsigned long);

inline Getter rendererFrom(std::initializer_list<std::pair<const char*, Render>> table, const std::string& oid) {
    for (const auto& [dotted, render] : table) {
        if (oid == dotted) return getter(render);
    }
    return {};
}

inline char* qcWithNames(unsigned char* e, unsigned long l) { return CExtensionSSL::getQCStatements(e, l, true); }
inline char* qcWithoutNames(unsigned char* e, unsigned long l) { return CExtensionSSL::getQCStatements(e, l, false); }

// Certificate extensions.
inline Getter certificateRenderer(const std::string& oid) {
    using E = CExtensionSSL;
    return rendererFrom({{"2.5.29.35", &E::getAuthorityKeyIdent}, {"2.5.29.14", &E::getSubjectKeyIdent},
                         {"2.5.29.15", &E::getKeyUsage}, {"2.5.29.31", &E::getCRLDistrbutionPoints},
                         {"1.3.6.1.5.5.7.1.1", &E::getAuthorityInfoAccess}, {"2.5.29.32", &E::getCertPolicies},
                         {"1.3.36.8.3.8", &E::getRestriction}, {"1.3.36.8.3.15", &E::getRestriction},
                         {"2.5.29.17", &E::getSubjectAltName}, {"2.5.29.18", &E::getIssuerAltName},
                         {"2.16.840.1.113730.1.2", &E::getCertBaseURL}, {"2.16.840.1.113730.1.8", &E::getCAPolicyURL},
                         {"2.5.29.37", &E::getExtendedKeyUsage}, {"1.3.36.8.3.3", &E::getIdIsismmtAtAsmission},
                         {"1.3.36.8.3.6", &E::getIdIsismmtAtIccsn}, {"1.3.6.1.5.5.7.1.3", &qcWithNames}},
                        oid);
}

// Attribute-certificate extensions: five kinds only, qcStatements without names.
inline Getter attrCertExtensionRenderer(const std::string& oid) {
    using E = CExtensionSSL;
    return rendererFrom({{"2.5.29.35", &E::getAuthorityKeyIdent}, {"2.5.29.31", &E::getCRLDistrbutionPoints},
                         {"1.3.6.1.5.5.7.1.1", &E::getAuthorityInfoAccess}, {"2.5.29.32", &E::getCertPolicies},
                         {"1.3.6.1.5.5.7.1.3", &qcWithoutNames}},
                        oid);
}

// Attribute types of attribute certificates.
inline Getter attributeRenderer(const std::string& oid) {
    using R = CRestrictionSSL;
    return rendererFrom({{"1.3.36.8.3.4", &R::getRestrictionMonetary}, {"0.4.0.1862.1.2", &R::getRestrictionMonetary},
                         {"1.3.36.8.3.2", &R::getRestrictionProkura}, {"1.3.36.8.3.3", &R::getRestrictionAdmission},
                         {"1.3.36.8.3.5", &R::getRestrictionMajority}, {"1.3.36.8.3.6", &R::getRestrictionAdditional},
                         {"1.3.36.8.3.8", &R::getRestriction}, {"1.3.36.8.3.15", &R::getRestriction},
                         {"2.5.29.9", &R::getRestrictionIdentity}},
                        oid);
}

// Attribute certificates built as DER (OpenSSL 3.0 has no interface for
// them). The getters read without verifying, so the signature value is a
// fixed octet string. Layouts: RFC 3281 (v2) with version, Holder SEQUENCE
// (baseCertificateID [0] or entityName [1]) and issuer v2Form [0]; the
// older one without version, holder [0] IssuerSerial of the base
// certificate and issuer GeneralNames.
enum class AttrCertLayout { Rfc3281EntityName, Rfc3281BaseCertificateId, Older };

struct AttrCertContent {
    AttrCertLayout layout = AttrCertLayout::Rfc3281EntityName;
    bool ecdsa = false;  // ecdsa-with-SHA256, else sha256WithRSAEncryption
    Bytes holderName = name({{"2.5.4.6", "DE"}, {"2.5.4.3", "Erika Mustermann"}});
    Bytes issuerName = name({{"2.5.4.6", "DE"}, {"2.5.4.10", "Kammer"}, {"2.5.4.3", "AA 1"}});
    Bytes baseIssuerName = name({{"2.5.4.6", "DE"}, {"2.5.4.3", "Base CA"}});
    Bytes baseSerial = integer(hex("0A 0B 0C"));
    Bytes serial = integer(hex("01 F4"));
    Bytes notBefore = tlv(0x18, "20240301083000Z");
    Bytes notAfter = tlv(0x18, "20290228235959Z");
    std::vector<Bytes> attributes;  // Attribute SEQUENCEs
    std::vector<Bytes> extensions;  // Extension SEQUENCEs; none: no extensions field
};

inline Bytes buildAttrCert(const AttrCertContent& c) {
    const Bytes algorithm = c.ecdsa ? seq({oid("1.2.840.10045.4.3.2")}) : seq({oid("1.2.840.113549.1.1.11"), nullElement()});
    const Bytes issuerSerial = cat({seq({tlv(0xA4, c.baseIssuerName)}), c.baseSerial});
    const Bytes v2Form = tlv(0xA0, seq({tlv(0xA4, c.issuerName)}));
    const Bytes holderAndIssuer =
        c.layout == AttrCertLayout::Rfc3281EntityName ? cat({seq({tlv(0xA1, tlv(0xA4, c.holderName))}), v2Form})
        : c.layout == AttrCertLayout::Rfc3281BaseCertificateId ? cat({seq({tlv(0xA0, issuerSerial)}), v2Form})
                                                                : cat({tlv(0xA0, issuerSerial), seq({tlv(0xA4, c.issuerName)})});
    const Bytes info = seq({c.layout != AttrCertLayout::Older ? integer(hex("01")) : Bytes{}, holderAndIssuer, algorithm,
                            c.serial, seq({c.notBefore, c.notAfter}), seqOf(c.attributes),
                            c.extensions.empty() ? Bytes{} : seqOf(c.extensions)});
    return seq({info, algorithm, tlv(0x03, hex("00 5A 5A 5A 5A"))});
}

// Extension values shared with the certificate tests.
inline Bytes qcStatementsValue() {
    return seq({seq({oid("0.4.0.1862.1.1")}),
                seq({oid("0.4.0.1862.1.2"), seq({printable("EUR"), integer(hex("13 88")), integer(hex("00"))})}),
                seq({oid("0.4.0.1862.1.4")})});
}

inline Bytes admissionValue() {
    const Bytes professionInfo = seq({seq({utf8("Notar")}), seq({oid("1.2.276.0.76.4.10")}), printable("4711")});
    return seq({tlv(0xA4, name({{"2.5.4.6", "DE"}, {"2.5.4.10", "Kammer"}})),
                seq({seq({tlv(0xA1, seq({oid("1.2.276.0.76.3.1.1")})), seq({professionInfo})})})});
}

struct NamedElement {
    std::string oid;
    Bytes element;
};

// The Common PKI attributes by type OID.
inline std::vector<NamedElement> commonPkiAttributes() {
    const Bytes identity = seq({seq({oid("1.3.6.1.5.5.7.9.1"), set({tlv(0x18, "19700201000000Z")})}),
                                seq({oid("1.3.6.1.5.5.7.9.2"), set({utf8("Berlin")})})});
    const std::pair<const char*, Bytes> values[] = {
        {"1.3.36.8.3.3", admissionValue()},
        {"1.3.36.8.3.8", utf8("Nur fuer Testzwecke")},
        {"1.3.36.8.3.15", utf8("Zusatzinformation")},
        {"1.3.36.8.3.4", seq({printable("EUR"), integer(hex("13 88")), integer(hex("00"))})},
        {"1.3.36.8.3.2", seq({tlv(0xA1, printable("DE")), tlv(0xA2, utf8("Prokura")),
                              tlv(0xA3, tlv(0xA4, name({{"2.5.4.3", "Firma GmbH"}})))})},
        {"1.3.36.8.3.5", tlv(0xA0, integer(hex("12")))},
        {"2.5.29.9", identity},
        {"1.3.36.8.3.6", octets(hex("89 49 01 23 45 67 89 01 23 45"))},
        {"1.3.36.8.3.1", tlv(0x18, "20240301083000Z")},
    };
    std::vector<NamedElement> out;
    for (const auto& [type, value] : values) out.push_back({type, attribute(type, {value})});
    return out;
}

// Extensions of attribute certificates: the five rendered kinds, one that
// is rendered in certificates only and one without renderer.
inline std::vector<NamedElement> attrCertExtensions() {
    const std::pair<const char*, Bytes> values[] = {
        {"2.5.29.35", seq({tlv(0x80, hex("0F1E2D3C4B5A69788796A5B4C3D2E1F001122334"))})},
        {"2.5.29.31", seq({seq({tlv(0xA0, tlv(0xA0, tlv(0x86, "http://crl.example.test/aa.crl")))})})},
        {"1.3.6.1.5.5.7.1.1", seq({seq({oid("1.3.6.1.5.5.7.48.1"), tlv(0x86, "http://ocsp.example.test")})})},
        {"2.5.29.32", seq({seq({oid("1.3.36.8.1.1")}), seq({oid("1.2.3.4.5")})})},
        {"1.3.6.1.5.5.7.1.3", qcStatementsValue()},
        {"2.5.29.14", octets(hex("01 02 03 04"))},
        {"2.5.29.56", nullElement()},
    };
    std::vector<NamedElement> out;
    for (const auto& [type, value] : values) out.push_back({type, extension(type, value)});
    return out;
}

}  // namespace kivo::test::certs
