// Bad input for the getters, one representative per rule (arbitrary octets
// are left to fuzz/fuzz_cert_getters.cpp): each gives the getter's failure
// value, and every input lies in a heap block of its exact size, so that
// AddressSanitizer sees a read past the end.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "CertInfoSSL.h"
#include "tests/cert/CertGetterTestUtil.h"
#include "tests/support/TestSupport.h"
#include "tools/testpki/Pki.h"

using namespace kivo::test::certs;

namespace {

// The failure value of every getter: empty texts, zero counts and dates,
// no key element.
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
const Bytes kEc = seq({oid("1.2.840.10045.2.1"), oid("1.2.840.10045.3.1.7")});

Bytes rsaKey(const Bytes& rsaPublicKey) { return seq({kRsa, tlv(0x03, cat({hex("00"), rsaPublicKey}))}); }

std::string extensionAt(unsigned char* p, unsigned long n, int index) {
    return shown(CCertInfo::getExtensionOID(p, n, index)) + "|" + CCertInfo::getExtensionValue(p, n, index);
}

template <class A, class B>
Getter both(A (*first)(unsigned char*, unsigned long), B (*second)(unsigned char*, unsigned long)) {
    return joined({getter(first), getter(second)});
}

}  // namespace

TEST(CertGettersMalformed, BrokenStructureFindsNothing) {
    expectNothingFound(nullptr, 4096);
    auto key = kivo::test::generateKey(kivo::test::KeyKind::EcP256);
    kivo::test::CertOptions request;
    request.subjectKey = key.get();
    const Bytes real = kivo::test::derOf(kivo::test::makeCertificate(request).get());
    CertParts longerTbs;
    Bytes tbs = longerTbs.tbs();
    tbs[2] += 0x40;  // TBSCertificate longer than the Certificate around it
    Bytes open;
    for (int i = 0; i < 200; ++i) open.insert(open.end(), {0x30, 0x80});
    const std::pair<const char*, Bytes> inputs[] = {
        {"empty", {}},
        {"cut in the middle", Bytes(real.begin(), real.begin() + static_cast<long>(real.size() / 2))},
        {"one octet short", Bytes(real.begin(), real.end() - 1)},
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
    const struct {
        const char* what;
        Change change;
        Getter read;
        const char* expected;
    } cases[] = {
        {"an RDN past its Name hides the name, not the fields after it",
         [](CertParts& c) { c.subject = hex("30 05 31 7F 30 03 06"); },
         both(CCertInfo::getSubject, CCertInfo::getPkOID),
         "|1.2.840.113549.1.1.1"},
        {"a serial that is no INTEGER stops the locator", [](CertParts& c) { c.serial = octets(hex("01")); },
         getter(CCertInfo::getSubject), ""},
        {"text too long for the result", [](CertParts& c) { c.signatureValue = tlv(0x03, Bytes(2101, 0x5A)); },
         getter(CCertInfo::getCertSigValue), ""},
        {"key BIT STRING without RSAPublicKey", [](CertParts& c) { c.publicKey = seq({kRsa, tlv(0x03, hex("00 04 02 01 02"))}); },
         getter(CCertInfo::getPublicKeyBits), "-1"},
        {"empty modulus", [](CertParts& c) { c.publicKey = rsaKey(seq({hex("02 00"), integer(hex("03"))})); },
         both(CCertInfo::getPkMod, CCertInfo::getPublicKeyBits),
         "|-1"},
        {"EC without curve", [](CertParts& c) { c.publicKey = seq({seq({oid("1.2.840.10045.2.1")}), tlv(0x03, hex("00 04 01 02"))}); },
         both(CCertInfo::getPkMod, CCertInfo::getPkExp),
         "040102|"},
        {"extension without extnValue, without extnID, and a good one",
         [](CertParts& c) {
             c.extensions = tlv(0xA3, seq({seq({oid("2.5.29.14")}), seq({octets(hex("01")), octets(hex("02"))}),
                                           seq({oid("2.5.29.14"), octets(octets(hex("AB")))})}));
         },
         [](unsigned char* p, unsigned long n) {
             return shown(CCertInfo::getExtensionNum(p, n)) + " " + extensionAt(p, n, 0) + " " + extensionAt(p, n, 1) +
                    " " + extensionAt(p, n, 2);
         },
         "3 2.5.29.14| | 2.5.29.14|AB"},
        {"time of the wrong type", [](CertParts& c) { c.validity = seq({integer(hex("01")), integer(hex("01"))}); },
         getter(CCertInfo::getNotBefore), "0"},
        {"only one time", [](CertParts& c) { c.validity = seq({tlv(0x17, "240101000000Z")}); },
         getter(CCertInfo::getNotAfter), "0"},
        {"minute precision reads zero seconds",
         [](CertParts& c) { c.validity = seq({tlv(0x17, "2401010000Z"), tlv(0x18, "202401010000Z")}); },
         both(CCertInfo::getNotBefore, CCertInfo::getNotAfter),
         "1704067200|1704067200"},
    };
    kivo::test::ScopedTimeZone utc("UTC0");
    for (const auto& c : cases) {
        CertParts parts;
        c.change(parts);
        ExactBuffer b(parts.build());
        EXPECT_EQ(c.read(b.data(), b.size()), c.expected) << c.what;
    }
}
