// Bad input for every getter: no input, every truncation of a real
// certificate, and hand-made hostile DER of each shape the getters treat on
// their own (arbitrary octets are left to fuzz/fuzz_cert_getters.cpp).
// Each gives the getter's failure value, and every input lies in a heap
// block of its exact size, so AddressSanitizer sees a read past the end.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/cert/CertGetterTestUtil.h"
#include "CertInfoSSL.h"
#include "tools/testpki/Pki.h"
#include "tests/support/TestSupport.h"

using namespace kivo::test::certs;
using kivo::test::KeyKind;

namespace {

// Every getter gives its failure value.
void expectNothingFound(unsigned char* p, unsigned long n) {
    EXPECT_STREQ(CCertInfo::getVersion(p, n), "");
    EXPECT_STREQ(CCertInfo::getSignaturOID(p, n), "");
    EXPECT_STREQ(CCertInfo::getCertSigOID(p, n), "");
    EXPECT_STREQ(CCertInfo::getCertSigValue(p, n), "");
    EXPECT_STREQ(CCertInfo::getIssuer(p, n), "");
    EXPECT_STREQ(CCertInfo::S_getIssuerName(p, n), "");
    EXPECT_STREQ(CCertInfo::getSubject(p, n), "");
    EXPECT_STREQ(CCertInfo::getSerialNum(p, n), "");
    EXPECT_STREQ(CCertInfo::S_getSerial(p, n), "");
    EXPECT_EQ(CCertInfo::getNotBefore(p, n), 0);
    EXPECT_EQ(CCertInfo::getNotAfter(p, n), 0);
    EXPECT_STREQ(CCertInfo::getPkOID(p, n), "");
    EXPECT_STREQ(CCertInfo::getPkMod(p, n), "");
    EXPECT_STREQ(CCertInfo::getPkExp(p, n), "");
    EXPECT_EQ(CCertInfo::getPkLen(p, n), 0);
    EXPECT_EQ(CCertInfo::getPublicKey(p, n), nullptr);
    EXPECT_EQ(CCertInfo::getPublicKeySize(p, n), -1);
    EXPECT_EQ(CCertInfo::getPublicKeyBits(p, n), -1);
    EXPECT_EQ(CCertInfo::getExtensionNum(p, n), 0);
    EXPECT_STREQ(CCertInfo::A_getSubject(p, n), "");
    EXPECT_STREQ(CCertInfo::A_getSubjectSerial(p, n), "");
    EXPECT_STREQ(CCertInfo::A_getIssuer(p, n), "");
    EXPECT_STREQ(CCertInfo::A_getSerial(p, n), "");
    EXPECT_STREQ(CCertInfo::A_getSignatureOID(p, n), "");
    EXPECT_EQ(CCertInfo::A_getNotBefore(p, n), 0);
    EXPECT_EQ(CCertInfo::A_getNotAfter(p, n), 0);
    EXPECT_EQ(CCertInfo::A_getAttributeNum(p, n), 0);
    EXPECT_EQ(CCertInfo::A_getExtensionNum(p, n), 0);
    for (int index : {0, 1, 3}) {
        EXPECT_STREQ(CCertInfo::getExtensionOID(p, n, index), "");
        EXPECT_STREQ(CCertInfo::getExtensionValue(p, n, index), "");
        EXPECT_STREQ(CCertInfo::A_getAttributeOID(p, n, index), "");
        EXPECT_STREQ(CCertInfo::A_getAttributeValue(p, n, index), "");
        EXPECT_STREQ(CCertInfo::A_getExtensionOID(p, n, index), "");
        EXPECT_STREQ(CCertInfo::A_getExtensionValue(p, n, index), "");
    }
}

Bytes realCertificate() {
    auto key = kivo::test::generateKey(KeyKind::Rsa2048);
    kivo::test::CertOptions request;
    request.subjectKey = key.get();
    request.extensions = {{"keyUsage", "critical,digitalSignature"},
                       {"crlDistributionPoints", "URI:http://crl.example.test/ca.crl"}};
    return kivo::test::derOf(kivo::test::makeCertificate(request).get());
}

// A certificate assembled from parts that the tests replace one by one.
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

    Bytes tbs() const {
        return seq({version, serial, signature, issuer, validity, subject, publicKey, extensions});
    }
    Bytes build() const { return seq({tbs(), outerSignature, signatureValue}); }
};

}  // namespace

TEST(CertGettersMalformed, NullPointerOrZeroLength) {
    expectNothingFound(nullptr, 0);
    expectNothingFound(nullptr, 4096);
    Bytes der = realCertificate();
    ExactBuffer b(der);
    expectNothingFound(b.data(), 0);
}

TEST(CertGettersMalformed, TheHandMadeCertificateIsReadable) {
    // The base of the hostile variants below, read as intended.
    ExactBuffer b(CertParts{}.build());
    EXPECT_STREQ(CCertInfo::getVersion(b.data(), b.size()), "2");
    EXPECT_STREQ(CCertInfo::getSubject(b.data(), b.size()), "commonName=Hostile");
    EXPECT_STREQ(CCertInfo::getPkMod(b.data(), b.size()), "C1C2C3");
    EXPECT_STREQ(CCertInfo::getPkExp(b.data(), b.size()), "10001");
    EXPECT_EQ(CCertInfo::getPublicKeyBits(b.data(), b.size()), 3);
    EXPECT_EQ(CCertInfo::getExtensionNum(b.data(), b.size()), 1);
    EXPECT_STREQ(CCertInfo::getExtensionOID(b.data(), b.size(), 0), "2.5.29.15");
    EXPECT_STREQ(CCertInfo::getCertSigValue(b.data(), b.size()), "AABBCC");
}

TEST(CertGettersMalformed, EveryTruncationOfARealCertificate) {
    const Bytes der = realCertificate();
    for (std::size_t length = 1; length < der.size(); ++length) {
        SCOPED_TRACE(length);
        ExactBuffer b(der.data(), length);
        expectNothingFound(b.data(), b.size());
        if (HasFailure()) break;
    }
    // The whole certificate, with the length one short or to the octet.
    ExactBuffer whole(der);
    EXPECT_STREQ(CCertInfo::getSubject(whole.data(), whole.size()), "commonName=Kivo Test");
    expectNothingFound(whole.data(), whole.size() - 1);
}

TEST(CertGettersMalformed, LengthsReachingPastTheirParent) {
    // A length that claims 4 GiB.
    ExactBuffer huge(hex("30 84 FF FF FF FF 30 03 02 01 01"));
    expectNothingFound(huge.data(), huge.size());
    // TBSCertificate longer than the Certificate around it.
    const CertParts base;
    Bytes tbs = base.tbs();
    ASSERT_EQ(tbs[1], 0x81);
    ASSERT_LT(tbs[2], 0xC0);
    tbs[2] += 0x40;
    ExactBuffer longer(seq({tbs, base.outerSignature, base.signatureValue}));
    expectNothingFound(longer.data(), longer.size());
    // A subject whose RDN reaches past the Name: the name is not shown, the
    // fields after it still are.
    CertParts parts;
    parts.subject = hex("30 05 31 7F 30 03 06");
    ExactBuffer badName(parts.build());
    EXPECT_STREQ(CCertInfo::getSubject(badName.data(), badName.size()), "");
    EXPECT_STREQ(CCertInfo::getPkOID(badName.data(), badName.size()), "1.2.840.113549.1.1.1");
}

TEST(CertGettersMalformed, IndefiniteLengthsNeverClosed) {
    Bytes open;
    for (int i = 0; i < 200; ++i) open.insert(open.end(), {0x30, 0x80});
    ExactBuffer b(open);
    expectNothingFound(b.data(), b.size());
}

TEST(CertGettersMalformed, ExtensionsOfTheWrongShape) {
    CertParts parts;
    parts.extensions = tlv(0xA3, octets(hex("30 00")));  // no SEQUENCE inside [3]
    ExactBuffer notList(parts.build());
    EXPECT_EQ(CCertInfo::getExtensionNum(notList.data(), notList.size()), 0);
    EXPECT_STREQ(CCertInfo::getExtensionOID(notList.data(), notList.size(), 0), "");
    EXPECT_STREQ(CCertInfo::getExtensionValue(notList.data(), notList.size(), 0), "");

    parts.extensions = tlv(0xA3, seq({seq({oid("2.5.29.14")}),                       // no extnValue
                                      seq({octets(hex("01")), octets(hex("02"))}),  // no extnID
                                      seq({oid("2.5.29.14"), octets(octets(hex("AB")))})}));
    ExactBuffer shapes(parts.build());
    EXPECT_EQ(CCertInfo::getExtensionNum(shapes.data(), shapes.size()), 3);
    EXPECT_STREQ(CCertInfo::getExtensionOID(shapes.data(), shapes.size(), 0), "2.5.29.14");
    EXPECT_STREQ(CCertInfo::getExtensionValue(shapes.data(), shapes.size(), 0), "");
    EXPECT_STREQ(CCertInfo::getExtensionOID(shapes.data(), shapes.size(), 1), "");
    EXPECT_STREQ(CCertInfo::getExtensionValue(shapes.data(), shapes.size(), 1), "");
    EXPECT_STREQ(CCertInfo::getExtensionOID(shapes.data(), shapes.size(), 2), "2.5.29.14");
    EXPECT_STREQ(CCertInfo::getExtensionValue(shapes.data(), shapes.size(), 2), "AB");

    parts.extensions = tlv(0xA3, Bytes{});  // empty [3]
    ExactBuffer empty(parts.build());
    EXPECT_EQ(CCertInfo::getExtensionNum(empty.data(), empty.size()), 0);
    EXPECT_STREQ(CCertInfo::getExtensionOID(empty.data(), empty.size(), 0), "");
}

TEST(CertGettersMalformed, PublicKeysOfTheWrongShape) {
    const Bytes rsa = seq({oid("1.2.840.113549.1.1.1"), nullElement()});
    const Bytes ec = seq({oid("1.2.840.10045.2.1"), oid("1.2.840.10045.3.1.7")});
    auto keyFields = [](const Bytes& publicKey) {
        CertParts parts;
        parts.publicKey = publicKey;
        return parts.build();
    };
    // The BIT STRING does not hold an RSAPublicKey SEQUENCE.
    ExactBuffer notSequence(keyFields(seq({rsa, tlv(0x03, hex("00 04 02 01 02"))})));
    EXPECT_STREQ(CCertInfo::getPkOID(notSequence.data(), notSequence.size()), "1.2.840.113549.1.1.1");
    EXPECT_STREQ(CCertInfo::getPkMod(notSequence.data(), notSequence.size()), "");
    EXPECT_EQ(CCertInfo::getPublicKey(notSequence.data(), notSequence.size()), nullptr);
    EXPECT_EQ(CCertInfo::getPublicKeySize(notSequence.data(), notSequence.size()), -1);
    EXPECT_EQ(CCertInfo::getPublicKeyBits(notSequence.data(), notSequence.size()), -1);
    // Modulus without exponent, and a modulus without content.
    ExactBuffer noExponent(keyFields(seq({rsa, tlv(0x03, cat({hex("00"), seq({integer(hex("00 B1 B2"))})}))})));
    EXPECT_STREQ(CCertInfo::getPkMod(noExponent.data(), noExponent.size()), "B1B2");
    EXPECT_STREQ(CCertInfo::getPkExp(noExponent.data(), noExponent.size()), "");
    ExactBuffer emptyModulus(keyFields(seq({rsa, tlv(0x03, cat({hex("00"), seq({hex("02 00"), integer(hex("03"))})}))})));
    EXPECT_STREQ(CCertInfo::getPkMod(emptyModulus.data(), emptyModulus.size()), "");
    EXPECT_EQ(CCertInfo::getPkLen(emptyModulus.data(), emptyModulus.size()), 0);
    EXPECT_EQ(CCertInfo::getPublicKeyBits(emptyModulus.data(), emptyModulus.size()), -1);
    EXPECT_STREQ(CCertInfo::getPkExp(emptyModulus.data(), emptyModulus.size()), "3");
    // An RSAPublicKey that is not wrapped in a BIT STRING is taken as it is.
    ExactBuffer unwrapped(keyFields(seq({rsa, seq({integer(hex("00 D1")), integer(hex("03"))})})));
    EXPECT_STREQ(CCertInfo::getPkMod(unwrapped.data(), unwrapped.size()), "D1");
    // EC without curve, and with an empty BIT STRING.
    ExactBuffer noCurve(keyFields(seq({seq({oid("1.2.840.10045.2.1")}), tlv(0x03, hex("00 04 01 02"))})));
    EXPECT_STREQ(CCertInfo::getPkExp(noCurve.data(), noCurve.size()), "");
    EXPECT_STREQ(CCertInfo::getPkMod(noCurve.data(), noCurve.size()), "040102");
    ExactBuffer emptyPoint(keyFields(seq({ec, hex("03 00")})));
    EXPECT_STREQ(CCertInfo::getPkMod(emptyPoint.data(), emptyPoint.size()), "");
    EXPECT_EQ(CCertInfo::getPublicKeyBits(emptyPoint.data(), emptyPoint.size()), 2);
    // EC whose key is no BIT STRING; algorithm without OID.
    ExactBuffer octetKey(keyFields(seq({ec, octets(hex("04 01 02"))})));
    EXPECT_EQ(CCertInfo::getPublicKey(octetKey.data(), octetKey.size()), nullptr);
    ExactBuffer noOid(keyFields(seq({seq({nullElement()}), tlv(0x03, hex("00 04"))})));
    EXPECT_STREQ(CCertInfo::getPkOID(noOid.data(), noOid.size()), "");
    EXPECT_STREQ(CCertInfo::getPkMod(noOid.data(), noOid.size()), "");
}

TEST(CertGettersMalformed, TimesThatCannotBeRead) {
    auto withValidity = [](const Bytes& validity) {
        CertParts parts;
        parts.validity = validity;
        return parts.build();
    };
    const Bytes good = tlv(0x17, "240101000000Z");
    for (const Bytes& bad : {integer(hex("01")), hex("17 00"), tlv(0x17, "abc"), tlv(0x18, "2024"),
                             tlv(0x17, "24"), tlv(0x0C, "240101000000Z")}) {
        SCOPED_TRACE(kivo::test::toHex(bad));
        ExactBuffer b(withValidity(seq({bad, bad})));
        EXPECT_EQ(CCertInfo::getNotBefore(b.data(), b.size()), 0);
        EXPECT_EQ(CCertInfo::getNotAfter(b.data(), b.size()), 0);
    }
    // Only one time: no notAfter.
    ExactBuffer single(withValidity(seq({good})));
    EXPECT_NE(CCertInfo::getNotBefore(single.data(), single.size()), 0);
    EXPECT_EQ(CCertInfo::getNotAfter(single.data(), single.size()), 0);
    // A time of minute precision is read with zero seconds.
    kivo::test::ScopedTimeZone utc("UTC0");
    ExactBuffer minutes(withValidity(seq({tlv(0x17, "2401010000Z"), tlv(0x18, "202401010000Z")})));
    EXPECT_EQ(CCertInfo::getNotBefore(minutes.data(), minutes.size()), 1704067200);
    EXPECT_EQ(CCertInfo::getNotAfter(minutes.data(), minutes.size()), 1704067200);
}

TEST(CertGettersMalformed, OtherFieldsOfTheWrongType) {
    CertParts parts;
    parts.version = tlv(0xA0, octets(hex("02")));
    parts.signatureValue = octets(hex("00 AA"));
    parts.outerSignature = seq({integer(hex("01"))});
    ExactBuffer b(parts.build());
    EXPECT_STREQ(CCertInfo::getVersion(b.data(), b.size()), "");
    EXPECT_STREQ(CCertInfo::getCertSigValue(b.data(), b.size()), "");
    EXPECT_STREQ(CCertInfo::getCertSigOID(b.data(), b.size()), "");
    EXPECT_STREQ(CCertInfo::getSubject(b.data(), b.size()), "commonName=Hostile");

    // A serial that is no INTEGER stops the locator there.
    CertParts badSerial;
    badSerial.serial = octets(hex("01"));
    ExactBuffer s(badSerial.build());
    EXPECT_STREQ(CCertInfo::getSerialNum(s.data(), s.size()), "");
    EXPECT_STREQ(CCertInfo::getSubject(s.data(), s.size()), "");
}

TEST(CertGettersMalformed, TextsTooLongForTheResultBuffer) {
    // A signature of 2100 octets gives 4200 hex digits: more than a result
    // buffer holds, so the getter refuses rather than cut it.
    CertParts parts;
    parts.signatureValue = tlv(0x03, Bytes(2101, 0x5A));
    ExactBuffer b(parts.build());
    EXPECT_STREQ(CCertInfo::getCertSigValue(b.data(), b.size()), "");
    parts.signatureValue = tlv(0x03, Bytes(2048, 0x5A));  // 2047 octets: 4094 digits fit
    ExactBuffer fits(parts.build());
    EXPECT_EQ(std::string(CCertInfo::getCertSigValue(fits.data(), fits.size())).size(), 4094u);
}

TEST(AttrCertGettersMalformed, HostileAttributeCertificates) {
    // Attributes that are not SEQUENCEs, an attributes list that is empty.
    auto info = [](const Bytes& attributes) {
        return seq({seq({tlv(0xA0, cat({seq({tlv(0xA4, name({{"2.5.4.3", "Base"}}))}), integer(hex("05"))})),
                         seq({tlv(0xA4, name({{"2.5.4.3", "AA"}}))}),
                         seq({oid("1.2.840.10045.4.3.2")}), integer(hex("07")),
                         seq({tlv(0x18, "20240101000000Z"), tlv(0x18, "20250101000000Z")}), attributes}),
                    seq({oid("1.2.840.10045.4.3.2")}), tlv(0x03, hex("00 01"))});
    };
    ExactBuffer notSequences(info(seq({octets(hex("01")), set({utf8("x")})})));
    EXPECT_EQ(CCertInfo::A_getAttributeNum(notSequences.data(), notSequences.size()), 0);
    EXPECT_STREQ(CCertInfo::A_getAttributeOID(notSequences.data(), notSequences.size(), 0), "");
    EXPECT_STREQ(CCertInfo::A_getAttributeValue(notSequences.data(), notSequences.size(), 1), "");
    EXPECT_STREQ(CCertInfo::A_getSerial(notSequences.data(), notSequences.size()), "7");

    ExactBuffer empty(info(seq({})));
    EXPECT_EQ(CCertInfo::A_getAttributeNum(empty.data(), empty.size()), 0);
    EXPECT_STREQ(CCertInfo::A_getAttributeOID(empty.data(), empty.size(), 0), "");

    // A holder serial and serial that are empty INTEGERs.
    ExactBuffer emptySerial(
        hex("30 1B 30 14 A0 0A 30 06 A4 04 30 02 31 00 02 00 30 00 30 02 06 00 02 00 30 00 03 01 00"));
    EXPECT_STREQ(CCertInfo::A_getSerial(emptySerial.data(), emptySerial.size()), "");
    EXPECT_STREQ(CCertInfo::A_getSubjectSerial(emptySerial.data(), emptySerial.size()), "");
}
