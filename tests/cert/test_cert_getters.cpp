// The certificate getters compared with OpenSSL's reading of the same DER
// (the extension values OpenSSL parses included), as one table of getters
// over every CA certificate of the system store and certificates made here:
// each key kind, serials with a leading zero octet, the two-digit year
// boundary and GeneralizedTime, unregistered attribute types, and every
// extension kind the getters render.

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <climits>
#include <iostream>
#include <map>
#include <optional>
#include <string>

#include "CertInfoSSL.h"
#include "asn1/Asn1Der.h"
#include "tests/cert/AttrCertBuilder.h"
#include "tests/cert/CertGetterTestUtil.h"
#include "tests/cert/RendererTable.h"
#include "tests/support/SystemCerts.h"
#include "tests/support/TestSupport.h"

using namespace kivo::test::certs;
using kivo::test::CertOptions;
using kivo::test::KeyKind;
using kivo::test::ScopedTimeZone;
using kivo::test::SystemCertificate;
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
        {"2.5.4.1", "aliasedEntryName"}, {"2.5.4.2", "knowldgeinformation"}, {"2.5.4.3", "commonName"}, {"2.5.4.4", "surname"},
        {"2.5.4.5", "serialNumber"}, {"2.5.4.6", "countryName"}, {"2.5.4.7", "localityName"}, {"2.5.4.8", "stateOrProvinceName"},
        {"2.5.4.9", "streetAddress"}, {"2.5.4.10", "organizationName"}, {"2.5.4.11", "organizationalUnitName"},
        {"2.5.4.12", "title"}, {"2.5.4.13", "description"}, {"2.5.4.16", "postalAddress"}, {"2.5.4.42", "givenname"},
        {"2.5.4.65", "pseudonym"}, {"1.2.840.113549.1.9.1", "emailAddress"}, {"0.2.262.1.10.7.20", "nameDistinguisher"},
    };
    const auto it = kNames.find(dotted);
    return it != kNames.end() ? it->second : dotted;
}

// "type=value" joined by ", ": string values byte for byte, a BMPString as
// Latin-1 ('?' from U+0100 on); a value of another type ends the text.
std::string expectedDn(const X509_NAME* name) {
    std::string out;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        out += (i > 0 ? ", " : "") + dnTypeName(dottedOf(X509_NAME_ENTRY_get_object(entry))) + "=";
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

// The serial INTEGER's content octets.
std::string serialHex(X509* x) {
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_INTEGER(X509_get0_serialNumber(x), &der);
    const auto [header, total] = elementSize(der, static_cast<std::size_t>(length));
    const std::string out = toHex(der + header, total - header);
    OPENSSL_free(der);
    return out;
}

std::string signatureOid(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    return dottedOf(object);
}

std::string localTime(const ASN1_TIME* time, bool standardTime = true) {
    std::tm fields{};
    return ASN1_TIME_to_tm(time, &fields) == 1 ? std::to_string(localRule(fields, standardTime)) : "<unreadable>";
}

// The public-key fields as the getters give them, from OpenSSL's parse.
struct KeyFields {
    std::string algorithm, modulus, exponent, element;
    int pkLen = 0, size = -1, bits = -1;
};

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
        // The modulus INTEGER's content without its first octet.
        const bool signOctet = BN_num_bits(n) % 8 == 0;
        char* modulus = BN_bn2hex(n);
        k.modulus = std::string(modulus).substr(signOctet ? 0 : 2);
        OPENSSL_free(modulus);
        k.pkLen = static_cast<int>(k.modulus.size() * 4);
        k.bits = BN_num_bytes(n) + (signOctet ? 0 : -1);
        char exponent[24];
        std::snprintf(exponent, sizeof exponent, "%lx", static_cast<unsigned long>(BN_get_word(e)));
        k.exponent = exponent;
        BN_free(n);
        BN_free(e);
        unsigned char* der = nullptr;
        k.size = i2d_PublicKey(key, &der);
        k.element = toHex(der, static_cast<std::size_t>(k.size));
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
        k.pkLen = static_cast<int>(pointLength * 8);
        const Bytes element = tlv(0x03, cat({Bytes{0x00}, Bytes(point, point + pointLength)}));
        k.size = k.bits = static_cast<int>(element.size());
        k.element = toHex(element);
    }
    return k;
}

std::string keyElement(unsigned char* p, unsigned long n) {
    const unsigned char* key = CCertInfo::getPublicKey(p, n);
    return key == nullptr ? "" : toHex(key, static_cast<std::size_t>(CCertInfo::getPublicKeySize(p, n)));
}

struct Field {
    const char* name;
    Getter library;
    std::function<std::string(X509*)> openssl;
};

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
        {"signature algorithm", getter(CCertInfo::getCertSigOID),
         [](X509* x) {
             const X509_ALGOR* algorithm = nullptr;
             X509_get0_signature(nullptr, &algorithm, x);
             return signatureOid(algorithm);
         }},
        {"signature value", getter(CCertInfo::getCertSigValue),
         [](X509* x) {
             const ASN1_BIT_STRING* value = nullptr;
             X509_get0_signature(&value, nullptr, x);
             return toHex(ASN1_STRING_get0_data(value), static_cast<std::size_t>(ASN1_STRING_length(value)));
         }},
        {"notBefore", getter(CCertInfo::getNotBefore), [](X509* x) { return localTime(X509_get0_notBefore(x)); }},
        {"notAfter", getter(CCertInfo::getNotAfter), [](X509* x) { return localTime(X509_get0_notAfter(x)); }},
        // The validity in the certificate's field order, with today's
        // daylight-saving flag; and no attributes.
        {"A_notAfter", getter(CCertInfo::A_getNotAfter), [](X509* x) { return localTime(X509_get0_notAfter(x), false); }},
        {"A_attributes", getter(CCertInfo::A_getAttributeNum), [](X509*) { return std::string("0"); }},
        {"key algorithm", getter(CCertInfo::getPkOID), [](X509* x) { return keyFields(x).algorithm; }},
        {"modulus", getter(CCertInfo::getPkMod), [](X509* x) { return keyFields(x).modulus; }},
        {"exponent", getter(CCertInfo::getPkExp), [](X509* x) { return keyFields(x).exponent; }},
        {"pkLen", getter(CCertInfo::getPkLen), [](X509* x) { return std::to_string(keyFields(x).pkLen); }},
        {"key size", getter(CCertInfo::getPublicKeySize), [](X509* x) { return std::to_string(keyFields(x).size); }},
        {"key bits", getter(CCertInfo::getPublicKeyBits), [](X509* x) { return std::to_string(keyFields(x).bits); }},
        {"key element", keyElement, [](X509* x) { return keyFields(x).element; }},
        {"extensions", getter(CCertInfo::getExtensionNum), [](X509* x) { return std::to_string(X509_get_ext_count(x)); }},
    };
    return kFields;
}

using Text = std::optional<std::string>;

std::string hexOf(const ASN1_STRING* s) {
    return toHex(ASN1_STRING_get0_data(s), static_cast<std::size_t>(ASN1_STRING_length(s)));
}

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

// An extension's value text from OpenSSL's parse, for the kinds whose
// content that parse can check; only the keyUsage renderer steps over the
// critical flag, the others render a critical extension empty.
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

// Each extension's OID, and its value as OpenSSL's parse gives it or else
// as the renderer for that OID gives it on the same element. Returns how
// many values OpenSSL's parse checked.
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
                  oracle ? *oracle : render(input.element, input.length))
            << dotted;
    }
    // Past the list nothing; a negative index does not move off the first.
    for (int index : {count, INT_MAX}) EXPECT_STREQ(CCertInfo::getExtensionOID(b.data(), b.size(), index), "");
    EXPECT_STREQ(CCertInfo::getExtensionValue(b.data(), b.size(), count), "");
    if (count > 0) {
        EXPECT_EQ(shown(CCertInfo::getExtensionOID(b.data(), b.size(), INT_MIN)), dottedOf(X509_EXTENSION_get_object(X509_get_ext(x, 0))));
    }
    return parsed;
}

std::string derExtension(const Bytes& value) { return "DER:" + toHex(value); }

SystemCertificate made(const std::string& name, kivo::test::X509Ptr cert) {
    Bytes der = kivo::test::derOf(cert.get());
    return SystemCertificate{name, std::move(cert), std::move(der)};
}

const std::vector<SystemCertificate>& generatedCertificates() {
    static const std::vector<SystemCertificate> kCertificates = [] {
        std::vector<SystemCertificate> out;
        auto caKey = kivo::test::generateKey(KeyKind::Rsa2048);
        CertOptions caRequest;
        caRequest.subject = "/C=DE/O=Kivo Test/OU=Zertifizierung/CN=Kivo Test CA";
        caRequest.subjectKey = caKey.get();
        caRequest.isCa = true;
        out.push_back(made("ca", kivo::test::makeCertificate(caRequest)));
        const struct {
            KeyKind kind;
            long serial;
            std::time_t notBefore, notAfter;  // 1950-01-01 to 2049-12-31; summer 2024 to 2050
            const char* subject;
        } rows[] = {
            {KeyKind::Rsa2048, 0x80, -631152000, 2524607999,
             "/C=DE/ST=Bayern/L=M\xC3\xBCnchen/O=Beispiel GmbH/CN=Erika Mustermann/serialNumber=4711/"
             "emailAddress=erika@example.test"},
            {KeyKind::Rsa3072, 0x00FF123456789ABCL, 1719835200, 2556143999,
             "/C=DE/1.3.6.1.4.1.99999.7=Wert/2.5.4.97=VATDE-123/CN=Signer"},
            {KeyKind::EcP256, 0x1234, 0, 0, "/CN=EC P-256"},
            {KeyKind::EcP384, 0x7F, 0, 0, "/CN=EC P-384"},
            {KeyKind::RsaPss2048, 2, 0, 0, "/CN=RSASSA-PSS"},
        };
        for (const auto& row : rows) {
            auto key = kivo::test::generateKey(row.kind);
            CertOptions request;
            request.subject = row.subject;
            request.subjectKey = key.get();
            request.issuerCert = out.front().x509.get();
            request.issuerKey = caKey.get();
            request.serial = row.serial;
            request.notBefore = row.notBefore;
            request.notAfter = row.notAfter;
            if (row.kind == KeyKind::Rsa2048) {
                // One extension of every kind the getters render, OCSP
                // no-check, an unknown one and basicConstraints.
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
            out.push_back(made(row.subject, kivo::test::makeCertificate(request)));
        }
        return out;
    }();
    return kCertificates;
}

}  // namespace

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

TEST(CertGetters, SignerLookupResultsHaveTheirOwnBuffers) {
    // The signer lookup holds the S_ results while it runs the plain
    // getters over other certificates.
    ExactBuffer first(generatedCertificates()[1].der);
    const SystemCertificate& other = kivo::test::systemCertificates().front();
    ExactBuffer second(other.der);
    const char* heldIssuer = CCertInfo::S_getIssuerName(first.data(), first.size());
    const char* heldSerial = CCertInfo::S_getSerial(first.data(), first.size());
    EXPECT_EQ(CCertInfo::getIssuer(second.data(), second.size()), expectedDn(X509_get_issuer_name(other.x509.get())));
    EXPECT_EQ(CCertInfo::getSerialNum(second.data(), second.size()), serialHex(other.x509.get()));
    EXPECT_STREQ(heldIssuer,
                 "countryName=DE, organizationName=Kivo Test, organizationalUnitName=Zertifizierung, commonName=Kivo Test CA");
    EXPECT_STREQ(heldSerial, "0080");
}
