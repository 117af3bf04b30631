// Test PKI made at run time with OpenSSL: keys of every kind the library
// signs with, and certificates with chosen names, validity and extensions.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kivo::test {

struct EvpKeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Deleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using EvpKeyPtr = std::unique_ptr<EVP_PKEY, EvpKeyDeleter>;
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

enum class KeyKind { Rsa2048, Rsa3072, RsaPss2048, EcP256, EcP384 };

const char* keyKindName(KeyKind kind);
// Every kind, for parameterised tests.
std::vector<KeyKind> allKeyKinds();
// Key size in bits as OpenSSL reports it.
int keyBits(KeyKind kind);

// A fresh key. Keys are cached per kind within the process, since RSA key
// generation is slow; each call returns a new reference to the cached key.
EvpKeyPtr generateKey(KeyKind kind);

// A fresh key outside the signing matrix, by "ALGORITHM:SIZE": "RSA:4096",
// "EC:P-521", "EC-explicit:P-256" (the curve written out as parameters
// instead of its name), "DSA:2048". Not cached; throws std::runtime_error
// when OpenSSL refuses.
EvpKeyPtr generateKeyOf(const std::string& description);

struct CertOptions {
    // Subject as "/C=DE/O=Example/CN=Signer" (OpenSSL's one-line form,
    // UTF-8 values).
    std::string subject = "/CN=Kivo Test";
    EVP_PKEY* subjectKey = nullptr;
    // Issuer certificate and key; both null for a self-signed certificate.
    X509* issuerCert = nullptr;
    EVP_PKEY* issuerKey = nullptr;
    long serial = 1;
    std::time_t notBefore = 0;  // 0: now minus one hour
    std::time_t notAfter = 0;   // 0: notBefore plus 365 days
    bool isCa = false;
    // Further extensions as (name, value) in OpenSSL's configuration
    // syntax, e.g. {"keyUsage", "critical,digitalSignature"}.
    std::vector<std::pair<std::string, std::string>> extensions;
    // Digest for the certificate signature; null picks SHA-256.
    const EVP_MD* digest = nullptr;
};

// A certificate built and signed as `options` says; throws std::runtime_error
// with OpenSSL's reason when OpenSSL refuses.
X509Ptr makeCertificate(const CertOptions& options);

// DER of a certificate.
std::vector<unsigned char> derOf(X509* certificate);

// Writes a PKCS#12 file holding `key`, its certificate and the further
// certificates `chain`, protected by `password` with OpenSSL's default
// algorithms; throws std::runtime_error when OpenSSL refuses or the file
// cannot be written.
void writePkcs12(const std::string& path, EVP_PKEY* key, X509* certificate,
                 const std::string& password, const std::vector<X509*>& chain = {});

}  // namespace kivo::test
