// Shared pieces of the certificate-object tests: files in a scratch folder,
// PEM and DER of a certificate, and a three-level PKI made with OpenSSL.
#pragma once

#include "CertInfoSSL.h"
#include "tests/support/TestSupport.h"
#include "tools/testpki/Pki.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kivo::test::certobject {

using Bytes = std::vector<unsigned char>;

// Writes `content` to `name` below `dir`, making the folders on the way.
template <class Content>
std::string write(const TempDir& dir, const std::string& name, const Content& content) {
    const std::string target = dir.file(name);
    std::filesystem::create_directories(std::filesystem::path(target).parent_path());
    std::ofstream(target, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                  static_cast<std::streamsize>(content.size()));
    return target;
}

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
// level has a key of its own.
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

}  // namespace kivo::test::certobject
