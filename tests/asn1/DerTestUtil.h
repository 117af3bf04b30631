// Helpers for the DER toolkit tests: a certificate and an attribute
// certificate made by hand from parts the tests replace or leave out.
#pragma once

#include "tests/support/DerBuild.h"

#include <string_view>

namespace kivo::test::der {

using namespace kivo::test;

// An OpenSSL object's DER through its i2d function.
template <typename T, typename Encoder>
Bytes opensslDer(T* object, Encoder encode) {
    unsigned char* der = nullptr;
    const int length = encode(object, &der);
    Bytes out(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    return out;
}

// An AttributeTypeAndValue in its own RDN.
inline Bytes rdn(const char* dotted, unsigned char valueIdentifier, std::string_view value) {
    return set({seq({oid(dotted), tlv(valueIdentifier, value)})});
}

// The parts of a hand-made X.509 certificate.
struct CertParts {
    Bytes version = tlv(0xA0, hex("02 01 02"));
    Bytes serial = hex("02 03 00 AB CD");
    Bytes signature = seq({oid("1.2.840.113549.1.1.11"), hex("05 00")});
    Bytes issuer = seq({rdn("2.5.4.6", 0x13, "DE"), rdn("2.5.4.3", 0x0C, "Test CA")});
    Bytes validity = seq({tlv(0x17, "260101000000Z"), tlv(0x17, "270101000000Z")});
    Bytes subject = seq({rdn("2.5.4.3", 0x0C, "Test Signer")});
    Bytes publicKey = seq({seq({oid("1.2.840.10045.2.1"), oid("1.2.840.10045.3.1.7")}), tlv(0x03, hex("00 04 01 02"))});
    Bytes issuerUid = tlv(0x81, hex("00 11 22"));
    Bytes subjectUid = tlv(0x82, hex("00 33 44"));
    Bytes extensions = tlv(0xA3, seq({seq({oid("2.5.29.19"), hex("01 01 FF"), tlv(0x04, seq({hex("01 01 FF")}))})}));

    Bytes build(bool withVersion = true, bool withUids = true, bool withExtensions = true) const {
        const Bytes tbs = cat({withVersion ? version : Bytes{}, serial, signature, issuer, validity, subject, publicKey,
                               withUids ? cat({issuerUid, subjectUid}) : Bytes{}, withExtensions ? extensions : Bytes{}});
        return seq({tlv(0x30, tbs), signature, tlv(0x03, hex("00 AA BB"))});
    }
};

// The parts of a hand-made attribute certificate.
struct AttrCertParts {
    Bytes holderName = seq({rdn("2.5.4.3", 0x0C, "Holder")});
    Bytes issuerName = seq({rdn("2.5.4.3", 0x0C, "Attribute Authority")});
    Bytes baseIssuerName = seq({rdn("2.5.4.3", 0x0C, "Base CA")});
    Bytes version = hex("02 01 01");
    Bytes signature = seq({oid("1.2.840.113549.1.1.11"), hex("05 00")});
    Bytes serial = hex("02 02 01 F4");
    Bytes validity = seq({tlv(0x18, "20260101000000Z"), tlv(0x18, "20270101000000Z")});
    Bytes attributes = seq({seq({oid("1.3.36.8.3.2"), set({seq({tlv(0x13, "DE")})})})});
    Bytes issuerUid = tlv(0x03, hex("00 AB CD"));
    Bytes extensions = seq({seq({oid("2.5.29.35"), tlv(0x04, seq({tlv(0x80, hex("01 02"))}))})});

    // RFC 3281: Holder SEQUENCE { [0] baseCertificateID, [1] entityName },
    // issuer v2Form [0] { issuerName GeneralNames }.
    Bytes entityName() const { return tlv(0xA1, tlv(0xA4, holderName)); }
    Bytes v2IssuerNames() const { return seq({tlv(0xA4, issuerName)}); }
    Bytes rfc3281(bool withUid = true, bool withExtensions = true) const {
        const Bytes holder = seq({tlv(0xA0, cat({seq({tlv(0xA4, baseIssuerName)}), hex("02 01 07")})), entityName()});
        return seq({seq({version, holder, tlv(0xA0, v2IssuerNames()), signature, serial, validity, attributes,
                         withUid ? issuerUid : Bytes{}, withExtensions ? extensions : Bytes{}}),
                    signature, tlv(0x03, hex("00 01 02"))});
    }

    // Older layout: holder [0] IssuerSerial { issuer GeneralNames, serial },
    // then the issuer as GeneralNames.
    Bytes baseSerial = hex("02 02 12 34");
    Bytes older(bool withVersion = false) const {
        const Bytes holder = tlv(0xA0, cat({seq({tlv(0xA4, baseIssuerName)}), baseSerial}));
        return seq({seq({withVersion ? hex("02 01 00") : Bytes{}, holder, seq({tlv(0xA4, issuerName)}), signature,
                         serial, validity, attributes, extensions}),
                    signature, tlv(0x03, hex("00 01 02"))});
    }
};

}  // namespace kivo::test::der
