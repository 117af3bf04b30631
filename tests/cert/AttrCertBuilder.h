// Attribute certificates for the A_ getter tests, built as DER here (OpenSSL
// 3.0 has no attribute-certificate interface) and signed with a real key:
// the AttributeCertificateInfo is signed with EVP_DigestSign.
//
// Two layouts:
// - RFC 3281 (v2): version, Holder SEQUENCE (baseCertificateID [0] or
//   entityName [1]), issuer v2Form [0], signature, serial, validity,
//   attributes, extensions.
// - the older layout without version: holder [0] IssuerSerial of the base
//   certificate, issuer GeneralNames, signature, serial, validity,
//   attributes, extensions.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "tests/cert/CertGetterTestUtil.h"

namespace kivo::test::certs {

enum class AttrCertLayout { Rfc3281EntityName, Rfc3281BaseCertificateId, Older };

struct AttrCertContent {
    AttrCertLayout layout = AttrCertLayout::Rfc3281EntityName;
    Bytes holderName = name({{"2.5.4.6", "DE"}, {"2.5.4.3", "Erika Mustermann"}});
    Bytes issuerName = name({{"2.5.4.6", "DE"}, {"2.5.4.10", "Kammer"}, {"2.5.4.3", "AA 1"}});
    Bytes baseIssuerName = name({{"2.5.4.6", "DE"}, {"2.5.4.3", "Base CA"}});
    Bytes baseSerial = integer(hex("0A 0B 0C"));
    Bytes serial = integer(hex("01 F4"));
    Bytes notBefore = tlv(0x18, "20240301083000Z");
    Bytes notAfter = tlv(0x18, "20290228235959Z");
    std::vector<Bytes> attributes;  // Attribute SEQUENCEs
    std::vector<Bytes> extensions;  // Extension SEQUENCEs; none: no extensions field
    EVP_PKEY* key = nullptr;        // RSA or EC
};

struct BuiltAttrCert {
    Bytes der;
    Bytes info;                // the signed AttributeCertificateInfo
    Bytes signatureAlgorithm;  // AlgorithmIdentifier
    Bytes signature;           // signature octets (BIT STRING content after its first octet)
};

// Throws std::runtime_error when OpenSSL cannot sign.
BuiltAttrCert buildAttrCert(const AttrCertContent& request);

// True when the signature verifies with the key.
bool verifyAttrCert(const BuiltAttrCert& ac, EVP_PKEY* key);

// The Common PKI attributes with the values the tests use, by type OID.
struct NamedElement {
    std::string oid;
    Bytes element;
};
std::vector<NamedElement> commonPkiAttributes();
// Extensions of attribute certificates: the five rendered kinds and two
// that are shown without a value.
std::vector<NamedElement> attrCertExtensions();

// Extension values (the content of extnValue) shared with the certificate
// tests.
Bytes authorityKeyIdentifierValue();
Bytes crlDistributionPointsValue();
Bytes authorityInfoAccessValue();
Bytes certificatePoliciesValue();
Bytes qcStatementsValue();
Bytes admissionValue();  // AdmissionSyntax

}  // namespace kivo::test::certs
