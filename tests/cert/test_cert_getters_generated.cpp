// The certificate getters on certificates made by OpenSSL in the test:
// RSA and EC keys, serial numbers with a leading zero octet, the two-digit
// year boundary, names with unregistered attribute types, and the renderer
// each extension kind is handed to.

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <functional>
#include <limits>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "tests/cert/AttrCertBuilder.h"
#include "tests/cert/CertGetterTestUtil.h"
#include "CertInfoSSL.h"
#include "tests/cert/RendererTable.h"
#include "asn1/Asn1Der.h"
#include "tests/support/LogCapture.h"
#include "tools/testpki/Pki.h"
#include "tests/support/TestSupport.h"

using namespace kivo::test::certs;
using kivo::test::CertOptions;
using kivo::test::KeyKind;
using kivo::test::ScopedTimeZone;
using kivo::test::toHex;

namespace {

constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

Bytes der(X509* cert) { return kivo::test::derOf(cert); }

Bytes certificate(KeyKind kind, CertOptions request = {}) {
    auto key = kivo::test::generateKey(kind);
    request.subjectKey = key.get();
    return der(kivo::test::makeCertificate(request).get());
}

// 1950-01-01 00:00:00 and 2049-12-31 23:59:59 UTC.
constexpr std::time_t kStartOf1950 = -631152000;
constexpr std::time_t kEndOf2049 = 2524607999;

}  // namespace

// ---- public key ---------------------------------------------------------------------

TEST(CertGettersKeys, KeyFieldsOfEveryKind) {
    // RSA: modulus without its sign octet, exponent in hex, the
    // RSAPublicKey SEQUENCE; EC: the point, the curve OID, the BIT STRING
    // element; RSASSA-PSS keys have an algorithm of their own, which the
    // key getters do not read.
    const struct {
        KeyKind kind;
        const char* algorithm;
        const char* certificateSignature;
        const char* exponent;
        int pkLen, bits, size;
        const char* keyStart;  // first octets of the element getPublicKey points at
        std::size_t keyStartOffset;
    } cases[] = {
        {KeyKind::Rsa2048, "1.2.840.113549.1.1.1", "1.2.840.113549.1.1.11", "10001", 2048, 256, 270, "02 82 01 01 00", 4},
        {KeyKind::Rsa3072, "1.2.840.113549.1.1.1", "1.2.840.113549.1.1.11", "10001", 3072, 384, 398, "02 82 01 81 00", 4},
        {KeyKind::EcP256, "1.2.840.10045.2.1", "1.2.840.10045.4.3.2", "1.2.840.10045.3.1.7", 520, 68, 68, "03 42 00 04", 0},
        {KeyKind::EcP384, "1.2.840.10045.2.1", "1.2.840.10045.4.3.2", "1.3.132.0.34", 776, 100, 100, "03 62 00 04", 0},
        {KeyKind::RsaPss2048, "1.2.840.113549.1.1.10", "1.2.840.113549.1.1.10", "", 0, -1, -1, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kivo::test::keyKindName(c.kind));
        auto key = kivo::test::generateKey(c.kind);
        CertOptions request;
        request.subjectKey = key.get();
        ExactBuffer b(der(kivo::test::makeCertificate(request).get()));
        EXPECT_STREQ(CCertInfo::getPkOID(b.data(), b.size()), c.algorithm);
        EXPECT_STREQ(CCertInfo::getCertSigOID(b.data(), b.size()), c.certificateSignature);
        EXPECT_STREQ(CCertInfo::getPkExp(b.data(), b.size()), c.exponent);
        EXPECT_EQ(CCertInfo::getPkLen(b.data(), b.size()), c.pkLen);
        EXPECT_EQ(CCertInfo::getPublicKeyBits(b.data(), b.size()), c.bits);
        EXPECT_EQ(CCertInfo::getPublicKeySize(b.data(), b.size()), c.size);
        const unsigned char* publicKey = CCertInfo::getPublicKey(b.data(), b.size());
        // The modulus or point as OpenSSL has it.
        Bytes expected;
        if (c.kind == KeyKind::Rsa2048 || c.kind == KeyKind::Rsa3072) {
            BIGNUM* n = nullptr;
            ASSERT_EQ(EVP_PKEY_get_bn_param(key.get(), "n", &n), 1);
            expected.resize(static_cast<std::size_t>(BN_num_bytes(n)));
            BN_bn2bin(n, expected.data());
            BN_free(n);
            ASSERT_NE(publicKey, nullptr);
            EXPECT_EQ(publicKey[0], 0x30);
        } else if (c.kind != KeyKind::RsaPss2048) {
            unsigned char pub[133];
            std::size_t pubLength = 0;
            ASSERT_EQ(EVP_PKEY_get_octet_string_param(key.get(), "pub", pub, sizeof pub, &pubLength), 1);
            expected.assign(pub, pub + pubLength);
        }
        EXPECT_EQ(CCertInfo::getPkMod(b.data(), b.size()), toHex(expected));
        if (c.size < 0) {
            EXPECT_EQ(publicKey, nullptr);
            continue;
        }
        ASSERT_NE(publicKey, nullptr);
        const Bytes start = hex(c.keyStart);
        EXPECT_EQ(Bytes(publicKey + c.keyStartOffset, publicKey + c.keyStartOffset + start.size()), start);
    }
}

// ---- serial, version, names, signature ------------------------------------------------

TEST(CertGettersFields, SerialWithLeadingZeroOctet) {
    CertOptions request;
    request.serial = 0x80;  // INTEGER 00 80
    ExactBuffer small(certificate(KeyKind::EcP256, request));
    EXPECT_STREQ(CCertInfo::getSerialNum(small.data(), small.size()), "0080");
    EXPECT_STREQ(CCertInfo::S_getSerial(small.data(), small.size()), "0080");

    request.serial = 0x00FF123456789ABCL;  // INTEGER 00 FF 12 34 56 78 9A BC
    ExactBuffer large(certificate(KeyKind::EcP256, request));
    EXPECT_STREQ(CCertInfo::getSerialNum(large.data(), large.size()), "00FF123456789ABC");

    request.serial = 0x1234;
    ExactBuffer plain(certificate(KeyKind::EcP256, request));
    EXPECT_STREQ(CCertInfo::getSerialNum(plain.data(), plain.size()), "1234");
}

TEST(CertGettersFields, VersionIsTheEncodedValue) {
    ExactBuffer v3(certificate(KeyKind::EcP256));
    EXPECT_STREQ(CCertInfo::getVersion(v3.data(), v3.size()), "2");

    // A version 1 certificate has no version field and no extensions.
    auto key = kivo::test::generateKey(KeyKind::EcP256);
    kivo::test::X509Ptr v1(X509_new());
    X509_set_version(v1.get(), 0);
    ASN1_INTEGER_set(X509_get_serialNumber(v1.get()), 7);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(v1.get()), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("v1"), -1, -1, 0);
    X509_set_issuer_name(v1.get(), X509_get_subject_name(v1.get()));
    X509_gmtime_adj(X509_getm_notBefore(v1.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(v1.get()), 3600);
    X509_set_pubkey(v1.get(), key.get());
    ASSERT_GT(X509_sign(v1.get(), key.get(), EVP_sha256()), 0);
    ExactBuffer b(der(v1.get()));
    EXPECT_STREQ(CCertInfo::getVersion(b.data(), b.size()), "");
    EXPECT_EQ(CCertInfo::getExtensionNum(b.data(), b.size()), 0);
    EXPECT_STREQ(CCertInfo::getExtensionOID(b.data(), b.size(), 0), "");
    EXPECT_STREQ(CCertInfo::getExtensionValue(b.data(), b.size(), 0), "");
    EXPECT_STREQ(CCertInfo::getSubject(b.data(), b.size()), "commonName=v1");
    EXPECT_STREQ(CCertInfo::getSerialNum(b.data(), b.size()), "07");
}

TEST(CertGettersFields, NamesInCertificateOrder) {
    auto caKey = kivo::test::generateKey(KeyKind::Rsa2048);
    CertOptions caRequest;
    caRequest.subject = "/C=DE/O=Kivo Test/OU=Zertifizierung/CN=Kivo Test CA";
    caRequest.subjectKey = caKey.get();
    caRequest.isCa = true;
    auto ca = kivo::test::makeCertificate(caRequest);

    auto key = kivo::test::generateKey(KeyKind::EcP256);
    CertOptions request;
    request.subject = "/C=DE/ST=Bayern/L=M\xC3\xBCnchen/O=Beispiel GmbH/CN=Erika Mustermann/"
                   "serialNumber=4711/emailAddress=erika@example.test";
    request.subjectKey = key.get();
    request.issuerCert = ca.get();
    request.issuerKey = caKey.get();
    ExactBuffer b(der(kivo::test::makeCertificate(request).get()));

    EXPECT_STREQ(CCertInfo::getSubject(b.data(), b.size()),
                 "countryName=DE, stateOrProvinceName=Bayern, localityName=M\xC3\xBCnchen, "
                 "organizationName=Beispiel GmbH, commonName=Erika Mustermann, serialNumber=4711, "
                 "emailAddress=erika@example.test");
    const std::string issuer = "countryName=DE, organizationName=Kivo Test, "
                               "organizationalUnitName=Zertifizierung, commonName=Kivo Test CA";
    EXPECT_EQ(CCertInfo::getIssuer(b.data(), b.size()), issuer);
    EXPECT_EQ(CCertInfo::S_getIssuerName(b.data(), b.size()), issuer);
    EXPECT_STREQ(CCertInfo::getSignaturOID(b.data(), b.size()), "1.2.840.113549.1.1.11");
    EXPECT_STREQ(CCertInfo::getCertSigOID(b.data(), b.size()), "1.2.840.113549.1.1.11");
    // An RSA 2048 signature: 256 octets.
    EXPECT_EQ(std::string(CCertInfo::getCertSigValue(b.data(), b.size())).size(), 512u);
}

TEST(CertGettersFields, UnregisteredAttributeTypeShowsItsDottedOid) {
    CertOptions request;
    request.subject = "/C=DE/1.3.6.1.4.1.99999.7=Wert/2.5.4.97=VATDE-123/CN=Signer";
    ExactBuffer b(certificate(KeyKind::EcP256, request));
    EXPECT_STREQ(CCertInfo::getSubject(b.data(), b.size()),
                 "countryName=DE, 1.3.6.1.4.1.99999.7=Wert, 2.5.4.97=VATDE-123, commonName=Signer");
}

// ---- validity -------------------------------------------------------------------------

TEST(CertGettersDates, FieldsAreTakenAsLocalStandardTime) {
    // UTCTime 500101000000Z and 491231235959Z around the two-digit year
    // boundary; a summer date, and a GeneralizedTime from 2050 on. Central
    // European standard time is one hour ahead of UTC, and the fields are
    // taken as standard time whatever the season.
    const std::pair<std::time_t, std::time_t> validities[] = {{kStartOf1950, kEndOf2049}, {1719835200, 2556143999}};
    for (const auto& [notBefore, notAfter] : validities) {
        CertOptions request;
        request.notBefore = notBefore;
        request.notAfter = notAfter;
        ExactBuffer b(certificate(KeyKind::EcP256, request));
        for (const auto& [zone, offset] : {std::pair{"UTC0", 0}, std::pair{kCentralEurope, 3600}}) {
            ScopedTimeZone scoped(zone);
            EXPECT_EQ(CCertInfo::getNotBefore(b.data(), b.size()), notBefore - offset) << zone;
            EXPECT_EQ(CCertInfo::getNotAfter(b.data(), b.size()), notAfter - offset) << zone;
        }
    }
}

TEST(CertGettersDates, LogsResultOnLeaving) {
    CertOptions request;
    request.notBefore = 1700000000;
    request.notAfter = 1800000000;
    ExactBuffer b(certificate(KeyKind::EcP256, request));
    ScopedTimeZone utc("UTC0");
    kivo::test::LogCapture capture(CCertInfo::m_logger);
    EXPECT_EQ(CCertInfo::getNotBefore(b.data(), b.size()), 1700000000);
    EXPECT_EQ(CCertInfo::getNotAfter(b.data(), b.size()), 1800000000);
    const auto messages = capture.messages();
    EXPECT_EQ(messages, (std::vector<std::string>{"entering getNotBefore", "leaving getNotBefore: 1700000000",
                                                  "entering getNotAfter", "leaving getNotAfter: 1800000000"}));
}

// ---- extensions -------------------------------------------------------------------------

namespace {

std::string derExtension(const Bytes& value) { return "DER:" + toHex(value); }

// A certificate with one extension of every kind the getters render, one
// without renderer (OCSP no-check) and one unknown to everybody.
struct ExtensionCertificate {
    kivo::test::X509Ptr x509;
    Bytes der;
};

ExtensionCertificate extensionCertificate() {
    static const ExtensionCertificate* built = [] {
        auto caKey = kivo::test::generateKey(KeyKind::EcP256);
        CertOptions caRequest;
        caRequest.subject = "/C=DE/CN=Extension CA";
        caRequest.subjectKey = caKey.get();
        caRequest.isCa = true;
        auto ca = kivo::test::makeCertificate(caRequest);

        auto key = kivo::test::generateKey(KeyKind::Rsa2048);
        CertOptions request;
        request.subject = "/C=DE/CN=Extension Holder";
        request.subjectKey = key.get();
        request.issuerCert = ca.get();
        request.issuerKey = caKey.get();
        request.extensions = {
            {"keyUsage", "critical,digitalSignature,nonRepudiation"},
            {"crlDistributionPoints", "URI:http://crl.example.test/ca.crl"},
            {"authorityInfoAccess",
             "OCSP;URI:http://ocsp.example.test,caIssuers;URI:http://ca.example.test/ca.crt"},
            {"certificatePolicies", derExtension(seq({seq({oid("1.3.36.8.1.1")})}))},
            {"1.3.6.1.5.5.7.1.3", derExtension(qcStatementsValue())},
            {"1.3.36.8.3.8", derExtension(utf8("Nur fuer Testzwecke"))},
            {"1.3.36.8.3.15", derExtension(utf8("Zusatzinformation"))},
            {"subjectAltName", "email:erika@example.test,DNS:signer.example.test"},
            {"issuerAltName", "DNS:ca.example.test"},
            {"nsBaseUrl", "http://base.example.test/"},
            {"nsCaPolicyUrl", "http://policy.example.test/"},
            {"extendedKeyUsage", "OCSPSigning"},
            {"1.3.36.8.3.3", derExtension(admissionValue())},
            {"1.3.36.8.3.6", derExtension(octets(hex("89 49 01 23 45 67 89 01 23 45")))},
            {"noCheck", "ignored"},
            {"1.2.3.4.5.6", "DER:0500"},
            {"basicConstraints", "critical,CA:FALSE"},
        };
        auto cert = kivo::test::makeCertificate(request);
        Bytes bytes = der(cert.get());
        return new ExtensionCertificate{std::move(cert), std::move(bytes)};
    }();
    X509_up_ref(built->x509.get());
    return {kivo::test::X509Ptr(built->x509.get()), built->der};
}

int indexOf(X509* cert, const char* dotted) {
    ASN1_OBJECT* object = OBJ_txt2obj(dotted, 1);
    const int index = X509_get_ext_by_OBJ(cert, object, -1);
    ASN1_OBJECT_free(object);
    return index;
}

}  // namespace

TEST(CertGettersExtensions, EachExtnIdGoesToItsRenderer) {
    const ExtensionCertificate cert = extensionCertificate();
    ExactBuffer b(cert.der);
    const int count = X509_get_ext_count(cert.x509.get());
    ASSERT_EQ(count, 19);  // subject and authority key identifiers come first
    ASSERT_EQ(CCertInfo::getExtensionNum(b.data(), b.size()), count);
    int rendered = 0;
    for (int i = 0; i < count; ++i) {
        char dotted[128];
        OBJ_obj2txt(dotted, sizeof dotted, X509_EXTENSION_get_object(X509_get_ext(cert.x509.get(), i)), 1);
        SCOPED_TRACE(dotted);
        EXPECT_STREQ(CCertInfo::getExtensionOID(b.data(), b.size(), i), dotted);

        unsigned char* extensionDer = nullptr;
        const int length = i2d_X509_EXTENSION(X509_get_ext(cert.x509.get(), i), &extensionDer);
        const std::size_t offset = find(b.data(), b.size(), Bytes(extensionDer, extensionDer + length));
        OPENSSL_free(extensionDer);
        ASSERT_NE(offset, std::string::npos);
        const auto input = afterOid(b.data() + offset, b.size() - offset);
        ASSERT_TRUE(input);

        const std::string value = CCertInfo::getExtensionValue(b.data(), b.size(), i);
        const DirectRenderer render = certificateRenderer(dotted);
        if (render) {
            EXPECT_EQ(value, render(input->element, input->length));
            EXPECT_FALSE(value.empty());
            ++rendered;
        } else {
            EXPECT_EQ(value, "");
        }
    }
    EXPECT_EQ(rendered, 16);  // all but OCSP no-check, the unknown OID and basicConstraints
}

TEST(CertGettersExtensions, ValuesOfSimpleKinds) {
    const ExtensionCertificate cert = extensionCertificate();
    ExactBuffer b(cert.der);
    auto value = [&](const char* dotted) {
        const int index = indexOf(cert.x509.get(), dotted);
        EXPECT_GE(index, 0) << dotted;
        return std::string(CCertInfo::getExtensionValue(b.data(), b.size(), index));
    };
    const ASN1_OCTET_STRING* keyId = X509_get0_subject_key_id(cert.x509.get());
    EXPECT_EQ(value("2.5.29.14"), toHex(ASN1_STRING_get0_data(keyId), ASN1_STRING_length(keyId)));
    EXPECT_EQ(value("2.5.29.15"), "C0");  // critical flag skipped
    EXPECT_EQ(value("1.3.36.8.3.8"), "Nur fuer Testzwecke");
    EXPECT_EQ(value("1.3.36.8.3.15"), "Zusatzinformation");
    EXPECT_EQ(value("2.5.29.32"), "1.3.36.8.1.1");
    EXPECT_EQ(value("2.5.29.37"), "OID={1.3.6.1.5.5.7.3.9=OCSPSigning}");
    EXPECT_EQ(value("1.3.36.8.3.6"), "89490123456789012345");
    EXPECT_EQ(value("2.16.840.1.113730.1.2"), "URI={http://base.example.test/}");
}

TEST(CertGettersExtensions, NoCheckAndUnknownShowTheOidWithoutValue) {
    const ExtensionCertificate cert = extensionCertificate();
    ExactBuffer b(cert.der);
    for (const char* dotted : {"1.3.6.1.5.5.7.48.1.5", "1.2.3.4.5.6", "2.5.29.19"}) {
        const int index = indexOf(cert.x509.get(), dotted);
        ASSERT_GE(index, 0) << dotted;
        EXPECT_STREQ(CCertInfo::getExtensionOID(b.data(), b.size(), index), dotted);
        EXPECT_STREQ(CCertInfo::getExtensionValue(b.data(), b.size(), index), "") << dotted;
    }
}

TEST(CertGettersExtensions, IndexBeyondTheListOrNegative) {
    const ExtensionCertificate cert = extensionCertificate();
    ExactBuffer b(cert.der);
    const int count = CCertInfo::getExtensionNum(b.data(), b.size());
    for (int index : {count, count + 1, 1000, std::numeric_limits<int>::max()}) {
        EXPECT_STREQ(CCertInfo::getExtensionOID(b.data(), b.size(), index), "") << index;
        EXPECT_STREQ(CCertInfo::getExtensionValue(b.data(), b.size(), index), "") << index;
    }
    // Moving a negative number of times does not move: the first extension.
    const std::string first = CCertInfo::getExtensionOID(b.data(), b.size(), 0);
    EXPECT_EQ(CCertInfo::getExtensionOID(b.data(), b.size(), -1), first);
    EXPECT_EQ(CCertInfo::getExtensionOID(b.data(), b.size(), std::numeric_limits<int>::min()), first);
}

// ---- result buffers, logging, threads ---------------------------------------------------

TEST(CertGettersBuffers, EachGetterKeepsItsOwnResult) {
    CertOptions a;
    a.subject = "/CN=Erster";
    a.serial = 0x11;
    CertOptions b;
    b.subject = "/CN=Zweiter";
    b.serial = 0x22;
    ExactBuffer first(certificate(KeyKind::EcP256, a));
    ExactBuffer second(certificate(KeyKind::EcP256, b));

    // The signer lookup holds the S_ results while it runs the plain
    // getters over other certificates.
    const char* heldIssuer = CCertInfo::S_getIssuerName(first.data(), first.size());
    const char* heldSerial = CCertInfo::S_getSerial(first.data(), first.size());
    EXPECT_STREQ(CCertInfo::getIssuer(second.data(), second.size()), "commonName=Zweiter");
    EXPECT_STREQ(CCertInfo::getSerialNum(second.data(), second.size()), "22");
    EXPECT_STREQ(heldIssuer, "commonName=Erster");
    EXPECT_STREQ(heldSerial, "11");

    // The same getter returns the same buffer, overwritten by the next call.
    const char* subject = CCertInfo::getSubject(first.data(), first.size());
    EXPECT_EQ(CCertInfo::getSubject(second.data(), second.size()), subject);
    EXPECT_STREQ(subject, "commonName=Zweiter");
}

TEST(CertGettersBuffers, ExtensionOidIsTheOidTextBuffer) {
    const ExtensionCertificate cert = extensionCertificate();
    ExactBuffer b(cert.der);
    const char* oid = CCertInfo::getExtensionOID(b.data(), b.size(), 0);
    EXPECT_STREQ(oid, "2.5.29.14");
    // Rendering another OID overwrites it.
    const std::string signature = CCertInfo::getSignaturOID(b.data(), b.size());
    EXPECT_EQ(std::string(oid), signature);
    // A getter with its own buffer is not touched by that.
    const char* pkOid = CCertInfo::getPkOID(b.data(), b.size());
    CCertInfo::getExtensionOID(b.data(), b.size(), 1);
    EXPECT_STREQ(pkOid, "1.2.840.113549.1.1.1");
}

TEST(CertGettersBuffers, ResultBuffersArePerThread) {
    CertOptions a;
    a.subject = "/CN=Thread A";
    CertOptions b;
    b.subject = "/CN=Thread B";
    const Bytes first = certificate(KeyKind::EcP256, a);
    const Bytes second = certificate(KeyKind::EcP256, b);
    std::atomic<int> mismatches{0};
    auto run = [&](const Bytes& der, const char* expected) {
        ExactBuffer buffer(der);
        for (int i = 0; i < 500; ++i) {
            const char* subject = CCertInfo::getSubject(buffer.data(), buffer.size());
            const char* oid = CCertInfo::getExtensionOID(buffer.data(), buffer.size(), 0);
            if (std::string(subject) != expected || std::string(oid) != "2.5.29.14") ++mismatches;
        }
    };
    std::thread t1(run, std::cref(first), "commonName=Thread A");
    std::thread t2(run, std::cref(second), "commonName=Thread B");
    t1.join();
    t2.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(CertGettersLogging, GettersLogTheirEntryWithTheirLocation) {
    // One getter of each family and shape: plain and indexed, certificate
    // and attribute certificate.
    ExactBuffer b(certificate(KeyKind::EcP256));
    unsigned char* p = b.data();
    const unsigned long n = b.size();
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"getVersion", [&] { CCertInfo::getVersion(p, n); }},
        {"getExtensionValue", [&] { CCertInfo::getExtensionValue(p, n, 0); }},
        {"A_getSubject", [&] { CCertInfo::A_getSubject(p, n); }},
        {"A_getAttributeValue", [&] { CCertInfo::A_getAttributeValue(p, n, 0); }},
    };
    for (const auto& [name, call] : calls) {
        kivo::test::LogCapture capture(CCertInfo::m_logger);
        call();
        const auto events = capture.events();
        ASSERT_EQ(events.size(), 1u) << name;
        EXPECT_EQ(events[0].message, std::string("entering ") + name);
        EXPECT_EQ(events[0].level, "DEBUG");
        EXPECT_EQ(events[0].logger, "KivoCryptoSSL::CCertInfoSSL");
        EXPECT_EQ(events[0].className, "CCertInfo") << name;
        EXPECT_EQ(events[0].method, name);
        EXPECT_NE(events[0].fileName.find("CertInfo"), std::string::npos) << events[0].fileName;
    }
}

TEST(CertGettersLogging, IssuerNameAndSerialLogTheirResult) {
    CertOptions request;
    request.subject = "/CN=Logged";
    request.serial = 0x2A;
    ExactBuffer b(certificate(KeyKind::EcP256, request));
    kivo::test::LogCapture capture(CCertInfo::m_logger);
    CCertInfo::S_getIssuerName(b.data(), b.size());
    CCertInfo::S_getSerial(b.data(), b.size());
    EXPECT_EQ(capture.messages(),
              (std::vector<std::string>{"entering S_getIssuerName", "leaving S_getIssuerName: commonName=Logged",
                                        "entering S_getSerial", "leaving S_getSerial: 2A"}));
}

TEST(CertGettersInterface, EntryPointsWithoutFunctionReturnZero) {
    ExactBuffer b(certificate(KeyKind::Rsa2048));
    for (unsigned char* p : {b.data(), static_cast<unsigned char*>(nullptr)}) {
        EXPECT_EQ(CCertInfo::S_getHash(p, b.size()), nullptr);
        EXPECT_EQ(CCertInfo::S_getPublicKey(p, b.size()), nullptr);
        EXPECT_EQ(CCertInfo::getDisplayname(p, b.size()), nullptr);
        EXPECT_EQ(CCertInfo::getFingerprint(p, b.size()), nullptr);
        EXPECT_EQ(CCertInfo::getKeyUsage(p, b.size()), 0);
        EXPECT_EQ(CCertInfo::getSignatur(p, b.size()), nullptr);
    }
}
