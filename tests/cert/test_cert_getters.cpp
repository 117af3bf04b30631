// The certificate getters as one table compared with OpenSSL's reading of
// the same DER, over the system store's CA certificates and certificates
// made here; the A_ getters on attribute certificates of both layouts; bad
// input, one per rule (arbitrary octets are left to fuzz/fuzz_cert_getters),
// each in a heap block of its exact size for AddressSanitizer.

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <iostream>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "CertInfoSSL.h"
#include "ExtensionSSL.h"
#include "RestrictionSSL.h"
#include "asn1/Asn1Der.h"
#include "tests/support/DerBuild.h"
#include "tests/support/SystemCerts.h"
#include "tests/support/TestSupport.h"
#include "tools/testpki/Pki.h"

using namespace kivo::test;

namespace {

inline Bytes seqOf(const std::vector<Bytes>& parts) {
    return tlv(0x30, std::accumulate(parts.begin(), parts.end(), Bytes{}, [](Bytes a, const Bytes& b) { return cat({a, b}); }));
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

// A renderer's input for the Extension or Attribute `entry` found in `b`:
// from the octet after its first child (the OID) to its end.
struct RendererInput { unsigned char* element; unsigned long length; };
inline RendererInput locate(ExactBuffer& b, const Bytes& entry) {
    unsigned char* const at = std::search(b.data(), b.data() + b.size(), entry.begin(), entry.end());
    Asn1Cursor c = Asn1Begin(at, entry.size());
    if (at == b.data() + b.size() || c.size == 0 || !Asn1Enter(c.ptr, &c)) throw std::runtime_error("entry not found");
    unsigned char* const value = at + (c.ptr - at) + c.size;
    return RendererInput{value, static_cast<unsigned long>(at + entry.size() - value)};
}

// What the date getters compute for these fields: mktime with the
// daylight-saving flag 0, or as localtime() gives it today.
inline std::int64_t localRule(std::tm t, bool standardTime) {
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    t.tm_isdst = standardTime ? 0 : today.tm_isdst;
    return static_cast<std::int64_t>(std::mktime(&t));
}

// A getter's result as text, so that getters of every type fit one table.
template <class Result> std::string shown(Result value) {
    if constexpr (std::is_pointer_v<Result>) return value == nullptr ? "<null>" : std::string(value);
    else return std::to_string(value);
}
using Getter = std::function<std::string(unsigned char*, unsigned long)>;
template <class Result> Getter getter(Result (*function)(unsigned char*, unsigned long)) {
    return [function](unsigned char* p, unsigned long n) { return shown(function(p, n)); };
}
// Several getters' results joined by "|".
inline Getter joined(std::vector<Getter> getters) {
    return [getters](unsigned char* p, unsigned long n) {
        std::string out = getters[0](p, n);
        for (std::size_t i = 1; i < getters.size(); ++i) out += "|" + getters[i](p, n);
        return out;
    };
}

// The renderer a getter must use for an OID (none: the OID has no value).
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
                         {"1.3.6.1.5.5.7.1.3", &qcWithoutNames}}, oid);
}

// Attribute types of attribute certificates.
inline Getter attributeRenderer(const std::string& oid) {
    using R = CRestrictionSSL;
    return rendererFrom({{"1.3.36.8.3.4", &R::getRestrictionMonetary}, {"0.4.0.1862.1.2", &R::getRestrictionMonetary},
                         {"1.3.36.8.3.2", &R::getRestrictionProkura}, {"1.3.36.8.3.3", &R::getRestrictionAdmission},
                         {"1.3.36.8.3.5", &R::getRestrictionMajority}, {"1.3.36.8.3.6", &R::getRestrictionAdditional},
                         {"1.3.36.8.3.8", &R::getRestriction}, {"1.3.36.8.3.15", &R::getRestriction},
                         {"2.5.29.9", &R::getRestrictionIdentity}}, oid);
}

// Attribute certificates as DER (OpenSSL has no interface for them), with a
// fixed signature value: RFC 3281 with version, Holder and v2Form, or the
// older layout with holder [0] IssuerSerial and issuer GeneralNames.
enum class AttrCertLayout { Rfc3281EntityName, Rfc3281BaseCertificateId, Older };

struct AttrCertContent {
    AttrCertLayout layout = AttrCertLayout::Rfc3281EntityName;
    bool ecdsa = false;  // ecdsa-with-SHA256, else sha256WithRSAEncryption
    Bytes holderName = name({{"2.5.4.6", "DE"}, {"2.5.4.3", "Erika Mustermann"}});
    Bytes issuerName = name({{"2.5.4.6", "DE"}, {"2.5.4.10", "Kammer"}, {"2.5.4.3", "AA 1"}});
    Bytes baseIssuerName = name({{"2.5.4.6", "DE"}, {"2.5.4.3", "Base CA"}});
    Bytes baseSerial = integer(hex("00 AB CD EF 01 23"));      // only the last four
    Bytes serial = integer(hex("01 02 03 04 05 06 07 08"));  // octets count
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

struct NamedElement { std::string oid; Bytes element; };

template <std::size_t N, class Wrap>
std::vector<NamedElement> named(const std::pair<const char*, Bytes> (&values)[N], Wrap wrap) {
    std::vector<NamedElement> out;
    for (const auto& [type, value] : values) out.push_back({type, wrap(type, value)});
    return out;
}

// The Common PKI attributes by type OID.
inline std::vector<NamedElement> commonPkiAttributes() {
    const Bytes identity = seq({seq({oid("1.3.6.1.5.5.7.9.1"), set({tlv(0x18, "19700201000000Z")})}),
                                seq({oid("1.3.6.1.5.5.7.9.2"), set({utf8("Berlin")})})});
    const std::pair<const char*, Bytes> values[] = {
        {"1.3.36.8.3.3", admissionValue()}, {"1.3.36.8.3.8", utf8("Nur fuer Testzwecke")},
        {"1.3.36.8.3.15", utf8("Zusatzinformation")},
        {"1.3.36.8.3.4", seq({printable("EUR"), integer(hex("13 88")), integer(hex("00"))})},
        {"1.3.36.8.3.2", seq({tlv(0xA1, printable("DE")), tlv(0xA2, utf8("Prokura")),
                              tlv(0xA3, tlv(0xA4, name({{"2.5.4.3", "Firma GmbH"}})))})},
        {"1.3.36.8.3.5", tlv(0xA0, integer(hex("12")))}, {"1.3.36.8.3.1", tlv(0x18, "20240301083000Z")},
        {"1.3.36.8.3.6", octets(hex("89 49 01 23 45 67 89 01 23 45"))}, {"2.5.29.9", identity},
    };
    return named(values, [](const char* type, const Bytes& value) { return attribute(type, {value}); });
}

// The five rendered kinds, one rendered in certificates only, one never.
inline std::vector<NamedElement> attrCertExtensions() {
    const std::pair<const char*, Bytes> values[] = {
        {"2.5.29.35", seq({tlv(0x80, hex("0F1E2D3C4B5A69788796A5B4C3D2E1F001122334"))})},
        {"2.5.29.31", seq({seq({tlv(0xA0, tlv(0xA0, tlv(0x86, "http://crl.example.test/aa.crl")))})})},
        {"1.3.6.1.5.5.7.1.1", seq({seq({oid("1.3.6.1.5.5.7.48.1"), tlv(0x86, "http://ocsp.example.test")})})},
        {"2.5.29.32", seq({seq({oid("1.3.36.8.1.1")}), seq({oid("1.2.3.4.5")})})},
        {"1.3.6.1.5.5.7.1.3", qcStatementsValue()}, {"2.5.29.14", octets(hex("01 02 03 04"))},
        {"2.5.29.56", nullElement()},
    };
    return named(values, extension);
}

std::string dottedOf(const ASN1_OBJECT* object) {
    char text[256];
    const int n = OBJ_obj2txt(text, sizeof text, object, 1);
    return n > 0 && n < static_cast<int>(sizeof text) ? std::string(text) : std::string();
}

// "type=value" joined by ", ": string values byte for byte, a BMPString as
// Latin-1 ('?' from U+0100 on); a value of another type ends the text.
std::string expectedDn(const X509_NAME* name) {
    std::string out;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        out += std::string(i > 0 ? ", " : "") + OidToNameOrSelf(dottedOf(X509_NAME_ENTRY_get_object(entry)).c_str()) + "=";
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
        const unsigned char* data = ASN1_STRING_get0_data(value);
        const int length = ASN1_STRING_length(value);
        const int type = ASN1_STRING_type(value);
        if (type == V_ASN1_BMPSTRING) {
            for (int k = 0; k + 1 < length; k += 2) out += data[k] == 0 ? static_cast<char>(data[k + 1]) : '?';
        } else if (type == V_ASN1_UTF8STRING || type == V_ASN1_PRINTABLESTRING || type == V_ASN1_T61STRING ||
                   type == V_ASN1_IA5STRING) {
            out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
        } else {
            return out;
        }
    }
    return out;
}

// The serial INTEGER's content octets (at most 20: a one-octet length).
std::string serialHex(X509* x) {
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_INTEGER(X509_get0_serialNumber(x), &der);
    const std::string out = toHex(der + 2, static_cast<std::size_t>(length - 2));
    OPENSSL_free(der);
    return out;
}

std::string signatureOid(const X509_ALGOR* algorithm) { return dottedOf(algorithm->algorithm); }

std::string localTime(const ASN1_TIME* time, bool standardTime = true) {
    std::tm fields{};
    return ASN1_TIME_to_tm(time, &fields) == 1 ? std::to_string(localRule(fields, standardTime)) : "<unreadable>";
}

// The key fields from OpenSSL's parse: RSA modulus content without its first
// octet, exponent, RSAPublicKey; EC point, curve, BIT STRING; else nothing.
struct KeyFields { std::string algorithm, modulus, exponent, element; };

KeyFields keyFields(X509* x) {
    KeyFields k;
    ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR* parameters = nullptr;
    X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, &parameters, X509_get_X509_PUBKEY(x));
    k.algorithm = dottedOf(algorithm);
    EVP_PKEY* key = X509_get0_pubkey(x);
    if (key != nullptr && k.algorithm == "1.2.840.113549.1.1.1") {
        BIGNUM* n = nullptr;
        BIGNUM* e = nullptr;
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n);
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e);
        char* modulus = BN_bn2hex(n);
        k.modulus = std::string(modulus).substr(BN_num_bits(n) % 8 == 0 ? 0 : 2);
        OPENSSL_free(modulus);
        char exponent[24];
        std::snprintf(exponent, sizeof exponent, "%lx", static_cast<unsigned long>(BN_get_word(e)));
        k.exponent = exponent;
        BN_free(n);
        BN_free(e);
        unsigned char* der = nullptr;
        const int length = i2d_PublicKey(key, &der);
        k.element = toHex(der, static_cast<std::size_t>(length));
        OPENSSL_free(der);
    } else if (key != nullptr && k.algorithm == "1.2.840.10045.2.1") {
        const void* curve = nullptr;
        int type = 0;
        X509_ALGOR_get0(nullptr, &type, &curve, parameters);
        k.exponent = dottedOf(static_cast<const ASN1_OBJECT*>(curve));
        unsigned char point[256];
        std::size_t pointLength = 0;
        EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &pointLength);
        k.modulus = toHex(point, pointLength);
        k.element = toHex(tlv(0x03, cat({Bytes{0x00}, Bytes(point, point + pointLength)})));
    }
    return k;
}

// Key length in octets: the modulus for RSA, the BIT STRING for EC.
int keyBits(X509* x) {
    const KeyFields k = keyFields(x);
    if (k.element.empty()) return -1;
    return static_cast<int>((k.algorithm == "1.2.840.113549.1.1.1" ? k.modulus : k.element).size() / 2);
}

std::string keyElement(unsigned char* p, unsigned long n) {
    const unsigned char* key = CCertInfo::getPublicKey(p, n);
    return key == nullptr ? "" : toHex(key, static_cast<std::size_t>(CCertInfo::getPublicKeySize(p, n)));
}

std::string hexOf(const ASN1_STRING* s) { return toHex(ASN1_STRING_get0_data(s), static_cast<std::size_t>(ASN1_STRING_length(s))); }

struct Field { const char* name; Getter library; std::function<std::string(X509*)> openssl; };

const std::vector<Field>& fields() {
    static const std::vector<Field> kFields = {
        {"subject", getter(CCertInfo::getSubject), [](X509* x) { return expectedDn(X509_get_subject_name(x)); }},
        {"issuer", getter(CCertInfo::getIssuer), [](X509* x) { return expectedDn(X509_get_issuer_name(x)); }},
        {"S_issuer", getter(CCertInfo::S_getIssuerName), [](X509* x) { return expectedDn(X509_get_issuer_name(x)); }},
        {"serial", getter(CCertInfo::getSerialNum), serialHex},
        {"S_serial", getter(CCertInfo::S_getSerial), serialHex},
        // DER leaves out the default version 1, and then there is no field.
        {"version", getter(CCertInfo::getVersion),
         [](X509* x) { return X509_get_version(x) == 0 ? "" : std::to_string(X509_get_version(x)); }},
        {"tbs signature", getter(CCertInfo::getSignaturOID), [](X509* x) { return signatureOid(X509_get0_tbs_sigalg(x)); }},
        {"signature algorithm", getter(CCertInfo::getCertSigOID), [](X509* x) { const X509_ALGOR* a = nullptr; X509_get0_signature(nullptr, &a, x); return signatureOid(a); }},
        {"signature value", getter(CCertInfo::getCertSigValue),
         [](X509* x) { const ASN1_BIT_STRING* v = nullptr; X509_get0_signature(&v, nullptr, x); return hexOf(v); }},
        {"notBefore", getter(CCertInfo::getNotBefore), [](X509* x) { return localTime(X509_get0_notBefore(x)); }},
        {"notAfter", getter(CCertInfo::getNotAfter), [](X509* x) { return localTime(X509_get0_notAfter(x)); }},
        // The validity in the certificate's field order, with today's
        // daylight-saving flag; and no attributes.
        {"A_notAfter", getter(CCertInfo::A_getNotAfter), [](X509* x) { return localTime(X509_get0_notAfter(x), false); }},
        {"A_attributes", getter(CCertInfo::A_getAttributeNum), [](X509*) { return std::string("0"); }},
        {"key algorithm", getter(CCertInfo::getPkOID), [](X509* x) { return keyFields(x).algorithm; }},
        {"modulus", getter(CCertInfo::getPkMod), [](X509* x) { return keyFields(x).modulus; }},
        {"exponent", getter(CCertInfo::getPkExp), [](X509* x) { return keyFields(x).exponent; }},
        {"pkLen", getter(CCertInfo::getPkLen), [](X509* x) { return std::to_string(keyFields(x).modulus.size() * 4); }},
        {"key size", getter(CCertInfo::getPublicKeySize),
         [](X509* x) { return std::to_string(keyFields(x).element.empty() ? -1 : static_cast<int>(keyFields(x).element.size() / 2)); }},
        {"key bits", getter(CCertInfo::getPublicKeyBits), [](X509* x) { return std::to_string(keyBits(x)); }},
        {"key element", keyElement, [](X509* x) { return keyFields(x).element; }},
        {"extensions", getter(CCertInfo::getExtensionNum), [](X509* x) { return std::to_string(X509_get_ext_count(x)); }},
    };
    return kFields;
}

using Text = std::optional<std::string>;

// The names of a GeneralNames that the renderers copy as characters
// (e-mail, DNS, URI) joined by ", "; nothing when another kind is present.
Text simpleNames(const GENERAL_NAMES* names) {
    std::string joined;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        int type = 0;
        const auto* value = static_cast<const ASN1_STRING*>(GENERAL_NAME_get0_value(sk_GENERAL_NAME_value(names, i), &type));
        if (type != GEN_URI && type != GEN_EMAIL && type != GEN_DNS) return std::nullopt;
        joined += (i > 0 ? ", " : "") + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                                                    static_cast<std::size_t>(ASN1_STRING_length(value)));
    }
    return joined;
}

Text parsedText(int nid, void* parsed) {
    switch (nid) {
        case NID_subject_key_identifier:
        case NID_key_usage:
            return hexOf(static_cast<ASN1_STRING*>(parsed));
        case NID_authority_key_identifier: {
            const auto* aki = static_cast<AUTHORITY_KEYID*>(parsed);
            return aki->keyid != nullptr ? hexOf(aki->keyid) : std::string();
        }
        case NID_certificate_policies: {  // the first policy only
            auto* list = static_cast<CERTIFICATEPOLICIES*>(parsed);
            return sk_POLICYINFO_num(list) > 0 ? Text(dottedOf(sk_POLICYINFO_value(list, 0)->policyid)) : std::nullopt;
        }
        case NID_ext_key_usage: {  // the first purpose only
            auto* list = static_cast<EXTENDED_KEY_USAGE*>(parsed);
            if (sk_ASN1_OBJECT_num(list) == 0) return std::nullopt;
            const std::string oid = dottedOf(sk_ASN1_OBJECT_value(list, 0));
            const char* name = OidToName(oid.c_str());
            return "OID={" + oid + "=" + (name != nullptr ? name : "?") + "}";
        }
        case NID_subject_alt_name:
        case NID_issuer_alt_name:
            return simpleNames(static_cast<GENERAL_NAMES*>(parsed));
    }
    return std::nullopt;
}

// An extension's text from OpenSSL's parse where it covers the content;
// only the keyUsage renderer steps over the critical flag.
Text opensslText(X509_EXTENSION* extension) {
    const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(extension));
    const X509V3_EXT_METHOD* method = X509V3_EXT_get(extension);
    void* parsed = method != nullptr && method->it != nullptr ? X509V3_EXT_d2i(extension) : nullptr;
    if (parsed == nullptr) return std::nullopt;
    Text text = parsedText(nid, parsed);
    ASN1_item_free(static_cast<ASN1_VALUE*>(parsed), ASN1_ITEM_ptr(method->it));
    if (text && X509_EXTENSION_get_critical(extension) != 0 && nid != NID_key_usage) return std::string();
    return text ? Text(text->substr(0, 2047)) : text;
}

// Each extension's OID and value (from OpenSSL's parse, else from the
// renderer on the same element); returns how many OpenSSL's parse checked.
int checkExtensions(X509* x, ExactBuffer& b) {
    const int count = X509_get_ext_count(x);
    int parsed = 0;
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* extension = X509_get_ext(x, i);
        const std::string dotted = dottedOf(X509_EXTENSION_get_object(extension));
        EXPECT_EQ(CCertInfo::getExtensionOID(b.data(), b.size(), i), dotted) << i;
        unsigned char* der = nullptr;
        const int length = i2d_X509_EXTENSION(extension, &der);
        const RendererInput input = locate(b, Bytes(der, der + length));
        OPENSSL_free(der);
        const Getter render = certificateRenderer(dotted);
        const Text oracle = render ? opensslText(extension) : Text("");
        parsed += render && oracle;
        EXPECT_EQ(CCertInfo::getExtensionValue(b.data(), b.size(), i),
                  oracle ? *oracle : render(input.element, input.length)) << dotted;
    }
    // Past the list nothing; a negative index does not move off the first.
    for (int index : {count, INT_MAX}) EXPECT_STREQ(CCertInfo::getExtensionValue(b.data(), b.size(), index), "");
    EXPECT_EQ(shown(CCertInfo::getExtensionOID(b.data(), b.size(), INT_MIN)),
              count > 0 ? dottedOf(X509_EXTENSION_get_object(X509_get_ext(x, 0))) : "");
    return parsed;
}

std::string derExtension(const Bytes& value) { return "DER:" + toHex(value); }

// A CA and what it issued: key kinds, serials with a leading zero octet,
// years around 1950/2050, unregistered types, every rendered extension.
const std::vector<SystemCertificate>& generatedCertificates() {
    static const std::vector<SystemCertificate> kCertificates = [] {
        // notBefore/notAfter: 1950-01-01 to 2049-12-31; summer 2024 to 2050.
        const struct { KeyKind kind; long serial; std::time_t notBefore, notAfter; const char* subject; } rows[] = {
            {KeyKind::Rsa2048, 1, 0, 0, "/C=DE/O=Kivo Test/OU=Zertifizierung/CN=Kivo Test CA"},
            {KeyKind::Rsa2048, 0x80, -631152000, 2524607999,
             "/C=DE/ST=Bayern/L=M\xC3\xBCnchen/O=Beispiel GmbH/CN=Erika Mustermann/serialNumber=4711/"
             "emailAddress=erika@example.test"},
            {KeyKind::Rsa3072, 0x00FF123456789ABCL, 1719835200, 2556143999,
             "/C=DE/1.3.6.1.4.1.99999.7=Wert/2.5.4.97=VATDE-123/CN=Signer"},
            {KeyKind::EcP256, 0x1234, 0, 0, "/CN=EC P-256"}, {KeyKind::RsaPss2048, 2, 0, 0, "/CN=RSASSA-PSS"},
        };
        std::vector<SystemCertificate> out;
        std::vector<EvpKeyPtr> keys;
        for (const auto& row : rows) {
            keys.push_back(generateKey(row.kind));
            CertOptions request{.subject = row.subject, .subjectKey = keys.back().get(),
                                .issuerCert = out.empty() ? nullptr : out.front().x509.get(),
                                .issuerKey = out.empty() ? nullptr : keys.front().get(), .serial = row.serial,
                                .notBefore = row.notBefore, .notAfter = row.notAfter, .isCa = out.empty()};
            if (row.serial == 0x80) {  // and OCSP no-check, an unknown one, basicConstraints
                request.extensions = {
                    {"keyUsage", "critical,digitalSignature,nonRepudiation"}, {"extendedKeyUsage", "OCSPSigning"},
                    {"crlDistributionPoints", "URI:http://crl.example.test/ca.crl"}, {"issuerAltName", "DNS:ca.example.test"},
                    {"authorityInfoAccess", "OCSP;URI:http://ocsp.example.test,caIssuers;URI:http://ca.example.test/ca.crt"},
                    {"certificatePolicies", derExtension(seq({seq({oid("1.3.36.8.1.1")})}))},
                    {"1.3.6.1.5.5.7.1.3", derExtension(qcStatementsValue())}, {"1.3.36.8.3.3", derExtension(admissionValue())},
                    {"1.3.36.8.3.8", derExtension(utf8("Nur fuer Testzwecke"))}, {"1.3.36.8.3.15", derExtension(utf8("Zusatz"))},
                    {"subjectAltName", "email:erika@example.test,DNS:signer.example.test"},
                    {"nsBaseUrl", "http://base.example.test/"}, {"nsCaPolicyUrl", "http://policy.example.test/"},
                    {"1.3.36.8.3.6", derExtension(octets(hex("89 49 01 23 45 67 89 01 23 45")))},
                    {"noCheck", "ignored"}, {"1.2.3.4.5.6", "DER:0500"}, {"basicConstraints", "critical,CA:FALSE"}};
            }
            X509Ptr cert = makeCertificate(request);
            const Bytes der = derOf(cert.get());
            out.push_back({row.subject, std::move(cert), der});
        }
        return out;
    }();
    return kCertificates;
}


TEST(CertGetters, EveryGetterAgreesWithOpenSSLOnEveryCertificate) {
    const auto& system = kivo::test::systemCertificates();
    ASSERT_GE(system.size(), kivo::test::kMinimumSystemCertificates) << "is ca-certificates installed?";
    std::vector<const SystemCertificate*> all;
    for (const auto* list : {&system, &generatedCertificates()}) {
        for (const SystemCertificate& c : *list) all.push_back(&c);
    }
    int parsedExtensions = 0;
    // The date fields are taken as local standard time, whatever the season.
    for (const char* zone : {"CET-1CEST,M3.5.0,M10.5.0/3", "UTC0"}) {
        ScopedTimeZone scoped(zone);
        for (const SystemCertificate* c : all) {
            SCOPED_TRACE(std::string(zone) + " " + c->file);
            ExactBuffer b(c->der);
            for (const Field& field : fields()) {
                EXPECT_EQ(field.library(b.data(), b.size()), field.openssl(c->x509.get())) << field.name;
            }
            parsedExtensions += checkExtensions(c->x509.get(), b);
        }
    }
    std::cout << "[          ] compared " << all.size() << " certificates, " << parsedExtensions / 2
              << " extension values with OpenSSL's parse\n";
    EXPECT_GE(parsedExtensions / 2, 300);
}


Bytes build(AttrCertLayout layout, bool ecdsa, AttrCertContent request = {}) {
    request.layout = layout;
    request.ecdsa = ecdsa;
    for (const NamedElement& a : commonPkiAttributes()) request.attributes.push_back(a.element);
    for (const NamedElement& e : attrCertExtensions()) request.extensions.push_back(e.element);
    return buildAttrCert(request);
}

// Each entry's OID and value as `renderer` gives it; past the list nothing.
void checkEntries(ExactBuffer& b, const std::vector<NamedElement>& entries, Getter (*renderer)(const std::string&),
                  char* (*oidAt)(unsigned char*, unsigned long, int), char* (*valueAt)(unsigned char*, unsigned long, int)) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const int index = static_cast<int>(i);
        SCOPED_TRACE(entries[i].oid);
        EXPECT_EQ(oidAt(b.data(), b.size(), index), entries[i].oid);
        const Getter render = renderer(entries[i].oid);
        const RendererInput input = locate(b, entries[i].element);
        EXPECT_EQ(valueAt(b.data(), b.size(), index), render ? render(input.element, input.length) : std::string());
    }
    EXPECT_STREQ(oidAt(b.data(), b.size(), static_cast<int>(entries.size())), "");
    EXPECT_STREQ(valueAt(b.data(), b.size(), static_cast<int>(entries.size())), "");
}


TEST(AttrCertGetters, BothLayoutsWithEveryAttributeAndExtension) {
    const char* holder = "countryName=DE, commonName=Erika Mustermann";
    const char* issuer = "countryName=DE, organizationName=Kammer, commonName=AA 1";
    // The older layout's locator finds the subject in the issuer's names and
    // the issuer in the base certificate identifier, which in RFC 3281 gives none.
    const struct { AttrCertLayout layout; bool ecdsa; const char *subject, *subjectSerial, *issuer; } cases[] = {
        {AttrCertLayout::Rfc3281EntityName, false, holder, "", issuer},
        {AttrCertLayout::Rfc3281BaseCertificateId, false, "", "", issuer},
        {AttrCertLayout::Older, true, issuer, "CDEF0123", "countryName=DE, commonName=Base CA"},
    };
    ScopedTimeZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
    // 2024-03-01 08:30:00 and 2029-02-28 23:59:59 as local time with the
    // daylight-saving flag of today.
    std::tm notBefore{}, notAfter{};
    strptime("2024-03-01 08:30:00", "%Y-%m-%d %H:%M:%S", &notBefore);
    strptime("2029-02-28 23:59:59", "%Y-%m-%d %H:%M:%S", &notAfter);
    const Getter fields = joined({getter(CCertInfo::A_getSubject), getter(CCertInfo::A_getSubjectSerial),
                                  getter(CCertInfo::A_getIssuer), getter(CCertInfo::A_getSerial),
                                  getter(CCertInfo::A_getSignatureOID), getter(CCertInfo::getExtensionNum),
                                  getter(CCertInfo::getPkOID)});
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.layout));
        ExactBuffer b(build(c.layout, c.ecdsa));
        // Nothing of a public-key certificate is found in it.
        EXPECT_EQ(fields(b.data(), b.size()), std::string(c.subject) + "|" + c.subjectSerial + "|" + c.issuer + "|5060708|" +
                                                  (c.ecdsa ? "1.2.840.10045.4.3.2" : "1.2.840.113549.1.1.11") + "|0|");

        ASSERT_EQ(CCertInfo::A_getAttributeNum(b.data(), b.size()), static_cast<int>(commonPkiAttributes().size()));
        checkEntries(b, commonPkiAttributes(), attributeRenderer, CCertInfo::A_getAttributeOID,
                     CCertInfo::A_getAttributeValue);
        ASSERT_EQ(CCertInfo::A_getExtensionNum(b.data(), b.size()), static_cast<int>(attrCertExtensions().size()));
        checkEntries(b, attrCertExtensions(), attrCertExtensionRenderer, CCertInfo::A_getExtensionOID,
                     CCertInfo::A_getExtensionValue);

        // The version INTEGER shifts the fields: no validity is found.
        const bool older = c.layout == AttrCertLayout::Older;
        EXPECT_EQ(CCertInfo::A_getNotBefore(b.data(), b.size()), older ? localRule(notBefore, false) : 0);
        EXPECT_EQ(CCertInfo::A_getNotAfter(b.data(), b.size()), older ? localRule(notAfter, false) : 0);
    }
}

TEST(AttrCertGetters, MissingParts) {
    // No extensions field; an attribute without values and one without type.
    const std::vector<NamedElement> attributes = {{"1.3.36.8.3.8", seq({oid("1.3.36.8.3.8")})},
                                                  {"", seq({utf8("no type"), set({utf8("x")})})},
                                                  {"1.3.36.8.3.8", attribute("1.3.36.8.3.8", {utf8("third")})}};
    AttrCertContent request;
    for (const NamedElement& a : attributes) request.attributes.push_back(a.element);
    ExactBuffer b(buildAttrCert(request));
    EXPECT_EQ(CCertInfo::A_getExtensionNum(b.data(), b.size()), 0);
    checkEntries(b, attributes, attributeRenderer, CCertInfo::A_getAttributeOID, CCertInfo::A_getAttributeValue);
}


// The failure value of every getter.
void expectNothingFound(unsigned char* p, unsigned long n) {
    for (auto text : {CCertInfo::getVersion, CCertInfo::getSignaturOID, CCertInfo::getCertSigOID,
                      CCertInfo::getCertSigValue, CCertInfo::getIssuer, CCertInfo::S_getIssuerName,
                      CCertInfo::getSubject, CCertInfo::getSerialNum, CCertInfo::S_getSerial, CCertInfo::getPkOID,
                      CCertInfo::getPkMod, CCertInfo::getPkExp, CCertInfo::A_getSubject, CCertInfo::A_getSubjectSerial,
                      CCertInfo::A_getIssuer, CCertInfo::A_getSerial, CCertInfo::A_getSignatureOID}) {
        EXPECT_STREQ(text(p, n), "");
    }
    const Getter numbers = joined({getter(CCertInfo::getNotBefore), getter(CCertInfo::getNotAfter),
                                   getter(CCertInfo::A_getNotBefore), getter(CCertInfo::A_getNotAfter),
                                   getter(CCertInfo::getPkLen), getter(CCertInfo::getExtensionNum),
                                   getter(CCertInfo::A_getAttributeNum), getter(CCertInfo::A_getExtensionNum),
                                   getter(CCertInfo::getPublicKeySize), getter(CCertInfo::getPublicKeyBits)});
    EXPECT_EQ(numbers(p, n), "0|0|0|0|0|0|0|0|-1|-1");
    EXPECT_EQ(CCertInfo::getPublicKey(p, n), nullptr);
    for (auto indexed : {CCertInfo::getExtensionOID, CCertInfo::getExtensionValue, CCertInfo::A_getAttributeOID,
                         CCertInfo::A_getAttributeValue, CCertInfo::A_getExtensionOID, CCertInfo::A_getExtensionValue}) {
        EXPECT_STREQ(indexed(p, n, 0), "");
    }
}

// A certificate assembled from parts that the cases replace one by one.
struct CertParts {
    Bytes version = tlv(0xA0, integer(hex("02")));
    Bytes serial = integer(hex("01 02"));
    Bytes signature = seq({oid("1.2.840.113549.1.1.11"), nullElement()});
    Bytes issuer = name({{"2.5.4.3", "Hostile CA"}});
    Bytes validity = seq({tlv(0x17, "240101000000Z"), tlv(0x17, "340101000000Z")});
    Bytes subject = name({{"2.5.4.3", "Hostile"}});
    Bytes publicKey = seq({seq({oid("1.2.840.113549.1.1.1"), nullElement()}),
                           tlv(0x03, cat({hex("00"), seq({integer(hex("00 C1 C2 C3")), integer(hex("01 00 01"))})}))});
    Bytes extensions = tlv(0xA3, seq({extension("2.5.29.15", tlv(0x03, hex("07 80")))}));
    Bytes outerSignature = seq({oid("1.2.840.113549.1.1.11"), nullElement()});
    Bytes signatureValue = tlv(0x03, hex("00 AA BB CC"));

    Bytes tbs() const { return seq({version, serial, signature, issuer, validity, subject, publicKey, extensions}); }
    Bytes build() const { return seq({tbs(), outerSignature, signatureValue}); }
};

const Bytes kRsa = seq({oid("1.2.840.113549.1.1.1"), nullElement()});

Bytes rsaKey(const Bytes& rsaPublicKey) { return seq({kRsa, tlv(0x03, cat({hex("00"), rsaPublicKey}))}); }



TEST(CertGettersMalformed, BrokenStructureFindsNothing) {
    expectNothingFound(nullptr, 4096);
    const Bytes& real = generatedCertificates()[0].der;
    CertParts longerTbs;
    Bytes tbs = longerTbs.tbs();
    tbs[2] += 0x40;  // TBSCertificate longer than the Certificate around it
    Bytes open;
    for (int i = 0; i < 200; ++i) open.insert(open.end(), {0x30, 0x80});
    const std::pair<const char*, Bytes> inputs[] = {
        {"empty", {}}, {"one octet short", Bytes(real.begin(), real.end() - 1)},
        {"length claiming 4 GiB", hex("30 84 FF FF FF FF 30 03 02 01 01")},
        {"child longer than its parent", seq({tbs, longerTbs.outerSignature, longerTbs.signatureValue})},
        {"indefinite lengths never closed", open},
    };
    for (const auto& [what, bytes] : inputs) {
        SCOPED_TRACE(what);
        ExactBuffer b(bytes);
        expectNothingFound(b.data(), b.size());
    }
}

TEST(CertGettersMalformed, FieldsOfTheWrongShape) {
    using Change = std::function<void(CertParts&)>;
    const struct { const char* what; Change change; Getter read; const char* expected; } cases[] = {
        {"an RDN past its Name hides the name, not the fields after it",
         [](CertParts& c) { c.subject = hex("30 05 31 7F 30 03 06"); },
         joined({getter(CCertInfo::getSubject), getter(CCertInfo::getPkOID)}), "|1.2.840.113549.1.1.1"},
        {"a serial that is no INTEGER stops the locator", [](CertParts& c) { c.serial = octets(hex("01")); },
         getter(CCertInfo::getSubject), ""},
        {"text too long for the result", [](CertParts& c) { c.signatureValue = tlv(0x03, Bytes(2101, 0x5A)); },
         getter(CCertInfo::getCertSigValue), ""},
        {"empty modulus", [](CertParts& c) { c.publicKey = rsaKey(seq({hex("02 00"), integer(hex("03"))})); },
         joined({getter(CCertInfo::getPkMod), getter(CCertInfo::getPublicKeyBits)}), "|-1"},
        {"a modulus without its sign octet loses its first octet, unless only a sign octet is dropped",
         [](CertParts& c) { c.publicKey = rsaKey(seq({tlv(0x02, hex("C1 02 03")), integer(hex("03"))})); },
         [](unsigned char* p, unsigned long n) {
             const auto read = [&] { return std::string(CCertInfo::getPkMod(p, n)) + " " + std::to_string(CCertInfo::getPkLen(p, n)) + " " + std::to_string(CCertInfo::getPublicKeyBits(p, n)); };
             std::string text = read();
             CCertInfo::SetModulusSignOctetOnly(true);
             text += "|" + read();
             CCertInfo::SetModulusSignOctetOnly(false);
             return text;
         },
         "0203 16 2|C10203 24 3"},
        {"extension without extnValue, without extnID, and a good one",
         [](CertParts& c) {
             c.extensions = tlv(0xA3, seq({seq({oid("2.5.29.14")}), seq({octets(hex("01")), octets(hex("02"))}),
                                           seq({oid("2.5.29.14"), octets(octets(hex("AB")))})}));
         },
         [](unsigned char* p, unsigned long n) {
             std::string text = shown(CCertInfo::getExtensionNum(p, n));
             for (int i = 0; i < 3; ++i) text += " " + shown(CCertInfo::getExtensionOID(p, n, i)) + "|" + CCertInfo::getExtensionValue(p, n, i);
             return text;
         },
         "3 2.5.29.14| | 2.5.29.14|AB"},
    };
    kivo::test::ScopedTimeZone utc("UTC0");
    for (const auto& c : cases) {
        CertParts parts;
        c.change(parts);
        ExactBuffer b(parts.build());
        EXPECT_EQ(c.read(b.data(), b.size()), c.expected) << c.what;
    }
}

}  // namespace
