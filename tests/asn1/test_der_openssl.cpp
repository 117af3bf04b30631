// Agreement with OpenSSL, over every CA certificate of the system store and
// over certificates made with every value type the name text knows: the
// fields found with the locators and rendered with the text functions
// match what OpenSSL parses out of the same DER.

#include "tests/asn1/DerTestUtil.h"

#include "asn1/Asn1Der.h"
#include "tests/support/SystemCerts.h"
#include "tests/support/TestSupport.h"

#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

using namespace kivo::test::der;

namespace {

std::string dottedOf(const ASN1_OBJECT* object) {
    char text[256];
    const int n = OBJ_obj2txt(text, sizeof text, object, 1);
    return n > 0 && n < static_cast<int>(sizeof text) ? std::string(text) : std::string();
}

Bytes contentOf(const Asn1Cursor& c) {
    std::uint32_t offset = 0;
    const std::uint32_t length = Asn1GetLength(c.ptr, &offset, c.size);
    return Bytes(c.ptr + offset, c.ptr + offset + length);
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

// A Name walked with the cursor: per attribute its RDN index, type, value
// identifier and value, as OpenSSL's entries give them.
void expectNameWalk(Asn1Cursor rdn, const X509_NAME* name) {
    int entry = 0;
    ASSERT_TRUE(Asn1Enter(rdn.ptr, &rdn));
    for (int set = 0; rdn.size != 0; ++set) {
        Asn1Cursor atv = rdn;
        ASSERT_TRUE(Asn1Enter(atv.ptr, &atv) && atv.size != 0);
        do {
            const X509_NAME_ENTRY* theirs = X509_NAME_get_entry(name, entry++);
            ASSERT_NE(theirs, nullptr);
            Asn1Cursor part = atv;
            ASSERT_TRUE(Asn1Enter(part.ptr, &part));
            EXPECT_EQ(Asn1OidToText(part.ptr, part.size, false), dottedOf(X509_NAME_ENTRY_get_object(theirs)));
            ASSERT_TRUE(Asn1Next(part.ptr, &part));
            EXPECT_EQ(int(Asn1Tag(part.ptr)), ASN1_STRING_type(X509_NAME_ENTRY_get_data(theirs)));
            EXPECT_EQ(contentOf(part), stringBytes(X509_NAME_ENTRY_get_data(theirs)));
            EXPECT_EQ(X509_NAME_ENTRY_set(theirs), set);
        } while (Asn1Next(atv.ptr, &atv));
        if (!Asn1Next(rdn.ptr, &rdn)) break;
    }
    EXPECT_EQ(entry, X509_NAME_entry_count(name));
}

void expectTime(const Asn1Cursor& c, const ASN1_TIME* time) {
    ASSERT_EQ(int(Asn1Tag(c.ptr)), ASN1_STRING_type(time));
    EXPECT_EQ(contentOf(c), stringBytes(time));
    std::tm tm{};
    ASSERT_EQ(ASN1_TIME_to_tm(time, &tm), 1);
    char date[48];
    std::snprintf(date, sizeof date, "%02d.%02d.%04d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
    EXPECT_STREQ(Asn1DateText(c.ptr, c.size), date);
    const Bytes text = contentOf(c);
    if (Asn1Tag(c.ptr) == V_ASN1_UTCTIME) {
        EXPECT_EQ(ParseUtcTimeText(std::string(text.begin(), text.end())), timegm(&tm));
    }
}

void expectAgreement(X509* x509) {
    const ExactBuffer cert(kivo::test::derOf(x509));
    const auto field = [&](int id, Asn1Cursor* c) { return CertFieldLocate(cert.data(), cert.size(), id, c); };
    Asn1Cursor c;
    if (field(100, &c)) {
        ASSERT_TRUE(Asn1Enter(c.ptr, &c));
        EXPECT_EQ(long(Asn1SmallInt(c.ptr, c.size)), X509_get_version(x509));
    } else {
        EXPECT_EQ(X509_get_version(x509), 0);
    }
    ASSERT_TRUE(field(105, &c));  // the serial's content octets, a leading 00 included
    const Bytes serial = opensslDer(X509_get_serialNumber(x509), i2d_ASN1_INTEGER);
    EXPECT_EQ(Bytes(c.ptr, c.ptr + c.size), serial);
    const unsigned char* content = serial.data();
    long length = 0;
    int tag = 0, xclass = 0;
    ASN1_get_object(&content, &length, &tag, &xclass, long(serial.size()));
    EXPECT_EQ(Asn1ContentHex(c.ptr, c.size), toHex(content, std::size_t(length)));
    ASSERT_TRUE(field(104, &c) && Asn1Enter(c.ptr, &c));
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, X509_get0_tbs_sigalg(x509));
    EXPECT_EQ(Asn1OidToText(c.ptr, c.size, false), dottedOf(algorithm));
    for (const auto& [id, name] :
         {std::pair{103, X509_get_issuer_name(x509)}, std::pair{101, X509_get_subject_name(x509)}}) {
        SCOPED_TRACE(id == 103 ? "issuer" : "subject");
        ASSERT_TRUE(field(id, &c));
        EXPECT_EQ(Bytes(c.ptr, c.ptr + c.size), opensslDer(name, i2d_X509_NAME));
        expectNameWalk(c, name);
        EXPECT_EQ(Asn1NameToText(c.ptr, c.size), expectedNameLine(name));
    }
    ASSERT_TRUE(field(106, &c) && Asn1Enter(c.ptr, &c));
    expectTime(c, X509_get0_notBefore(x509));
    ASSERT_TRUE(Asn1Next(c.ptr, &c));
    expectTime(c, X509_get0_notAfter(x509));
    EXPECT_FALSE(Asn1Next(c.ptr, &c));

    ASSERT_TRUE(field(112, &c));
    X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(x509);
    EXPECT_EQ(Bytes(c.ptr, c.ptr + c.size), opensslDer(publicKey, i2d_X509_PUBKEY));
    ASN1_OBJECT* keyAlgorithm = nullptr;
    X509_PUBKEY_get0_param(&keyAlgorithm, nullptr, nullptr, nullptr, publicKey);
    ASSERT_TRUE(Asn1Enter(c.ptr, &c) && Asn1Enter(c.ptr, &c));
    EXPECT_EQ(Asn1OidToText(c.ptr, c.size, false), dottedOf(keyAlgorithm));

    const ASN1_BIT_STRING* uids[2] = {};
    X509_get0_uids(x509, &uids[0], &uids[1]);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(field(113 + i, &c), uids[i] != nullptr) << 113 + i;
        if (uids[i] != nullptr) {
            EXPECT_EQ(Asn1BitStringHex(c.ptr, c.size), toHex(stringBytes(uids[i])));
        }
    }

    // Extensions: count, and each extnID, critical flag and extnValue.
    const int count = X509_get_ext_count(x509);
    ASSERT_EQ(field(111, &c), count > 0);
    if (count == 0) return;
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(Asn1CountSequences(c.ptr, c.size), std::uint32_t(count));
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* extension = X509_get_ext(x509, i);
        Asn1Cursor part = c;
        ASSERT_TRUE(Asn1Enter(part.ptr, &part));
        EXPECT_EQ(Asn1OidToText(part.ptr, part.size, false), dottedOf(X509_EXTENSION_get_object(extension))) << i;
        ASSERT_TRUE(Asn1Next(part.ptr, &part));
        const bool critical = Asn1Tag(part.ptr) == 1 && Asn1Bool(part.ptr, part.size);
        if (Asn1Tag(part.ptr) == 1) {
            ASSERT_TRUE(Asn1Next(part.ptr, &part));
        }
        EXPECT_EQ(critical, X509_EXTENSION_get_critical(extension) != 0) << i;
        EXPECT_EQ(Asn1Tag(part.ptr), 4u);
        EXPECT_EQ(Asn1ContentHex(part.ptr, part.size), toHex(stringBytes(X509_EXTENSION_get_data(extension)))) << i;
        EXPECT_EQ(Asn1Next(c.ptr, &c), i + 1 < count);
    }
}

// A certificate made with OpenSSL, with names of every value type the name
// text knows (and one it does not), a serial with its high bit set and a
// GeneralizedTime notAfter; version 1 without extensions when `versionOne`.
X509Ptr makeCertificate(EVP_PKEY* key, bool versionOne) {
    X509Ptr x509(X509_new());
    X509_set_version(x509.get(), versionOne ? 0 : 2);
    BIGNUM* serial = nullptr;
    BN_hex2bn(&serial, "80112233445566778899AABBCCDDEEFF");
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x509.get()));
    BN_free(serial);
    ASN1_TIME_set(X509_getm_notBefore(x509.get()), 1770025277);  // 2026-02-02 09:41:17
    ASN1_TIME_set(X509_getm_notAfter(x509.get()), 2556143999);   // 2050-12-31 23:59:59
    const auto add = [](X509_NAME* name, const char* field, int type, const std::string& value) {
        X509_NAME_add_entry_by_txt(name, field, type, reinterpret_cast<const unsigned char*>(value.data()),
                                   int(value.size()), -1, 0);
    };
    X509_NAME* issuer = X509_get_issuer_name(x509.get());
    add(issuer, "C", V_ASN1_PRINTABLESTRING, "DE");
    add(issuer, "O", V_ASN1_T61STRING, "M\xFCnchen Trust");
    add(issuer, "CN", V_ASN1_BMPSTRING, std::string("\0K\0\xF6\0l\x20\xAC", 8));
    X509_NAME* subject = X509_get_subject_name(x509.get());
    add(subject, "emailAddress", V_ASN1_IA5STRING, "signer@example.de");
    add(subject, "SN", V_ASN1_UTF8STRING, "M\xC3\xBCller");
    add(subject, "1.3.36.8.3.14", V_ASN1_UTF8STRING, "Schmidt");
    add(subject, "2.5.4.97", V_ASN1_UTF8STRING, "VATDE-123");  // not in the registry
    add(subject, "title", V_ASN1_UNIVERSALSTRING, std::string("\0\0\0A", 4));
    add(subject, "CN", V_ASN1_UTF8STRING, "after the stop");
    X509_set_pubkey(x509.get(), key);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, x509.get(), x509.get(), nullptr, nullptr, 0);
    for (const auto& [name, value] :
         {std::pair{"basicConstraints", "critical,CA:TRUE"}, std::pair{"keyUsage", "critical,keyCertSign"},
          std::pair{"subjectAltName", "email:signer@example.de,URI:http://example.de"}}) {
        X509_EXTENSION* extension = versionOne ? nullptr : X509V3_EXT_conf(nullptr, &context, name, value);
        if (extension != nullptr) X509_add_ext(x509.get(), extension, -1);
        X509_EXTENSION_free(extension);
    }
    if (X509_sign(x509.get(), key, EVP_sha256()) == 0) return nullptr;
    return x509;
}

// A certificate with issuer and subject unique identifiers, which OpenSSL
// reads but cannot make: assembled by hand around a real public key.
X509Ptr certificateWithUniqueIds(EVP_PKEY* key) {
    const Bytes algorithm = seq({oid("1.2.840.10045.4.3.2")});
    const Bytes name = seq({rdn("2.5.4.3", 0x0C, "Unique")});
    const Bytes tbs = seq({tlv(0xA0, hex("02 01 01")), hex("02 01 05"), algorithm, name,
                           seq({tlv(0x17, "260202094117Z"), tlv(0x17, "360202094117Z")}), name,
                           opensslDer(key, i2d_PUBKEY), tlv(0x81, hex("00 01 02 03")), tlv(0x82, hex("04 A0 B0"))});
    const Bytes der = seq({tbs, algorithm, tlv(0x03, hex("00 30 06 02 01 01 02 01 01"))});
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, long(der.size())));
}

}  // namespace

TEST(DerOpenSslAgreement, GeneratedCertificatesWithEveryValueType) {
    const kivo::test::EvpKeyPtr key(EVP_EC_gen("P-256"));
    ASSERT_TRUE(key);
    const X509Ptr certificates[] = {makeCertificate(key.get(), false), makeCertificate(key.get(), true),
                                    certificateWithUniqueIds(key.get())};
    for (const X509Ptr& x509 : certificates) {
        ASSERT_TRUE(x509);
        expectAgreement(x509.get());
    }
    // The name lines themselves, spelled out once.
    const Bytes der = kivo::test::derOf(certificates[0].get());
    const std::pair<int, const char*> lines[] = {
        {103, "countryName=DE, organizationName=M\xFCnchen Trust, commonName=K\xF6l?"},
        {101, "emailAddress=signer@example.de, surname=M\xC3\xBCller, id-isismtt-at-nameAtBirth=Schmidt, "
              "2.5.4.97=VATDE-123, title="},
        {105, "0080112233445566778899AABBCCDDEEFF"},
    };
    for (const auto& [id, line] : lines) {
        Asn1Cursor c;
        ASSERT_TRUE(CertFieldLocate(der.data(), der.size(), id, &c));
        EXPECT_STREQ(id == 105 ? Asn1ContentHex(c.ptr, c.size) : Asn1NameToText(c.ptr, c.size), line);
    }
}

TEST(DerOpenSslAgreement, EverySystemCaCertificate) {
    const auto& certificates = kivo::test::systemCertificates();
    ASSERT_GE(certificates.size(), kivo::test::kMinimumSystemCertificates) << "is ca-certificates installed?";
    for (const auto& c : certificates) {
        SCOPED_TRACE(c.file);
        expectAgreement(c.x509.get());
    }
}
