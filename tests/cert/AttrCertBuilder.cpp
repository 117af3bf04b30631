#include "tests/cert/AttrCertBuilder.h"

#include <openssl/err.h>

#include <stdexcept>

namespace kivo::test::certs {
namespace {

Bytes signatureAlgorithmFor(EVP_PKEY* key) {
    if (EVP_PKEY_is_a(key, "EC")) return seq({oid("1.2.840.10045.4.3.2")});  // ecdsa-with-SHA256
    return seq({oid("1.2.840.113549.1.1.11"), nullElement()});             // sha256WithRSAEncryption
}

Bytes sign(EVP_PKEY* key, const Bytes& data) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::size_t length = 0;
    Bytes signature;
    bool ok = context != nullptr &&
              EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestSign(context, nullptr, &length, data.data(), data.size()) == 1;
    if (ok) {
        signature.resize(length);
        ok = EVP_DigestSign(context, signature.data(), &length, data.data(), data.size()) == 1;
        signature.resize(length);
    }
    EVP_MD_CTX_free(context);
    if (!ok) {
        ERR_clear_error();
        throw std::runtime_error("signing the attribute certificate failed");
    }
    return signature;
}

Bytes holderAndIssuer(const AttrCertContent& request) {
    const Bytes issuerSerial = cat({seq({tlv(0xA4, request.baseIssuerName)}), request.baseSerial});
    switch (request.layout) {
        case AttrCertLayout::Rfc3281EntityName:
            return cat({seq({tlv(0xA1, tlv(0xA4, request.holderName))}),
                        tlv(0xA0, seq({tlv(0xA4, request.issuerName)}))});
        case AttrCertLayout::Rfc3281BaseCertificateId:
            return cat({seq({tlv(0xA0, issuerSerial)}), tlv(0xA0, seq({tlv(0xA4, request.issuerName)}))});
        case AttrCertLayout::Older:
            return cat({tlv(0xA0, issuerSerial), seq({tlv(0xA4, request.issuerName)})});
    }
    return {};
}

}  // namespace

BuiltAttrCert buildAttrCert(const AttrCertContent& request) {
    if (request.key == nullptr) throw std::runtime_error("attribute certificate needs a key");
    BuiltAttrCert out;
    out.signatureAlgorithm = signatureAlgorithmFor(request.key);
    const bool versioned = request.layout != AttrCertLayout::Older;
    out.info = seq({versioned ? integer(hex("01")) : Bytes{}, holderAndIssuer(request), out.signatureAlgorithm,
                    request.serial, seq({request.notBefore, request.notAfter}), seqOf(request.attributes),
                    request.extensions.empty() ? Bytes{} : seqOf(request.extensions)});
    out.signature = sign(request.key, out.info);
    Bytes bitString{0x00};
    bitString.insert(bitString.end(), out.signature.begin(), out.signature.end());
    out.der = seq({out.info, out.signatureAlgorithm, tlv(0x03, bitString)});
    return out;
}

bool verifyAttrCert(const BuiltAttrCert& ac, EVP_PKEY* key) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool ok = context != nullptr &&
                    EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                    EVP_DigestVerify(context, ac.signature.data(), ac.signature.size(), ac.info.data(),
                                     ac.info.size()) == 1;
    EVP_MD_CTX_free(context);
    ERR_clear_error();
    return ok;
}

Bytes authorityKeyIdentifierValue() {
    return seq({tlv(0x80, hex("0F1E2D3C4B5A69788796A5B4C3D2E1F001122334"))});
}

Bytes crlDistributionPointsValue() {
    return seq({seq({tlv(0xA0, tlv(0xA0, tlv(0x86, "http://crl.example.test/aa.crl")))})});
}

Bytes authorityInfoAccessValue() {
    return seq({seq({oid("1.3.6.1.5.5.7.48.1"), tlv(0x86, "http://ocsp.example.test")}),
                seq({oid("1.3.6.1.5.5.7.48.2"), tlv(0x86, "http://ca.example.test/aa.crt")})});
}

Bytes certificatePoliciesValue() {
    return seq({seq({oid("1.3.36.8.1.1")}), seq({oid("1.2.3.4.5")})});
}

Bytes qcStatementsValue() {
    return seq({seq({oid("0.4.0.1862.1.1")}),
                seq({oid("0.4.0.1862.1.2"), seq({printable("EUR"), integer(hex("13 88")), integer(hex("00"))})}),
                seq({oid("0.4.0.1862.1.4")})});
}

Bytes admissionValue() {
    const Bytes authority = tlv(0xA4, name({{"2.5.4.6", "DE"}, {"2.5.4.10", "Kammer"}}));
    const Bytes namingAuthority = tlv(0xA1, seq({oid("1.2.276.0.76.3.1.1")}));
    const Bytes professionInfo =
        seq({seq({utf8("Notar")}), seq({oid("1.2.276.0.76.4.10")}), printable("4711")});
    return seq({authority, seq({seq({namingAuthority, seq({professionInfo})})})});
}

std::vector<NamedElement> commonPkiAttributes() {
    const Bytes signingFor = tlv(0xA3, tlv(0xA4, name({{"2.5.4.3", "Firma GmbH"}})));
    const Bytes identity =
        seq({seq({oid("1.3.6.1.5.5.7.9.1"), set({tlv(0x18, "19700201000000Z")})}),
             seq({oid("1.3.6.1.5.5.7.9.2"), set({utf8("Berlin")})})});
    return {
        {"1.3.36.8.3.3", attribute("1.3.36.8.3.3", {admissionValue()})},
        {"1.3.36.8.3.8", attribute("1.3.36.8.3.8", {utf8("Nur fuer Testzwecke")})},
        {"1.3.36.8.3.15", attribute("1.3.36.8.3.15", {utf8("Zusatzinformation")})},
        {"1.3.36.8.3.4",
         attribute("1.3.36.8.3.4", {seq({printable("EUR"), integer(hex("13 88")), integer(hex("00"))})})},
        {"1.3.36.8.3.2", attribute("1.3.36.8.3.2", {seq({tlv(0xA1, printable("DE")),
                                                         tlv(0xA2, utf8("Prokura")), signingFor})})},
        {"1.3.36.8.3.5", attribute("1.3.36.8.3.5", {tlv(0xA0, integer(hex("12")))})},
        {"2.5.29.9", attribute("2.5.29.9", {identity})},
        {"1.3.36.8.3.6", attribute("1.3.36.8.3.6", {octets(hex("89 49 01 23 45 67 89 01 23 45"))})},
        {"1.3.36.8.3.1", attribute("1.3.36.8.3.1", {tlv(0x18, "20240301083000Z")})},
    };
}

std::vector<NamedElement> attrCertExtensions() {
    return {
        {"2.5.29.35", extension("2.5.29.35", authorityKeyIdentifierValue())},
        {"2.5.29.31", extension("2.5.29.31", crlDistributionPointsValue())},
        {"1.3.6.1.5.5.7.1.1", extension("1.3.6.1.5.5.7.1.1", authorityInfoAccessValue())},
        {"2.5.29.32", extension("2.5.29.32", certificatePoliciesValue())},
        {"1.3.6.1.5.5.7.1.3", extension("1.3.6.1.5.5.7.1.3", qcStatementsValue())},
        // Rendered in a certificate, not in an attribute certificate.
        {"2.5.29.14", extension("2.5.29.14", octets(hex("01 02 03 04")))},
        // noRevAvail: no renderer at all.
        {"2.5.29.56", extension("2.5.29.56", nullElement())},
    };
}

}  // namespace kivo::test::certs
