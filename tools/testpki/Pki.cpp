#include "tools/testpki/Pki.h"

#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/conf.h>
#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>

namespace kivo::test {
namespace {

[[noreturn]] void failWithOpenSSL(const std::string& what) {
    char reason[256] = "no reason queued";
    if (const unsigned long code = ERR_get_error()) ERR_error_string_n(code, reason, sizeof reason);
    ERR_clear_error();
    throw std::runtime_error(what + ": " + reason);
}

// An RSA key restricted to RSASSA-PSS (OpenSSL's "RSA-PSS" key type).
EVP_PKEY* generateRsaPss(unsigned bits) {
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA-PSS", nullptr);
    if (context != nullptr && EVP_PKEY_keygen_init(context) == 1 &&
        EVP_PKEY_CTX_set_rsa_keygen_bits(context, static_cast<int>(bits)) == 1) {
        EVP_PKEY_keygen(context, &key);
    }
    EVP_PKEY_CTX_free(context);
    return key;
}

EvpKeyPtr generateFresh(KeyKind kind) {
    EVP_PKEY* key = nullptr;
    switch (kind) {
        case KeyKind::Rsa2048: key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}); break;
        case KeyKind::Rsa3072: key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{3072}); break;
        case KeyKind::RsaPss2048: key = generateRsaPss(2048); break;
        case KeyKind::EcP256: key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"); break;
        case KeyKind::EcP384: key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384"); break;
    }
    if (key == nullptr) failWithOpenSSL(std::string("generating ") + keyKindName(kind));
    return EvpKeyPtr(key);
}

EVP_PKEY* generateDsa(unsigned bits) {
    EVP_PKEY* parameters = nullptr;
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    if (context != nullptr && EVP_PKEY_paramgen_init(context) == 1 &&
        EVP_PKEY_CTX_set_dsa_paramgen_bits(context, static_cast<int>(bits)) == 1) {
        EVP_PKEY_paramgen(context, &parameters);
    }
    EVP_PKEY_CTX_free(context);
    context = parameters != nullptr ? EVP_PKEY_CTX_new_from_pkey(nullptr, parameters, nullptr) : nullptr;
    if (context != nullptr && EVP_PKEY_keygen_init(context) == 1) EVP_PKEY_keygen(context, &key);
    EVP_PKEY_CTX_free(context);
    EVP_PKEY_free(parameters);
    return key;
}

void setName(X509_NAME* name, const std::string& oneLine) {
    // "/C=DE/O=Example/CN=Signer": entries separated by '/', type=value.
    std::size_t position = 0;
    while (position < oneLine.size()) {
        if (oneLine[position] != '/') throw std::runtime_error("name must start with '/': " + oneLine);
        const std::size_t end = oneLine.find('/', position + 1);
        const std::string entry = oneLine.substr(position + 1, end == std::string::npos ? std::string::npos
                                                                                        : end - position - 1);
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos) throw std::runtime_error("entry without '=': " + entry);
        const std::string type = entry.substr(0, equals);
        const std::string value = entry.substr(equals + 1);
        if (X509_NAME_add_entry_by_txt(name, type.c_str(), MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.data()),
                                       static_cast<int>(value.size()), -1, 0) != 1) {
            failWithOpenSSL("name entry " + entry);
        }
        if (end == std::string::npos) break;
        position = end;
    }
}

void addExtension(X509* certificate, X509* issuer, const std::string& name, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    // An empty configuration database lets values refer to sections (as
    // certificatePolicies does) without a configuration file.
    CONF* database = NCONF_new(nullptr);
    X509V3_set_nconf(&context, database);
    X509_EXTENSION* extension = X509V3_EXT_nconf(database, &context, name.c_str(), value.c_str());
    NCONF_free(database);
    if (extension == nullptr) failWithOpenSSL("extension " + name + "=" + value);
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    if (added != 1) failWithOpenSSL("adding extension " + name);
}

}  // namespace

const char* keyKindName(KeyKind kind) {
    switch (kind) {
        case KeyKind::Rsa2048: return "RSA2048";
        case KeyKind::Rsa3072: return "RSA3072";
        case KeyKind::RsaPss2048: return "RSAPSS2048";
        case KeyKind::EcP256: return "ECP256";
        case KeyKind::EcP384: return "ECP384";
    }
    return "unknown";
}

std::vector<KeyKind> allKeyKinds() {
    return {KeyKind::Rsa2048, KeyKind::Rsa3072, KeyKind::RsaPss2048, KeyKind::EcP256, KeyKind::EcP384};
}

int keyBits(KeyKind kind) {
    switch (kind) {
        case KeyKind::Rsa2048: return 2048;
        case KeyKind::Rsa3072: return 3072;
        case KeyKind::RsaPss2048: return 2048;
        case KeyKind::EcP256: return 256;
        case KeyKind::EcP384: return 384;
    }
    return 0;
}

EvpKeyPtr generateKeyOf(const std::string& description) {
    const std::size_t colon = description.find(':');
    const std::string algorithm = description.substr(0, colon);
    const std::string size = colon == std::string::npos ? "" : description.substr(colon + 1);
    EVP_PKEY* key = nullptr;
    if (algorithm == "RSA") {
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(std::stoul(size)));
    } else if (algorithm == "EC" || algorithm == "EC-explicit") {
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", size.c_str());
        if (key != nullptr && algorithm == "EC-explicit" &&
            EVP_PKEY_set_utf8_string_param(key, OSSL_PKEY_PARAM_EC_ENCODING,
                                           OSSL_PKEY_EC_ENCODING_EXPLICIT) != 1) {
            EVP_PKEY_free(key);
            key = nullptr;
        }
    } else if (algorithm == "DSA") {
        key = generateDsa(static_cast<unsigned>(std::stoul(size)));
    }
    if (key == nullptr) failWithOpenSSL("generating " + description);
    return EvpKeyPtr(key);
}

EvpKeyPtr generateKey(KeyKind kind) {
    static std::mutex mutex;
    static std::map<KeyKind, EvpKeyPtr> cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto& cached = cache[kind];
    if (!cached) cached = generateFresh(kind);
    EVP_PKEY_up_ref(cached.get());
    return EvpKeyPtr(cached.get());
}

X509Ptr makeCertificate(const CertOptions& options) {
    if (options.subjectKey == nullptr) throw std::runtime_error("certificate needs a subject key");
    const bool selfSigned = options.issuerCert == nullptr;
    EVP_PKEY* signingKey = selfSigned ? options.subjectKey : options.issuerKey;
    if (signingKey == nullptr) throw std::runtime_error("certificate needs an issuer key");

    X509Ptr certificate(X509_new());
    if (!certificate) failWithOpenSSL("X509_new");
    X509* cert = certificate.get();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), options.serial);

    const std::time_t notBefore = options.notBefore != 0 ? options.notBefore : std::time(nullptr) - 3600;
    const std::time_t notAfter = options.notAfter != 0 ? options.notAfter : notBefore + 365L * 24 * 3600;
    if (ASN1_TIME_set(X509_getm_notBefore(cert), notBefore) == nullptr ||
        ASN1_TIME_set(X509_getm_notAfter(cert), notAfter) == nullptr) {
        failWithOpenSSL("validity");
    }

    setName(X509_get_subject_name(cert), options.subject);
    if (selfSigned) {
        X509_set_issuer_name(cert, X509_get_subject_name(cert));
    } else {
        X509_set_issuer_name(cert, X509_get_subject_name(options.issuerCert));
    }
    if (X509_set_pubkey(cert, options.subjectKey) != 1) failWithOpenSSL("public key");

    X509* issuer = selfSigned ? cert : options.issuerCert;
    addExtension(cert, issuer, "subjectKeyIdentifier", "hash");
    addExtension(cert, issuer, "authorityKeyIdentifier", "keyid:always");
    if (options.isCa) {
        addExtension(cert, issuer, "basicConstraints", "critical,CA:TRUE");
        addExtension(cert, issuer, "keyUsage", "critical,keyCertSign,cRLSign");
    }
    for (const auto& [name, value] : options.extensions) addExtension(cert, issuer, name, value);

    // RSA-PSS keys sign with their own scheme: EVP_DigestSign with a PSS key
    // picks PSS padding by itself.
    const EVP_MD* digest = options.digest != nullptr ? options.digest : EVP_sha256();
    if (X509_sign(cert, signingKey, digest) <= 0) failWithOpenSSL("signing certificate");
    return certificate;
}

std::vector<unsigned char> derOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    if (length <= 0) failWithOpenSSL("i2d_X509");
    std::vector<unsigned char> bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

void writePkcs12(const std::string& path, EVP_PKEY* key, X509* certificate,
                 const std::string& password, const std::vector<X509*>& chain) {
    STACK_OF(X509)* others = sk_X509_new_null();
    for (X509* extra : chain) sk_X509_push(others, extra);
    PKCS12* bundle = PKCS12_create(password.c_str(), "kivo test key", key, certificate, others, 0,
                                   0, 0, 0, 0);
    sk_X509_free(others);
    if (bundle == nullptr) failWithOpenSSL("PKCS12_create");
    unsigned char* der = nullptr;
    const int length = i2d_PKCS12(bundle, &der);
    PKCS12_free(bundle);
    if (length <= 0) failWithOpenSSL("i2d_PKCS12");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const bool written = file != nullptr &&
                         std::fwrite(der, 1, static_cast<std::size_t>(length), file) ==
                             static_cast<std::size_t>(length);
    if (file != nullptr && std::fclose(file) != 0) {
        OPENSSL_free(der);
        throw std::runtime_error("cannot close " + path);
    }
    OPENSSL_free(der);
    if (!written) throw std::runtime_error("cannot write " + path);
}

}  // namespace kivo::test
