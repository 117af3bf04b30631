#include "pkcs11/Objects.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace kivo::p11 {
namespace {

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr parse(const Bytes& der) {
    const unsigned char* cursor = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    return certificate;
}

template <class Object, class Encoder>
Bytes derOf(const Object* object, Encoder encode) {
    const int length = encode(object, nullptr);
    if (length <= 0) return {};
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* cursor = der.data();
    encode(object, &cursor);
    return der;
}

Bytes bignumParam(const EVP_PKEY* key, const char* name) {
    BIGNUM* number = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &number) != 1) return {};
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number)));
    BN_bn2bin(number, bytes.data());
    BN_free(number);
    return bytes;
}

// The EC parameters (the named curve's OID) and the point as a DER OCTET
// STRING, both as the certificate's subjectPublicKeyInfo holds them.
void setEcKey(AttributeSet& attributes, X509_PUBKEY* publicKey, bool withPoint) {
    const unsigned char* point = nullptr;
    int pointLength = 0;
    X509_ALGOR* algorithm = nullptr;
    if (X509_PUBKEY_get0_param(nullptr, &point, &pointLength, &algorithm, publicKey) != 1) return;
    int parameterType = 0;
    const void* parameter = nullptr;
    X509_ALGOR_get0(nullptr, &parameterType, &parameter, algorithm);
    if (parameterType == V_ASN1_OBJECT) {
        attributes.set(CKA_EC_PARAMS, derOf(static_cast<const ASN1_OBJECT*>(parameter), i2d_ASN1_OBJECT));
    } else if (parameterType == V_ASN1_SEQUENCE) {
        const auto* explicitParameters = static_cast<const ASN1_STRING*>(parameter);
        const unsigned char* data = ASN1_STRING_get0_data(explicitParameters);
        attributes.set(CKA_EC_PARAMS, Bytes(data, data + ASN1_STRING_length(explicitParameters)));
    }
    if (!withPoint || pointLength <= 0) return;
    ASN1_OCTET_STRING* octets = ASN1_OCTET_STRING_new();
    if (octets == nullptr || ASN1_OCTET_STRING_set(octets, point, pointLength) != 1) {
        ASN1_OCTET_STRING_free(octets);
        return;
    }
    attributes.set(CKA_EC_POINT, derOf(octets, i2d_ASN1_OCTET_STRING));
    ASN1_OCTET_STRING_free(octets);
}

// The key's own attributes, shared by its public and private object.
void setKeyValues(AttributeSet& attributes, X509* certificate, const KeyFacts& facts, bool isPublic) {
    attributes.setNumber(CKA_KEY_TYPE, facts.type);
    if (facts.type == CKK_RSA) {
        const EVP_PKEY* key = X509_get0_pubkey(certificate);
        attributes.set(CKA_MODULUS, bignumParam(key, OSSL_PKEY_PARAM_RSA_N));
        attributes.set(CKA_PUBLIC_EXPONENT, bignumParam(key, OSSL_PKEY_PARAM_RSA_E));
        attributes.setNumber(CKA_MODULUS_BITS, facts.bits);
    } else {
        setEcKey(attributes, X509_get_X509_PUBKEY(certificate), isPublic);
    }
    attributes.set(CKA_SUBJECT, derOf(X509_get_subject_name(certificate), i2d_X509_NAME));
    attributes.set(CKA_PUBLIC_KEY_INFO, derOf(X509_get_X509_PUBKEY(certificate), i2d_X509_PUBKEY));
    attributes.setBool(CKA_LOCAL, false);
    attributes.setNumber(CKA_KEY_GEN_MECHANISM, CK_UNAVAILABLE_INFORMATION);
    attributes.setBool(CKA_DERIVE, false);
    attributes.set(CKA_START_DATE, {});
    attributes.set(CKA_END_DATE, {});
}

void setCommon(AttributeSet& attributes, CK_OBJECT_CLASS objectClass, const CardCertificate& certificate,
               const Bytes& id, bool isPrivate) {
    attributes.setNumber(CKA_CLASS, objectClass);
    attributes.setBool(CKA_TOKEN, true);
    attributes.setBool(CKA_PRIVATE, isPrivate);
    attributes.setBool(CKA_MODIFIABLE, false);
    attributes.setBool(CKA_COPYABLE, false);
    attributes.setBool(CKA_DESTROYABLE, false);
    attributes.set(CKA_LABEL, Bytes(certificate.label.begin(), certificate.label.end()));
    attributes.set(CKA_ID, id);
}

TokenObject certificateObject(const CardCertificate& certificate, X509* parsed, const Bytes& id) {
    TokenObject object;
    AttributeSet& attributes = object.attributes;
    setCommon(attributes, CKO_CERTIFICATE, certificate, id, false);
    attributes.setNumber(CKA_CERTIFICATE_TYPE, CKC_X_509);
    attributes.setBool(CKA_TRUSTED, false);
    attributes.setNumber(CKA_CERTIFICATE_CATEGORY, certificate.keyEntry ? 1 : 2);  // token user / authority
    attributes.set(CKA_SUBJECT, derOf(X509_get_subject_name(parsed), i2d_X509_NAME));
    attributes.set(CKA_ISSUER, derOf(X509_get_issuer_name(parsed), i2d_X509_NAME));
    attributes.set(CKA_SERIAL_NUMBER, derOf(X509_get0_serialNumber(parsed), i2d_ASN1_INTEGER));
    attributes.set(CKA_VALUE, derOf(parsed, i2d_X509));  // without the file's padding
    attributes.set(CKA_PUBLIC_KEY_INFO, derOf(X509_get_X509_PUBKEY(parsed), i2d_X509_PUBKEY));
    attributes.set(CKA_START_DATE, {});
    attributes.set(CKA_END_DATE, {});
    return object;
}

TokenObject publicKeyObject(const CardCertificate& certificate, X509* parsed, const Bytes& id,
                            const KeyFacts& facts) {
    TokenObject object;
    AttributeSet& attributes = object.attributes;
    setCommon(attributes, CKO_PUBLIC_KEY, certificate, id, false);
    setKeyValues(attributes, parsed, facts, true);
    attributes.setBool(CKA_VERIFY, facts.signs);
    attributes.setBool(CKA_VERIFY_RECOVER, false);
    attributes.setBool(CKA_ENCRYPT, facts.deciphers);
    attributes.setBool(CKA_WRAP, false);
    attributes.setBool(CKA_TRUSTED, false);
    return object;
}

TokenObject privateKeyObject(const CardCertificate& certificate, X509* parsed, const Bytes& id,
                             const KeyFacts& facts) {
    TokenObject object;
    object.isPrivate = true;
    object.keyEntry = certificate.keyEntry;
    AttributeSet& attributes = object.attributes;
    setCommon(attributes, CKO_PRIVATE_KEY, certificate, id, true);
    setKeyValues(attributes, parsed, facts, false);
    attributes.setBool(CKA_SENSITIVE, true);
    attributes.setBool(CKA_ALWAYS_SENSITIVE, true);
    attributes.setBool(CKA_EXTRACTABLE, false);
    attributes.setBool(CKA_NEVER_EXTRACTABLE, true);
    attributes.setBool(CKA_SIGN, facts.signs);
    attributes.setBool(CKA_SIGN_RECOVER, false);
    attributes.setBool(CKA_DECRYPT, facts.deciphers);
    attributes.setBool(CKA_UNWRAP, false);
    attributes.setBool(CKA_WRAP_WITH_TRUSTED, false);
    attributes.setBool(CKA_ALWAYS_AUTHENTICATE, certificate.alwaysAuthenticate);
    if (facts.type == CKK_EC) {
        attributes.setSensitive(CKA_VALUE);
        return object;
    }
    for (CK_ATTRIBUTE_TYPE part :
         {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT}) {
        attributes.setSensitive(part);
    }
    return object;
}

// The card's iD of the certificate, or else the SHA-1 of its public key
// (the key identifier most tools compute), which ties the three objects of
// one key together.
Bytes idOf(const CardCertificate& certificate, X509* parsed) {
    if (!certificate.id.empty()) return certificate.id;
    const ASN1_BIT_STRING* key = X509_get0_pubkey_bitstr(parsed);
    Bytes digest(SHA_DIGEST_LENGTH);
    if (key != nullptr) SHA1(key->data, static_cast<std::size_t>(key->length), digest.data());
    return digest;
}

std::optional<KeyFacts> factsOf(X509* parsed) {
    const EVP_PKEY* key = X509_get0_pubkey(parsed);
    if (key == nullptr) return std::nullopt;
    KeyFacts facts;
    facts.bits = static_cast<CK_ULONG>(EVP_PKEY_get_bits(key));
    // Without a key usage extension the key may do anything its type allows.
    const std::uint32_t usage = X509_get_key_usage(parsed);
    facts.signs = (usage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) != 0;
    switch (EVP_PKEY_get_base_id(key)) {
        case EVP_PKEY_RSA: {
            facts.type = CKK_RSA;
            facts.signatureBytes = (facts.bits + 7) / 8;
            facts.deciphers = (usage & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT)) != 0;
            return facts;
        }
        case EVP_PKEY_EC:
            facts.type = CKK_EC;
            facts.signatureBytes = 2 * ((facts.bits + 7) / 8);
            return facts;
        default: return std::nullopt;
    }
}

}  // namespace

std::optional<KeyFacts> keyFactsOf(const Bytes& certificate) {
    const X509Ptr parsed = parse(certificate);
    return parsed ? factsOf(parsed.get()) : std::nullopt;
}

std::vector<TokenObject> objectsOf(const CardCertificate& certificate) {
    const X509Ptr parsed = parse(certificate.der);
    if (!parsed) return {};
    const Bytes id = idOf(certificate, parsed.get());
    std::vector<TokenObject> objects{certificateObject(certificate, parsed.get(), id)};
    const std::optional<KeyFacts> facts = factsOf(parsed.get());
    if (!certificate.keyEntry || !facts) return objects;
    objects.push_back(publicKeyObject(certificate, parsed.get(), id, *facts));
    objects.push_back(privateKeyObject(certificate, parsed.get(), id, *facts));
    return objects;
}

}  // namespace kivo::p11
