// Attribute certificates for the A_ getter tests, built as DER here (OpenSSL
// 3.0 has no attribute-certificate interface). The getters read without
// verifying, so the signature value is a fixed octet string.
//
// Two layouts:
// - RFC 3281 (v2): version, Holder SEQUENCE (baseCertificateID [0] or
//   entityName [1]), issuer v2Form [0], signature, serial, validity,
//   attributes, extensions.
// - the older layout without version: holder [0] IssuerSerial of the base
//   certificate, issuer GeneralNames, signature, serial, validity,
//   attributes, extensions.
#pragma once

#include <string>
#include <vector>

#include "tests/cert/CertGetterTestUtil.h"

namespace kivo::test::certs {

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
