#include "tests/support/card/CryptoCheck.h"

#include "tools/testpki/Pki.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

namespace kivo::test {

namespace {

template <auto Free>
struct Freeing {
    template <typename T> void operator()(T* p) const { Free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Freeing<EVP_PKEY_free>>;
using Ctx = std::unique_ptr<EVP_PKEY_CTX, Freeing<EVP_PKEY_CTX_free>>;

Pkey keyOf(const std::string& pemFile) {
    const std::unique_ptr<FILE, Freeing<std::fclose>> f(std::fopen(pemFile.c_str(), "r"));
    return Pkey(f ? PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr) : nullptr);
}

Pkey keyOf(const ByteVector& certificate) {
    const unsigned char* next = certificate.data();
    const std::unique_ptr<X509, Freeing<X509_free>> x509(d2i_X509(nullptr, &next, static_cast<long>(certificate.size())));
    return Pkey(x509 ? X509_get_pubkey(x509.get()) : nullptr);
}

// RSA verification with PKCS#1 v1.5 padding, or PSS with MGF1 of the same digest when `saltLength` is given.
bool verifyRsa(const Pkey& key, const ByteVector& hash, const ByteVector& signature, const std::string& digest,
               std::optional<int> saltLength) {
    const EVP_MD* md = EVP_get_digestbyname(digest.c_str());
    if (!key || md == nullptr) return false;
    Ctx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    const bool pss = saltLength.has_value();
    return ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), pss ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING) > 0 &&
           EVP_PKEY_CTX_set_signature_md(ctx.get(), md) > 0 &&
           (!pss || (EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) > 0 &&
                     EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), *saltLength) > 0)) &&
           EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
}

bool verifyEcdsa(const Pkey& key, const ByteVector& hash, const ByteVector& signature) {
    if (!key || signature.empty() || signature.size() % 2) return false;
    const int half = static_cast<int>(signature.size() / 2);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(signature.data(), half, nullptr), BN_bin2bn(signature.data() + half, half, nullptr));
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    if (derLength <= 0) return false;
    Ctx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    const bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
                    EVP_PKEY_verify(ctx.get(), der, static_cast<std::size_t>(derLength), hash.data(), hash.size()) == 1;
    OPENSSL_free(der);
    return ok;
}

ByteVector encryptRsa(const Pkey& key, const ByteVector& plain) {
    Ctx ctx(key ? EVP_PKEY_CTX_new(key.get(), nullptr) : nullptr);
    std::size_t length = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &length, plain.data(), plain.size()) <= 0) {
        return {};
    }
    ByteVector out(length);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &length, plain.data(), plain.size()) <= 0) return {};
    out.resize(length);
    return out;
}

bool writeFile(const std::string& file, const std::function<bool(FILE*)>& write) {
    const std::unique_ptr<FILE, Freeing<std::fclose>> f(std::fopen(file.c_str(), "wb"));
    return f && write(f.get());
}

bool writeKey(const std::string& pemFile, const std::string& kind) {
    const size_t rsaBits = kind == "rsa1024" ? 1024 : kind == "rsa3072" ? 3072 : 2048;
    Pkey key(kind == "ec256" ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")
                             : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", rsaBits));
    return key && writeFile(pemFile, [&](FILE* f) { return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1; });
}

bool writeSelfSignedCertificate(const std::string& pemFile, const std::string& derFile, const std::string& name) {
    const Pkey key = keyOf(pemFile);
    const std::vector<unsigned char> der =
        key ? derOf(makeCertificate({.subject = "/CN=" + name, .subjectKey = key.get()}).get()) : std::vector<unsigned char>{};
    return key && writeFile(derFile, [&](FILE* f) { return std::fwrite(der.data(), 1, der.size(), f) == der.size(); });
}

}  // namespace

ByteVector sha256(const ByteVector& data) {
    ByteVector hash(32);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), hash.data(), &length, EVP_sha256(), nullptr);
    return hash;
}

ByteVector sha256DigestInfo(const ByteVector& data) {
    ByteVector info = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                       0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    const ByteVector hash = sha256(data);
    info.insert(info.end(), hash.begin(), hash.end());
    return info;
}

bool verifyRsaSha256(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature) {
    return verifyRsa(keyOf(pemFile), hash, signature, "SHA256", std::nullopt);
}
bool verifyRsaPkcs1(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature,
                    const std::string& digest) {
    return verifyRsa(keyOf(pemFile), hash, signature, digest, std::nullopt);
}
bool verifyRsaPss(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature,
                  const std::string& digest, int saltLength) {
    return verifyRsa(keyOf(pemFile), hash, signature, digest, saltLength);
}
bool verifyEcdsaPlain(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature) {
    return verifyEcdsa(keyOf(pemFile), hash, signature);
}
ByteVector rsaEncrypt(const std::string& pemFile, const ByteVector& plain) { return encryptRsa(keyOf(pemFile), plain); }
bool verifyRsaPkcs1(const ByteVector& certificate, const ByteVector& hash, const ByteVector& signature,
                    const std::string& digest) {
    return verifyRsa(keyOf(certificate), hash, signature, digest, std::nullopt);
}
bool verifyRsaPss(const ByteVector& certificate, const ByteVector& hash, const ByteVector& signature,
                  const std::string& digest, int saltLength) {
    return verifyRsa(keyOf(certificate), hash, signature, digest, saltLength);
}
bool verifyEcdsaPlain(const ByteVector& certificate, const ByteVector& hash, const ByteVector& signature) {
    return verifyEcdsa(keyOf(certificate), hash, signature);
}
ByteVector rsaEncrypt(const ByteVector& certificate, const ByteVector& plain) {
    return encryptRsa(keyOf(certificate), plain);
}

CardKeyFolder::CardKeyFolder(const std::string& prefix, const std::vector<std::pair<std::string, std::string>>& keys,
                             const std::vector<std::string>& certificates)
    : m_path(std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(m_path);
    for (const auto& [name, kind] : keys) {
        if (!writeKey(file(name), kind)) throw std::runtime_error("cannot write key " + name);
    }
    for (const std::string& stem : certificates) {
        if (!writeSelfSignedCertificate(file(stem + ".pem"), file(stem + ".crt"), stem)) {
            throw std::runtime_error("cannot write certificate " + stem + ".crt");
        }
    }
}

CardKeyFolder::~CardKeyFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

}  // namespace kivo::test
