// Shared pieces of the certificate-object tests: scratch folders, files in
// PEM and DER, and a three-level PKI made with OpenSSL.
#pragma once

#include "CertInfoSSL.h"
#include "tools/testpki/Pki.h"

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivo::test::certobject {

using Bytes = std::vector<unsigned char>;

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kivo-certobj-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

    std::string write(const std::string& name, const std::string& content) const {
        const std::string target = file(name);
        std::filesystem::create_directories(std::filesystem::path(target).parent_path());
        std::ofstream out(target, std::ios::binary);
        out << content;
        if (!out) throw std::runtime_error("cannot write " + target);
        return target;
    }
    std::string write(const std::string& name, const Bytes& content) const {
        return write(name, std::string(content.begin(), content.end()));
    }
    std::string makeDir(const std::string& name) const {
        std::filesystem::create_directories(file(name));
        return file(name);
    }

private:
    std::string m_path;
};

inline std::string pemOf(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return pem;
}

inline Bytes derBytes(X509* cert) { return kivo::test::derOf(cert); }

// A certificate for `subjectKey` signed with `issuerKey` under `issuer`;
// self-signed when `issuer` is null.
inline X509Ptr issued(const std::string& subject, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey,
                      long serial, bool isCa = true) {
    CertOptions options;
    options.subject = subject;
    options.subjectKey = subjectKey;
    options.issuerCert = issuer;
    options.issuerKey = issuerKey;
    options.serial = serial;
    options.isCa = isCa;
    return makeCertificate(options);
}

inline X509Ptr selfSigned(const std::string& subject, long serial, KeyKind kind = KeyKind::EcP256) {
    return issued(subject, generateKey(kind).get(), nullptr, nullptr, serial);
}

// Root (EC P-384), intermediate (EC P-256) and end entity (RSA 2048): each
// level has a key of its own, so a certificate does not verify with the
// key of the wrong level.
struct Chain {
    EvpKeyPtr rootKey = generateKey(KeyKind::EcP384);
    EvpKeyPtr intermediateKey = generateKey(KeyKind::EcP256);
    EvpKeyPtr leafKey = generateKey(KeyKind::Rsa2048);
    X509Ptr root = issued("/C=DE/O=Kivo Test/CN=Kivo Root CA", rootKey.get(), nullptr, nullptr, 100);
    X509Ptr intermediate = issued("/C=DE/O=Kivo Test/CN=Kivo Intermediate CA", intermediateKey.get(),
                                  root.get(), rootKey.get(), 200);
    X509Ptr leaf = issued("/C=DE/O=Kivo Test/CN=Kivo Signer", leafKey.get(), intermediate.get(),
                          intermediateKey.get(), 300, false);
};

// Number of certificates in the trust store (0 without a store).
inline int storedCertificates() {
    if (CCertInfo::m_store == nullptr) return 0;
    int count = 0;
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(CCertInfo::m_store);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
        if (X509_OBJECT_get_type(sk_X509_OBJECT_value(objects, i)) == X509_LU_X509) ++count;
    }
    return count;
}

// True when the trust store holds a certificate equal to `cert`.
inline bool storeHolds(X509* cert) {
    if (CCertInfo::m_store == nullptr) return false;
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(CCertInfo::m_store);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
        X509* held = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
        if (held != nullptr && X509_cmp(held, cert) == 0) return true;
    }
    return false;
}

// Every test of the trust store starts and ends without a store.
class TrustStoreTest : public ::testing::Test {
protected:
    void SetUp() override { CCertInfo::CleanUpSSL_CAStore(); }
    void TearDown() override { CCertInfo::CleanUpSSL_CAStore(); }
};

}  // namespace kivo::test::certobject
