// Agreement with OpenSSL over every CA certificate of the system store: the
// fields found with the locators and rendered with the text functions
// match what OpenSSL parses out of the same DER.

#include "tests/asn1/DerTestUtil.h"

#include "asn1/Asn1Der.h"
#include "tests/support/SystemCerts.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>

using namespace kivo::test::der;

namespace {

std::string dottedOf(const ASN1_OBJECT* object) {
    char text[256] = {};
    OBJ_obj2txt(text, sizeof text, object, 1);
    return text;
}

Bytes stringBytes(const ASN1_STRING* s) {
    return Bytes(ASN1_STRING_get0_data(s), ASN1_STRING_get0_data(s) + ASN1_STRING_length(s));
}

// The line Asn1NameToText should give, built from OpenSSL's entries: the
// rendering stops after "type=" at a value type it does not know.
std::string expectedNameLine(const X509_NAME* name) {
    std::string line;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
        const std::string dotted = dottedOf(X509_NAME_ENTRY_get_object(entry));
        const Bytes value = stringBytes(data);
        line += (i > 0 ? ", " : "") + std::string(OidToNameOrSelf(dotted.c_str())) + "=";
        const int type = ASN1_STRING_type(data);
        if (type == V_ASN1_BMPSTRING) {
            for (std::size_t k = 0; k + 1 < value.size(); k += 2) line += value[k] == 0 ? char(value[k + 1]) : '?';
        } else if (type == V_ASN1_UTF8STRING || type == V_ASN1_PRINTABLESTRING || type == V_ASN1_T61STRING ||
                   type == V_ASN1_IA5STRING) {
            line.append(value.begin(), value.end());
        } else {
            break;
        }
    }
    return line.size() < kivo::asn1::kTextBufferSize ? line : std::string();
}

// A validity time as a date line, and a UTCTime as seconds.
void expectTime(const Asn1Cursor& c, const ASN1_TIME* time) {
    EXPECT_EQ(Bytes(c.ptr, c.ptr + c.size), opensslDer(time, i2d_ASN1_TIME));
    std::tm tm{};
    ASSERT_EQ(ASN1_TIME_to_tm(time, &tm), 1);
    char date[48];
    std::snprintf(date, sizeof date, "%02d.%02d.%04d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
    EXPECT_STREQ(Asn1DateText(c.ptr, c.size), date);
    const std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(time)), ASN1_STRING_length(time));
    if (ASN1_STRING_type(time) == V_ASN1_UTCTIME) {
        EXPECT_EQ(ParseUtcTimeText(text), timegm(&tm)) << text;
    }
}

void expectAgreement(X509* x509) {
    const ExactBuffer cert(kivo::test::derOf(x509));
    Asn1Cursor c;
    const auto field = [&](int id) { return CertFieldLocate(cert.data(), cert.size(), id, &c); };
    const auto located = [&] { return Bytes(c.ptr, c.ptr + c.size); };
    EXPECT_EQ(field(100) && Asn1Enter(c.ptr, &c) ? long(Asn1SmallInt(c.ptr, c.size)) : 0L, X509_get_version(x509));
    ASSERT_TRUE(field(105));  // the serial's content octets, a leading 00 included
    const Bytes serial = opensslDer(X509_get_serialNumber(x509), i2d_ASN1_INTEGER);
    EXPECT_EQ(located(), serial);
    EXPECT_EQ(Asn1ContentHex(c.ptr, c.size), toHex(serial).substr(serial[1] < 0x80 ? 4 : 2 * (2 + (serial[1] & 0x7F))));
    ASSERT_TRUE(field(104));
    EXPECT_EQ(located(), opensslDer(X509_get0_tbs_sigalg(x509), i2d_X509_ALGOR));
    for (const auto& [id, name] : {std::pair{103, X509_get_issuer_name(x509)}, std::pair{101, X509_get_subject_name(x509)}}) {
        ASSERT_TRUE(field(id));
        EXPECT_EQ(located(), opensslDer(name, i2d_X509_NAME)) << id;
        EXPECT_EQ(Asn1NameToText(c.ptr, c.size), expectedNameLine(name)) << id;
    }
    ASSERT_TRUE(field(106) && Asn1Enter(c.ptr, &c));
    expectTime(c, X509_get0_notBefore(x509));
    ASSERT_TRUE(Asn1Next(c.ptr, &c));
    expectTime(c, X509_get0_notAfter(x509));
    ASSERT_TRUE(field(112));
    EXPECT_EQ(located(), opensslDer(X509_get_X509_PUBKEY(x509), i2d_X509_PUBKEY));
    EXPECT_FALSE(field(113) || field(114));  // OpenSSL cannot make unique identifiers; none is in the store
    // Extensions: each extnID, critical flag and extnValue.
    const int count = X509_get_ext_count(x509);
    ASSERT_EQ(field(111) && Asn1Enter(c.ptr, &c) ? int(Asn1CountSequences(c.ptr, c.size)) : 0, count);
    for (int i = 0; i < count && (i > 0 ? Asn1Next(c.ptr, &c) : Asn1Enter(c.ptr, &c)); ++i) {
        X509_EXTENSION* extension = X509_get_ext(x509, i);
        Asn1Cursor part = c;
        ASSERT_TRUE(Asn1Enter(part.ptr, &part));
        EXPECT_EQ(Asn1OidToText(part.ptr, part.size, false), dottedOf(X509_EXTENSION_get_object(extension))) << i;
        ASSERT_TRUE(Asn1Next(part.ptr, &part));
        const bool critical = Asn1Tag(part.ptr) == 1 && Asn1Bool(part.ptr, part.size);
        EXPECT_EQ(critical, X509_EXTENSION_get_critical(extension) != 0) << i;
        ASSERT_TRUE(Asn1Tag(part.ptr) != 1 || Asn1Next(part.ptr, &part));
        EXPECT_EQ(Asn1ContentHex(part.ptr, part.size), toHex(stringBytes(X509_EXTENSION_get_data(extension)))) << i;
    }
}

}  // namespace

TEST(DerOpenSslAgreement, EverySystemCaCertificate) {
    const auto& certificates = kivo::test::systemCertificates();
    ASSERT_GE(certificates.size(), kivo::test::kMinimumSystemCertificates) << "is ca-certificates installed?";
    for (const auto& c : certificates) {
        SCOPED_TRACE(c.file);
        expectAgreement(c.x509.get());
    }
}
