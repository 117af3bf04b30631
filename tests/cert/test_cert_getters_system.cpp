// The certificate getters on every CA certificate of the system store
// (/etc/ssl/certs): each field agrees with what OpenSSL parses out of the
// same DER, and no getter fails badly on any of them.

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <ctime>
#include <iostream>
#include <map>
#include <string>

#include "tests/cert/CertGetterTestUtil.h"
#include "CertInfoSSL.h"
#include "tests/cert/RendererTable.h"
#include "tests/support/SystemCerts.h"
#include "tests/support/TestSupport.h"

using namespace kivo::test::certs;
using kivo::test::ScopedTimeZone;
using kivo::test::toHex;

namespace {

std::string dottedOf(const ASN1_OBJECT* object) {
    char text[256];
    const int n = OBJ_obj2txt(text, sizeof text, object, 1);
    return n > 0 && n < static_cast<int>(sizeof text) ? std::string(text) : std::string();
}

// Names of DN attribute types as the library's OID registry gives them.
std::string dnTypeName(const std::string& dotted) {
    static const std::map<std::string, std::string> kNames = {
        {"2.5.4.1", "aliasedEntryName"},  {"2.5.4.2", "knowldgeinformation"},
        {"2.5.4.3", "commonName"},        {"2.5.4.4", "surname"},
        {"2.5.4.5", "serialNumber"},      {"2.5.4.6", "countryName"},
        {"2.5.4.7", "localityName"},      {"2.5.4.8", "stateOrProvinceName"},
        {"2.5.4.9", "streetAddress"},     {"2.5.4.10", "organizationName"},
        {"2.5.4.11", "organizationalUnitName"}, {"2.5.4.12", "title"},
        {"2.5.4.13", "description"},      {"2.5.4.16", "postalAddress"},
        {"2.5.4.42", "givenname"},        {"2.5.4.65", "pseudonym"},
        {"1.2.840.113549.1.9.1", "emailAddress"}, {"0.2.262.1.10.7.20", "nameDistinguisher"},
    };
    const auto it = kNames.find(dotted);
    return it != kNames.end() ? it->second : dotted;
}

// The DN text of a Name as OpenSSL sees its entries: "type=value" joined by
// ", "; string values byte for byte, a BMPString as Latin-1 ('?' from
// U+0100 on); a value of another type ends the text after its "type=".
std::string expectedDn(const X509_NAME* name) {
    std::string out;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        if (i > 0) out += ", ";
        out += dnTypeName(dottedOf(X509_NAME_ENTRY_get_object(entry))) + "=";
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
        const unsigned char* data = ASN1_STRING_get0_data(value);
        const int length = ASN1_STRING_length(value);
        switch (ASN1_STRING_type(value)) {
            case V_ASN1_UTF8STRING:
            case V_ASN1_PRINTABLESTRING:
            case V_ASN1_T61STRING:
            case V_ASN1_IA5STRING:
                out.append(reinterpret_cast<const char*>(data), length);
                break;
            case V_ASN1_BMPSTRING:
                for (int k = 0; k + 1 < length; k += 2) out += data[k] == 0 ? static_cast<char>(data[k + 1]) : '?';
                break;
            default:
                return out;
        }
    }
    return out;
}

Bytes encodedInteger(const ASN1_INTEGER* value) {
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_INTEGER(value, &der);
    Bytes out;
    if (length > 0) out.assign(der, der + length);
    OPENSSL_free(der);
    return out;
}

// Content octets of a DER element.
Bytes contentOf(const Bytes& element) {
    const auto header = readHeader(element.data(), element.size());
    if (!header) return {};
    return Bytes(element.begin() + static_cast<long>(header->headerSize), element.end());
}

std::string lowerHexOf(const BIGNUM* bn) {
    char* text = BN_bn2hex(bn);
    std::string out(text);
    OPENSSL_free(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto first = out.find_first_not_of('0');
    return first == std::string::npos ? "0" : out.substr(first);
}

struct Checked {
    int certificates = 0;
    int rsa = 0;
    int ec = 0;
    int other = 0;
    int extensions = 0;
};

void checkNames(const SystemCertificate& c, ExactBuffer& b) {
    EXPECT_EQ(CCertInfo::getSubject(b.data(), b.size()), expectedDn(X509_get_subject_name(c.x509.get())));
    EXPECT_EQ(CCertInfo::getIssuer(b.data(), b.size()), expectedDn(X509_get_issuer_name(c.x509.get())));
    EXPECT_STREQ(CCertInfo::S_getIssuerName(b.data(), b.size()), CCertInfo::getIssuer(b.data(), b.size()));
}

void checkSerialVersionSignature(const SystemCertificate& c, ExactBuffer& b) {
    const std::string serial = toHex(contentOf(encodedInteger(X509_get0_serialNumber(c.x509.get()))));
    EXPECT_EQ(CCertInfo::getSerialNum(b.data(), b.size()), serial);
    EXPECT_EQ(CCertInfo::S_getSerial(b.data(), b.size()), serial);

    const long version = X509_get_version(c.x509.get());
    // DER leaves out the default version 1, and then there is no field.
    EXPECT_EQ(CCertInfo::getVersion(b.data(), b.size()), version == 0 ? "" : std::to_string(version));

    const ASN1_BIT_STRING* signature = nullptr;
    const X509_ALGOR* outer = nullptr;
    X509_get0_signature(&signature, &outer, c.x509.get());
    const ASN1_OBJECT* outerOid = nullptr;
    X509_ALGOR_get0(&outerOid, nullptr, nullptr, outer);
    EXPECT_EQ(CCertInfo::getCertSigOID(b.data(), b.size()), dottedOf(outerOid));
    EXPECT_EQ(CCertInfo::getCertSigValue(b.data(), b.size()),
              toHex(ASN1_STRING_get0_data(signature), ASN1_STRING_length(signature)));
    const ASN1_OBJECT* innerOid = nullptr;
    X509_ALGOR_get0(&innerOid, nullptr, nullptr, X509_get0_tbs_sigalg(c.x509.get()));
    EXPECT_EQ(CCertInfo::getSignaturOID(b.data(), b.size()), dottedOf(innerOid));
}

void checkValidity(const SystemCertificate& c, ExactBuffer& b) {
    std::tm notBefore{};
    std::tm notAfter{};
    ASSERT_EQ(ASN1_TIME_to_tm(X509_get0_notBefore(c.x509.get()), &notBefore), 1);
    ASSERT_EQ(ASN1_TIME_to_tm(X509_get0_notAfter(c.x509.get()), &notAfter), 1);
    EXPECT_EQ(CCertInfo::getNotBefore(b.data(), b.size()), localRule(notBefore, true));
    EXPECT_EQ(CCertInfo::getNotAfter(b.data(), b.size()), localRule(notAfter, true));
    {
        // In UTC the rule gives the certificate's own instant.
        ScopedTimeZone utc("UTC0");
        EXPECT_EQ(CCertInfo::getNotBefore(b.data(), b.size()), static_cast<std::int64_t>(timegm(&notBefore)));
        EXPECT_EQ(CCertInfo::getNotAfter(b.data(), b.size()), static_cast<std::int64_t>(timegm(&notAfter)));
    }
}

void checkPublicKey(const SystemCertificate& c, ExactBuffer& b, Checked* checked) {
    const X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(c.x509.get());
    ASN1_OBJECT* algorithm = nullptr;
    const unsigned char* keyOctets = nullptr;
    int keyLength = 0;
    X509_ALGOR* parameters = nullptr;
    ASSERT_EQ(X509_PUBKEY_get0_param(&algorithm, &keyOctets, &keyLength, &parameters, publicKey), 1);
    const std::string dotted = dottedOf(algorithm);
    EXPECT_EQ(CCertInfo::getPkOID(b.data(), b.size()), dotted);

    EVP_PKEY* key = X509_get0_pubkey(c.x509.get());
    if (dotted == "1.2.840.113549.1.1.1" && key != nullptr) {
        ++checked->rsa;
        BIGNUM* n = nullptr;
        BIGNUM* e = nullptr;
        ASSERT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n), 1);
        ASSERT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e), 1);
        // The modulus INTEGER's content: a 00 in front when the top bit is set.
        Bytes modulus(static_cast<std::size_t>(BN_num_bytes(n)));
        BN_bn2bin(n, modulus.data());
        if (modulus[0] & 0x80) modulus.insert(modulus.begin(), 0x00);
        const std::string shown = toHex(Bytes(modulus.begin() + 1, modulus.end()));
        EXPECT_EQ(CCertInfo::getPkMod(b.data(), b.size()), shown);
        EXPECT_EQ(CCertInfo::getPkLen(b.data(), b.size()), static_cast<int>(shown.size() * 4));
        EXPECT_EQ(CCertInfo::getPublicKeyBits(b.data(), b.size()), static_cast<int>(modulus.size() - 1));
        EXPECT_EQ(CCertInfo::getPkExp(b.data(), b.size()), lowerHexOf(e));
        BN_free(n);
        BN_free(e);
        // RSAPublicKey as OpenSSL encodes it.
        unsigned char* der = nullptr;
        const int derLength = i2d_PublicKey(key, &der);
        ASSERT_GT(derLength, 0);
        const unsigned char* found = CCertInfo::getPublicKey(b.data(), b.size());
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(CCertInfo::getPublicKeySize(b.data(), b.size()), derLength);
        EXPECT_EQ(Bytes(found, found + derLength), Bytes(der, der + derLength));
        OPENSSL_free(der);
    } else if (dotted == "1.2.840.10045.2.1" && key != nullptr) {
        ++checked->ec;
        const ASN1_OBJECT* curve = nullptr;
        int parameterType = 0;
        const void* parameterValue = nullptr;
        X509_ALGOR_get0(&curve, &parameterType, &parameterValue, parameters);
        ASSERT_EQ(parameterType, V_ASN1_OBJECT);
        EXPECT_EQ(CCertInfo::getPkExp(b.data(), b.size()),
                  dottedOf(static_cast<const ASN1_OBJECT*>(parameterValue)));
        unsigned char point[256];
        std::size_t pointLength = 0;
        ASSERT_EQ(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                                  &pointLength),
                  1);
        EXPECT_EQ(CCertInfo::getPkMod(b.data(), b.size()), toHex(point, pointLength));
        EXPECT_EQ(CCertInfo::getPkLen(b.data(), b.size()), static_cast<int>(pointLength * 8));
        Bytes bitString{0x00};
        bitString.insert(bitString.end(), point, point + pointLength);
        const Bytes element = tlv(0x03, bitString);
        const unsigned char* found = CCertInfo::getPublicKey(b.data(), b.size());
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(Bytes(found, found + element.size()), element);
        EXPECT_EQ(CCertInfo::getPublicKeySize(b.data(), b.size()), static_cast<int>(element.size()));
        EXPECT_EQ(CCertInfo::getPublicKeyBits(b.data(), b.size()), static_cast<int>(element.size()));
    } else {
        ++checked->other;
        EXPECT_STREQ(CCertInfo::getPkMod(b.data(), b.size()), "");
        EXPECT_STREQ(CCertInfo::getPkExp(b.data(), b.size()), "");
        EXPECT_EQ(CCertInfo::getPkLen(b.data(), b.size()), 0);
        EXPECT_EQ(CCertInfo::getPublicKey(b.data(), b.size()), nullptr);
        EXPECT_EQ(CCertInfo::getPublicKeySize(b.data(), b.size()), -1);
        EXPECT_EQ(CCertInfo::getPublicKeyBits(b.data(), b.size()), -1);
    }
}

void checkExtensions(const SystemCertificate& c, ExactBuffer& b, Checked* checked) {
    const int count = X509_get_ext_count(c.x509.get());
    ASSERT_EQ(CCertInfo::getExtensionNum(b.data(), b.size()), count);
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* extension = X509_get_ext(c.x509.get(), i);
        const std::string dotted = dottedOf(X509_EXTENSION_get_object(extension));
        EXPECT_EQ(CCertInfo::getExtensionOID(b.data(), b.size(), i), dotted) << i;

        // The same extension's renderer input, found in the certificate.
        unsigned char* der = nullptr;
        const int length = i2d_X509_EXTENSION(extension, &der);
        ASSERT_GT(length, 0);
        const std::size_t offset = find(b.data(), b.size(), Bytes(der, der + length));
        OPENSSL_free(der);
        ASSERT_NE(offset, std::string::npos) << dotted;
        const auto input = afterOid(b.data() + offset, b.size() - offset);
        ASSERT_TRUE(input) << dotted;

        const std::string value = CCertInfo::getExtensionValue(b.data(), b.size(), i);
        const DirectRenderer render = certificateRenderer(dotted);
        EXPECT_EQ(value, render ? render(input->element, input->length) : std::string()) << dotted;
        ++checked->extensions;
    }
}

}  // namespace

TEST(CertGettersSystemStore, EveryCertificateAgreesWithOpenSSL) {
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const auto& certificates = systemCertificates();
    ASSERT_GE(certificates.size(), kMinimumSystemCertificates) << "is ca-certificates installed?";
    Checked checked;
    for (const SystemCertificate& c : certificates) {
        SCOPED_TRACE(c.file);
        ExactBuffer b(c.der);
        checkNames(c, b);
        checkSerialVersionSignature(c, b);
        checkValidity(c, b);
        checkPublicKey(c, b, &checked);
        checkExtensions(c, b, &checked);

        // Every getter at every index stays inside the certificate; an
        // index at the count is past the list.
        const int count = CCertInfo::getExtensionNum(b.data(), b.size());
        callEveryGetter(b.data(), b.size(), count);
        EXPECT_STREQ(CCertInfo::getExtensionOID(b.data(), b.size(), count), "");
        EXPECT_STREQ(CCertInfo::getExtensionValue(b.data(), b.size(), count), "");
        // A public-key certificate has no attribute-certificate fields...
        EXPECT_EQ(CCertInfo::A_getAttributeNum(b.data(), b.size()), 0);
        EXPECT_STREQ(CCertInfo::A_getSerial(b.data(), b.size()), "");
        // ...but A_getNotBefore/A_getNotAfter find the validity in the
        // certificate's field order; in UTC the daylight-saving flag makes
        // no difference between the two date families.
        ScopedTimeZone utc("UTC0");
        EXPECT_EQ(CCertInfo::A_getNotBefore(b.data(), b.size()), CCertInfo::getNotBefore(b.data(), b.size()));
        EXPECT_EQ(CCertInfo::A_getNotAfter(b.data(), b.size()), CCertInfo::getNotAfter(b.data(), b.size()));
        ++checked.certificates;
    }
    std::cout << "[          ] checked " << checked.certificates << " certificates (" << checked.rsa
              << " RSA, " << checked.ec << " EC, " << checked.other << " other keys), "
              << checked.extensions << " extensions\n";
}

