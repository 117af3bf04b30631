#include "tests/support/card/CryptoCheck.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "tools/testpki/Pki.h"

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace kivo::test {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Ctx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

Pkey readKey(const std::string& file) {
    FILE* f = std::fopen(file.c_str(), "r");
    if (!f) return nullptr;
    Pkey key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    return key;
}

}  // namespace

ByteVector sha256(const ByteVector& data) {
    ByteVector hash(32);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), hash.data(), &length, EVP_sha256(), nullptr);
    return hash;
}

ByteVector sha256DigestInfo(const ByteVector& data) {
    ByteVector info = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                       0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    ByteVector hash = sha256(data);
    info.insert(info.end(), hash.begin(), hash.end());
    return info;
}

bool verifyRsaSha256(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature) {
    return verifyRsaPkcs1(pemFile, hash, signature, "SHA256");
}

namespace {

// The public key of a DER certificate.
Pkey certificateKey(const ByteVector& certificate) {
    const unsigned char* next = certificate.data();
    X509* x509 = d2i_X509(nullptr, &next, static_cast<long>(certificate.size()));
    Pkey key(x509 != nullptr ? X509_get_pubkey(x509) : nullptr);
    X509_free(x509);
    return key;
}

bool verifyPkcs1With(const Pkey& key, const ByteVector& hash, const ByteVector& signature,
                     const std::string& digest) {
    const EVP_MD* md = EVP_get_digestbyname(digest.c_str());
    if (!key || md == nullptr) return false;
    Ctx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
           EVP_PKEY_CTX_set_signature_md(ctx.get(), md) > 0 &&
           EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
}

bool verifyPssWith(const Pkey& key, const ByteVector& hash, const ByteVector& signature,
                   const std::string& digest, int saltLength) {
    const EVP_MD* md = EVP_get_digestbyname(digest.c_str());
    if (!key || md == nullptr) return false;
    Ctx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) > 0 &&
           EVP_PKEY_CTX_set_signature_md(ctx.get(), md) > 0 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) > 0 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), saltLength) > 0 &&
           EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
}

bool verifyEcdsaPlainWith(const Pkey& key, const ByteVector& hash, const ByteVector& signature) {
    if (!key || signature.empty() || signature.size() % 2) return false;
    std::size_t half = signature.size() / 2;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(signature.data(), static_cast<int>(half), nullptr),
                   BN_bin2bn(signature.data() + half, static_cast<int>(half), nullptr));
    unsigned char* der = nullptr;
    int derLength = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    if (derLength <= 0) return false;
    Ctx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
              EVP_PKEY_verify(ctx.get(), der, static_cast<std::size_t>(derLength), hash.data(), hash.size()) == 1;
    OPENSSL_free(der);
    return ok;
}

ByteVector rsaEncryptWith(const Pkey& key, const ByteVector& plain) {
    if (!key) return {};
    Ctx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) {
        return {};
    }
    std::size_t length = 0;
    if (EVP_PKEY_encrypt(ctx.get(), nullptr, &length, plain.data(), plain.size()) <= 0) return {};
    ByteVector out(length);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &length, plain.data(), plain.size()) <= 0) return {};
    out.resize(length);
    return out;
}

}  // namespace

bool verifyRsaPkcs1(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature,
                    const std::string& digest) {
    return verifyPkcs1With(readKey(pemFile), hash, signature, digest);
}

bool verifyRsaPss(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature,
                  const std::string& digest, int saltLength) {
    return verifyPssWith(readKey(pemFile), hash, signature, digest, saltLength);
}

bool verifyEcdsaPlain(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature) {
    return verifyEcdsaPlainWith(readKey(pemFile), hash, signature);
}

ByteVector rsaEncrypt(const std::string& pemFile, const ByteVector& plain) {
    return rsaEncryptWith(readKey(pemFile), plain);
}

bool verifyRsaPkcs1(const ByteVector& certificate, const ByteVector& hash, const ByteVector& signature,
                    const std::string& digest) {
    return verifyPkcs1With(certificateKey(certificate), hash, signature, digest);
}

bool verifyRsaPss(const ByteVector& certificate, const ByteVector& hash, const ByteVector& signature,
                  const std::string& digest, int saltLength) {
    return verifyPssWith(certificateKey(certificate), hash, signature, digest, saltLength);
}

bool verifyEcdsaPlain(const ByteVector& certificate, const ByteVector& hash, const ByteVector& signature) {
    return verifyEcdsaPlainWith(certificateKey(certificate), hash, signature);
}

ByteVector rsaEncrypt(const ByteVector& certificate, const ByteVector& plain) {
    return rsaEncryptWith(certificateKey(certificate), plain);
}

bool writeKey(const std::string& pemFile, const std::string& kind) {
    size_t rsaBits = kind == "rsa1024" ? 1024 : kind == "rsa3072" ? 3072 : 2048;
    Pkey key(kind == "ec256" ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")
                             : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", rsaBits));
    if (!key) return false;
    FILE* f = std::fopen(pemFile.c_str(), "w");
    if (!f) return false;
    bool ok = PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    std::fclose(f);
    return ok;
}

bool writeSelfSignedCertificate(const std::string& pemFile, const std::string& derFile,
                                const std::string& name) {
    Pkey key = readKey(pemFile);
    if (!key) return false;
    CertOptions options;
    options.subject = "/CN=" + name;
    options.subjectKey = key.get();
    const std::vector<unsigned char> der = derOf(makeCertificate(options).get());
    FILE* f = std::fopen(derFile.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(der.data(), 1, der.size(), f) == der.size();
    std::fclose(f);
    return ok;
}

CardKeyFolder::CardKeyFolder(const std::string& prefix,
                             const std::vector<std::pair<std::string, std::string>>& keys,
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
