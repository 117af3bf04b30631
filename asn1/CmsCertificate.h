// Certificates as the CMS structures carry them: the certificate with its
// SubjectPublicKeyInfo, the RSA and EC public keys, CRLs, and the two ways
// a certificate is named by issuer and serial number.
#pragma once

#include "asn1/CmsAlgorithm.h"

#include <memory>
#include <span>
#include <string>

// RSAPublicKey inside a SubjectPublicKeyInfo BIT STRING.
class CAsn1_PublicKeyRSA : public CAsn1Base {
public:
    // The BIT STRING element holding the RSAPublicKey.
    CAsn1_PublicKeyRSA(const unsigned char* der, std::size_t length);
    explicit CAsn1_PublicKeyRSA(const CAsn1_BitString& bits);

    const CAsn1_Int* modulus() const { return m_modulus.get(); }
    const CAsn1_Int* publicExponent() const { return m_publicExponent.get(); }
    // Modulus size: its content octets times 8, the leading zero octet of
    // the DER INTEGER not counted. 0 without a modulus.
    std::uint32_t modulusBits() const;

    // BIT STRING { SEQUENCE { INTEGER modulus, INTEGER exponent } }.
    bool decode() override;
    // Read-only: nothing to rebuild.
    bool encode() override;

private:
    std::unique_ptr<CAsn1_Int> m_modulus;
    std::unique_ptr<CAsn1_Int> m_publicExponent;
};

// The parts of an EC public key: the point, the named curve or NULL
// parameters, whichever element the object was made from.
class CAsn1_PublicKeyEC : public CAsn1Base {
public:
    CAsn1_PublicKeyEC(const unsigned char* der, std::size_t length);
    explicit CAsn1_PublicKeyEC(const CAsn1_BitString& bits);

    const CAsn1_Oid* curve() const { return m_curve.get(); }
    const CAsn1_NullTag* nullParams() const { return m_nullParams.get(); }
    const CAsn1_BitString* point() const { return m_point.get(); }

    // By identifier: BIT STRING → point, OID → curve, else → nullParams.
    bool decode() override;
    // Read-only: nothing to rebuild.
    bool encode() override;

private:
    std::unique_ptr<CAsn1_Oid> m_curve;
    std::unique_ptr<CAsn1_NullTag> m_nullParams;
    std::unique_ptr<CAsn1_BitString> m_point;
};

// SubjectPublicKeyInfo.
class CAsn1_PublicKey : public CAsn1Base {
public:
    CAsn1_PublicKey(const unsigned char* der, std::size_t length);

    const CAsn1_AlgoIdent* algorithm() const { return m_algorithm.get(); }
    const CAsn1_BitString* subjectPublicKey() const { return m_subjectPublicKey.get(); }
    const CAsn1_PublicKeyRSA* rsaKey() const { return m_rsaKey.get(); }
    const CAsn1_PublicKeyEC* ecKey() const { return m_ecKey.get(); }

    // Algorithm 1.2.840.10045.2.1.
    bool isEcKey() const;
    // Algorithm 1.2.840.113549.1.1.1 or 1.2.840.113549.1.1.10.
    bool isRsaKey() const;
    // RSA: modulus bits; EC: the size of the named curve in the algorithm
    // parameters (ecCurveBits); 0 otherwise.
    std::uint32_t keyBits() const;

    // SEQUENCE { AlgorithmIdentifier, BIT STRING }; an RSA algorithm also
    // builds rsaKey, an EC algorithm ecKey.
    bool decode() override;
    // Read-only: nothing to rebuild.
    bool encode() override;

private:
    std::unique_ptr<CAsn1_AlgoIdent> m_algorithm;
    std::unique_ptr<CAsn1_BitString> m_subjectPublicKey;
    std::unique_ptr<CAsn1_PublicKeyRSA> m_rsaKey;
    std::unique_ptr<CAsn1_PublicKeyEC> m_ecKey;
};

// Size in bits of the EC curve named by `dotted`; 0 for a curve not in the
// table (SEC 2, X9.62, Brainpool, FRP256v1).
std::uint32_t ecCurveBits(std::string_view dotted);

// An X.509 certificate, kept as it is, with its public key decoded.
class CAsn1_Cert : public CAsn1Base {
public:
    CAsn1_Cert(const unsigned char* der, std::size_t length);

    const CAsn1_PublicKey* publicKey() const { return m_publicKey.get(); }
    // The issuer Name element and the serialNumber INTEGER element inside
    // the encoding; empty when the certificate is malformed.
    std::span<const unsigned char> issuerDer() const;
    std::span<const unsigned char> serialDer() const;
    // Forwarded to the public key (0 / false without one).
    std::uint32_t keyBits() const;
    bool isEcKey() const;
    bool isRsaKey() const;

    // Locates subjectPublicKeyInfo and builds publicKey from it (once).
    bool decode() override;
    // The certificate is carried as it is: nothing to rebuild.
    bool encode() override;

private:
    std::unique_ptr<CAsn1_PublicKey> m_publicKey;
};

// A CertificateList, carried as it is so that a decoded SignedData encodes
// its CRLs again. Nothing in the library reads into it.
class CAsn1_Crl : public CAsn1Base {
public:
    CAsn1_Crl(const unsigned char* der, std::size_t length);

    // The element must be a SEQUENCE that fits the buffer.
    bool decode() override;
    // Carried as it is: nothing to rebuild.
    bool encode() override;
};

// IssuerAndSerialNumber (the SignerInfo sid).
class CAsn1_IssuerAndSerial : public CAsn1Base {
public:
    CAsn1_IssuerAndSerial(const unsigned char* der, std::size_t length);
    // 30 { issuer Name; serial INTEGER } from the two elements (each must be
    // exactly one element of the given length: a SEQUENCE and an INTEGER).
    CAsn1_IssuerAndSerial(const unsigned char* issuer, std::size_t issuerLength,
                          const unsigned char* serial, std::size_t serialLength);

    // The issuer as one line of text (Asn1NameToText).
    const std::string& issuerText() const { return m_issuerText; }
    // The serial number content as upper-case hex.
    const std::string& serialText() const { return m_serialText; }
    // Text of a subjectKeyIdentifier sid; that choice is not supported, so
    // it stays empty.
    const std::string& keyIdText() const { return m_keyIdText; }

    // SEQUENCE { Name, INTEGER }: fills issuerText and serialText.
    bool decode() override;
    // Built by the constructor: nothing to rebuild.
    bool encode() override;

private:
    std::string m_issuerText;
    std::string m_serialText;
    std::string m_keyIdText;
};

// ESS IssuerSerial: 30 { 30 { A4 { issuer Name } }; serial INTEGER }.
class CAsn1_IssuerSerial : public CAsn1Base {
public:
    CAsn1_IssuerSerial(const unsigned char* der, std::size_t length);
    CAsn1_IssuerSerial(const unsigned char* issuer, std::size_t issuerLength,
                       const unsigned char* serial, std::size_t serialLength);

    // Checks the shape: SEQUENCE { GeneralNames SEQUENCE, INTEGER }.
    bool decode() override;
    // Built by the constructor: nothing to rebuild.
    bool encode() override;
};
