// Agreement with OpenSSL on every CA certificate of the system store
// (/etc/ssl/certs, package ca-certificates): the fields found with the
// locators and rendered with the text functions match what OpenSSL parses
// out of the same DER.

#include <gtest/gtest.h>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>

#include "tests/asn1/DerTestUtil.h"
#include "asn1/Asn1Der.h"
#include "tests/support/SystemCerts.h"
#include "tests/support/TestSupport.h"

using namespace kivo::test::der;
using kivo::test::toHex;

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
    const unsigned char* data = ASN1_STRING_get0_data(s);
    return Bytes(data, data + ASN1_STRING_length(s));
}

template <typename T, typename Encoder>
Bytes encoded(T* object, Encoder encode) {
    unsigned char* der = nullptr;
    const int length = encode(object, &der);
    Bytes out;
    if (length > 0) out.assign(der, der + length);
    OPENSSL_free(der);
    return out;
}

struct Attribute {
    int rdn;
    std::string dotted;
    int type;
    Bytes value;
    bool operator==(const Attribute&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Attribute& a) {
    return out << a.rdn << ":" << a.dotted << ":" << a.type << ":" << toHex(a.value);
}

// The attributes of a Name walked with the cursor functions.
std::vector<Attribute> walkName(const Asn1Cursor& name) {
    std::vector<Attribute> out;
    Asn1Cursor rdn = name;
    if (!Asn1Enter(rdn.ptr, &rdn) || rdn.size == 0) return out;
    int index = 0;
    do {
        EXPECT_EQ(Asn1Tag(rdn.ptr), 17u);
        Asn1Cursor atv = rdn;
        if (Asn1Enter(atv.ptr, &atv) && atv.size != 0) {
            do {
                Asn1Cursor part = atv;
                EXPECT_TRUE(Asn1Enter(part.ptr, &part));
                Attribute a{index, Asn1OidToText(part.ptr, part.size, false), 0, {}};
                EXPECT_TRUE(Asn1Next(part.ptr, &part));
                a.type = static_cast<int>(Asn1Tag(part.ptr));
                a.value = contentOf(part);
                out.push_back(a);
            } while (Asn1Next(atv.ptr, &atv));
        }
        ++index;
    } while (Asn1Next(rdn.ptr, &rdn));
    return out;
}

// The same attributes as OpenSSL parsed them.
std::vector<Attribute> opensslName(const X509_NAME* name) {
    std::vector<Attribute> out;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
        out.push_back({X509_NAME_ENTRY_set(entry), dottedOf(X509_NAME_ENTRY_get_object(entry)),
                       ASN1_STRING_type(data), stringBytes(data)});
    }
    return out;
}

// The line Asn1NameToText should give, built from OpenSSL's entries.
std::string expectedNameLine(const std::vector<Attribute>& attributes, bool* complete) {
    std::string line;
    *complete = true;
    for (std::size_t i = 0; i < attributes.size(); ++i) {
        const Attribute& a = attributes[i];
        if (i > 0) line += ", ";
        const char* name = OidToName(a.dotted.c_str());
        line += name != nullptr ? name : a.dotted;
        line += '=';
        if (a.type == V_ASN1_BMPSTRING) {
            for (std::size_t k = 0; k + 1 < a.value.size(); k += 2) {
                line += a.value[k] == 0 ? static_cast<char>(a.value[k + 1]) : '?';
            }
        } else if (a.type == V_ASN1_UTF8STRING || a.type == V_ASN1_PRINTABLESTRING ||
                   a.type == V_ASN1_T61STRING || a.type == V_ASN1_IA5STRING) {
            line.append(a.value.begin(), a.value.end());
        } else {
            *complete = false;
            break;
        }
    }
    return line.size() < kivo::asn1::kTextBufferSize ? line : std::string();
}

struct Tally {
    int certificates = 0;
    int bmpValues = 0;
    int otherValueTypes = 0;
    int generalizedTimes = 0;
    int versionOne = 0;
    int withExtensions = 0;
};

void checkName(const ExactBuffer& cert, int id, const X509_NAME* name, Tally* tally) {
    SCOPED_TRACE(id == 103 ? "issuer" : "subject");
    Asn1Cursor c;
    ASSERT_TRUE(CertFieldLocate(cert.data(), cert.size(), id, &c));
    EXPECT_EQ(Bytes(c.ptr, c.ptr + c.size), encoded(const_cast<X509_NAME*>(name), i2d_X509_NAME));
    const std::vector<Attribute> ours = walkName(c);
    const std::vector<Attribute> theirs = opensslName(name);
    EXPECT_EQ(ours, theirs);
    bool complete = true;
    const std::string expected = expectedNameLine(theirs, &complete);
    EXPECT_EQ(Asn1NameToText(c.ptr, c.size), expected);
    for (const Attribute& a : theirs) {
        if (a.type == V_ASN1_BMPSTRING) ++tally->bmpValues;
    }
    if (!complete) ++tally->otherValueTypes;
}

void checkTime(const Asn1Cursor& c, const ASN1_TIME* time, Tally* tally) {
    ASSERT_EQ(static_cast<int>(Asn1Tag(c.ptr)), ASN1_STRING_type(time));
    EXPECT_EQ(contentOf(c), stringBytes(time));
    std::tm tm{};
    ASSERT_EQ(ASN1_TIME_to_tm(time, &tm), 1);
    char date[48];
    std::snprintf(date, sizeof date, "%02d.%02d.%04d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
    EXPECT_STREQ(Asn1DateText(c.ptr, c.size), date);
    if (Asn1Tag(c.ptr) == V_ASN1_UTCTIME) {
        const Bytes text = contentOf(c);
        EXPECT_EQ(ParseUtcTimeText(std::string(text.begin(), text.end())), timegm(&tm));
    } else {
        ++tally->generalizedTimes;
    }
}

void checkCertificate(X509* x509, Tally* tally) {
    const Bytes der = derOf(x509);
    ASSERT_FALSE(der.empty());
    ExactBuffer cert(der);
    Asn1Cursor c;

    // version
    const long version = X509_get_version(x509);
    if (CertFieldLocate(cert.data(), cert.size(), 100, &c)) {
        ASSERT_TRUE(Asn1Enter(c.ptr, &c));
        EXPECT_EQ(static_cast<long>(Asn1SmallInt(c.ptr, c.size)), version);
    } else {
        EXPECT_EQ(version, 0);
        ++tally->versionOne;
    }

    // serialNumber: the content octets, a leading 00 included
    ASSERT_TRUE(CertFieldLocate(cert.data(), cert.size(), 105, &c));
    const Bytes serialDer = encoded(X509_get_serialNumber(x509), i2d_ASN1_INTEGER);
    EXPECT_EQ(Bytes(c.ptr, c.ptr + c.size), serialDer);
    const unsigned char* q = serialDer.data();
    long length = 0;
    int tag = 0, xclass = 0;
    ASN1_get_object(&q, &length, &tag, &xclass, static_cast<long>(serialDer.size()));
    EXPECT_EQ(Asn1ContentHex(c.ptr, c.size), toHex(q, static_cast<std::size_t>(length)));

    // signature algorithm
    ASSERT_TRUE(CertFieldLocate(cert.data(), cert.size(), 104, &c));
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, X509_get0_tbs_sigalg(x509));
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(Asn1OidToText(c.ptr, c.size, false), dottedOf(algorithm));

    checkName(cert, 103, X509_get_issuer_name(x509), tally);
    checkName(cert, 101, X509_get_subject_name(x509), tally);

    // validity
    ASSERT_TRUE(CertFieldLocate(cert.data(), cert.size(), 106, &c));
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    checkTime(c, X509_get0_notBefore(x509), tally);
    ASSERT_TRUE(Asn1Next(c.ptr, &c));
    checkTime(c, X509_get0_notAfter(x509), tally);
    EXPECT_FALSE(Asn1Next(c.ptr, &c));

    // subjectPublicKeyInfo
    ASSERT_TRUE(CertFieldLocate(cert.data(), cert.size(), 112, &c));
    X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(x509);
    EXPECT_EQ(Bytes(c.ptr, c.ptr + c.size), encoded(publicKey, i2d_X509_PUBKEY));
    const ASN1_OBJECT* keyAlgorithm = nullptr;
    X509_PUBKEY_get0_param(const_cast<ASN1_OBJECT**>(&keyAlgorithm), nullptr, nullptr, nullptr, publicKey);
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(Asn1OidToText(c.ptr, c.size, false), dottedOf(keyAlgorithm));

    // unique identifiers
    const ASN1_BIT_STRING* issuerUid = nullptr;
    const ASN1_BIT_STRING* subjectUid = nullptr;
    X509_get0_uids(x509, &issuerUid, &subjectUid);
    EXPECT_EQ(CertFieldLocate(cert.data(), cert.size(), 113, &c), issuerUid != nullptr);
    if (issuerUid != nullptr) {
        EXPECT_EQ(Asn1BitStringHex(c.ptr, c.size), toHex(stringBytes(issuerUid)));
    }
    EXPECT_EQ(CertFieldLocate(cert.data(), cert.size(), 114, &c), subjectUid != nullptr);
    if (subjectUid != nullptr) {
        EXPECT_EQ(Asn1BitStringHex(c.ptr, c.size), toHex(stringBytes(subjectUid)));
    }

    // extensions: count, and each extnID, critical flag and extnValue
    const int extensionCount = X509_get_ext_count(x509);
    const bool haveExtensions = CertFieldLocate(cert.data(), cert.size(), 111, &c);
    EXPECT_EQ(haveExtensions, extensionCount > 0);
    if (!haveExtensions) return;
    ++tally->withExtensions;
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));  // [3] -> Extensions SEQUENCE
    EXPECT_EQ(Asn1CountSequences(c.ptr, c.size), static_cast<std::uint32_t>(extensionCount));
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    for (int i = 0; i < extensionCount; ++i) {
        SCOPED_TRACE("extension " + std::to_string(i));
        X509_EXTENSION* extension = X509_get_ext(x509, i);
        Asn1Cursor part = c;
        ASSERT_TRUE(Asn1Enter(part.ptr, &part));
        EXPECT_EQ(Asn1OidToText(part.ptr, part.size, false), dottedOf(X509_EXTENSION_get_object(extension)));
        ASSERT_TRUE(Asn1Next(part.ptr, &part));
        bool critical = false;
        if (Asn1Tag(part.ptr) == 1) {
            critical = Asn1Bool(part.ptr, part.size);
            ASSERT_TRUE(Asn1Next(part.ptr, &part));
        }
        EXPECT_EQ(critical, X509_EXTENSION_get_critical(extension) != 0);
        EXPECT_EQ(Asn1Tag(part.ptr), 4u);
        EXPECT_EQ(Asn1ContentHex(part.ptr, part.size), toHex(stringBytes(X509_EXTENSION_get_data(extension))));
        EXPECT_EQ(Asn1Next(c.ptr, &c), i + 1 < extensionCount);
    }
}

struct EvpKeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using EvpKeyOwner = std::unique_ptr<EVP_PKEY, EvpKeyFree>;

void addEntry(X509_NAME* name, const char* field, int type, const std::string& value) {
    ASSERT_EQ(X509_NAME_add_entry_by_txt(name, field, type,
                                         reinterpret_cast<const unsigned char*>(value.data()),
                                         static_cast<int>(value.size()), -1, 0),
              1)
        << field;
}

// A certificate made with OpenSSL, with names of every value type the DN
// text knows (and one it does not), a serial with its high bit set, a
// GeneralizedTime notAfter; v1 without extensions when `versionOne`.
X509Ptr makeCertificate(EVP_PKEY* key, bool versionOne) {
    X509Ptr x509(X509_new());
    X509_set_version(x509.get(), versionOne ? 0 : 2);
    BIGNUM* serial = nullptr;
    BN_hex2bn(&serial, "80112233445566778899AABBCCDDEEFF");
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x509.get()));
    BN_free(serial);
    ASN1_TIME_set(X509_getm_notBefore(x509.get()), 1770025277);  // 2026-02-02 09:41:17
    ASN1_TIME_set(X509_getm_notAfter(x509.get()), 2556143999);   // 2050-12-31 23:59:59

    X509_NAME* issuer = X509_get_issuer_name(x509.get());
    addEntry(issuer, "C", V_ASN1_PRINTABLESTRING, "DE");
    addEntry(issuer, "O", V_ASN1_T61STRING, "M\xFCnchen Trust");
    addEntry(issuer, "CN", V_ASN1_BMPSTRING, std::string("\0K\0\xF6\0l\x20\xAC", 8));
    X509_NAME* subject = X509_get_subject_name(x509.get());
    addEntry(subject, "C", V_ASN1_PRINTABLESTRING, "DE");
    addEntry(subject, "emailAddress", V_ASN1_IA5STRING, "signer@example.de");
    addEntry(subject, "SN", V_ASN1_UTF8STRING, "M\xC3\xBCller");
    addEntry(subject, "1.3.36.8.3.14", V_ASN1_UTF8STRING, "Schmidt");
    addEntry(subject, "2.5.4.97", V_ASN1_UTF8STRING, "VATDE-123");  // not in the registry
    addEntry(subject, "title", V_ASN1_UNIVERSALSTRING, std::string("\0\0\0A", 4));
    addEntry(subject, "CN", V_ASN1_UTF8STRING, "after the stop");

    X509_set_pubkey(x509.get(), key);
    if (!versionOne) {
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, x509.get(), x509.get(), nullptr, nullptr, 0);
        for (const auto& [name, value] :
             {std::pair{"basicConstraints", "critical,CA:TRUE"}, std::pair{"keyUsage", "critical,keyCertSign"},
              std::pair{"subjectKeyIdentifier", "hash"},
              std::pair{"subjectAltName", "email:signer@example.de,URI:http://example.de"}}) {
            X509_EXTENSION* extension = X509V3_EXT_conf(nullptr, &context, name, value);
            if (extension == nullptr) return nullptr;
            X509_add_ext(x509.get(), extension, -1);
            X509_EXTENSION_free(extension);
        }
    }
    if (X509_sign(x509.get(), key, EVP_sha256()) == 0) return nullptr;
    return x509;
}

// A certificate with issuer and subject unique identifiers, which OpenSSL
// reads but cannot make: assembled by hand around a real public key.
X509Ptr certificateWithUniqueIds(EVP_PKEY* key) {
    const Bytes publicKey = encoded(key, i2d_PUBKEY);
    const Bytes algorithm = seq({oid("1.2.840.10045.4.3.2")});
    const Bytes name = seq({rdn("2.5.4.3", 0x0C, "Unique")});
    const Bytes tbs = seq({tlv(0xA0, hex("02 01 01")), hex("02 01 05"), algorithm, name,
                           seq({tlv(0x17, "260202094117Z"), tlv(0x17, "360202094117Z")}), name, publicKey,
                           tlv(0x81, hex("00 01 02 03")), tlv(0x82, hex("04 A0 B0"))});
    const Bytes der = seq({tbs, algorithm, tlv(0x03, hex("00 30 06 02 01 01 02 01 01"))});
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

}  // namespace

TEST(DerOpenSslAgreement, GeneratedCertificatesWithEveryValueType) {
    EvpKeyOwner key(EVP_EC_gen("P-256"));
    ASSERT_TRUE(key);
    Tally tally;
    X509Ptr full = makeCertificate(key.get(), false);
    ASSERT_TRUE(full);
    checkCertificate(full.get(), &tally);
    X509Ptr versionOne = makeCertificate(key.get(), true);
    ASSERT_TRUE(versionOne);
    checkCertificate(versionOne.get(), &tally);
    X509Ptr uids = certificateWithUniqueIds(key.get());
    ASSERT_TRUE(uids);
    checkCertificate(uids.get(), &tally);
    EXPECT_EQ(tally.versionOne, 1);
    EXPECT_EQ(tally.bmpValues, 2);
    EXPECT_EQ(tally.generalizedTimes, 2);
    EXPECT_EQ(tally.otherValueTypes, 2);  // the UniversalString title, in two subjects
    EXPECT_EQ(tally.withExtensions, 1);

    // The DN lines themselves, spelled out once.
    const Bytes der = derOf(full.get());
    Asn1Cursor c;
    ASSERT_TRUE(CertFieldLocate(der.data(), static_cast<std::uint32_t>(der.size()), 103, &c));
    EXPECT_STREQ(Asn1NameToText(c.ptr, c.size),
                 "countryName=DE, organizationName=M\xFCnchen Trust, commonName=K\xF6l?");
    ASSERT_TRUE(CertFieldLocate(der.data(), static_cast<std::uint32_t>(der.size()), 101, &c));
    EXPECT_STREQ(Asn1NameToText(c.ptr, c.size),
                 "countryName=DE, emailAddress=signer@example.de, surname=M\xC3\xBCller, "
                 "id-isismtt-at-nameAtBirth=Schmidt, 2.5.4.97=VATDE-123, title=");
    ASSERT_TRUE(CertFieldLocate(der.data(), static_cast<std::uint32_t>(der.size()), 105, &c));
    EXPECT_STREQ(Asn1ContentHex(c.ptr, c.size), "0080112233445566778899AABBCCDDEEFF");
}

TEST(DerOpenSslAgreement, EverySystemCaCertificate) {
    Tally tally;
    for (const auto& c : kivo::test::systemCertificates()) {
        SCOPED_TRACE(c.file);
        checkCertificate(c.x509.get(), &tally);
        ++tally.certificates;
    }
    std::cout << "[ certificates checked: " << tally.certificates << " (version 1: " << tally.versionOne
              << ", with extensions: " << tally.withExtensions << ", BMPString values: " << tally.bmpValues
              << ", GeneralizedTime: " << tally.generalizedTimes
              << ", names with other value types: " << tally.otherValueTypes << ") ]\n";
    EXPECT_GE(tally.certificates, static_cast<int>(kivo::test::kMinimumSystemCertificates))
        << "is the package ca-certificates installed?";
}
