// A PKCS#12 key opened for signing: the signer certificate read with
// OpenSSL, the key handle opened by the library. Both are released when the
// object goes out of scope.
#pragma once

#include <openssl/x509.h>

#include <memory>
#include <string>

namespace kivocrypto {

struct CertificateFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using CertificatePtr = std::unique_ptr<X509, CertificateFree>;

struct KeyHandleClose {
    void operator()(unsigned long* key) const;
};
using KeyHandle = std::unique_ptr<unsigned long, KeyHandleClose>;

struct SigningKey {
    CertificatePtr certificate;
    KeyHandle key;
};

// Opens `p12File` with `password`. On failure returns false with a reason
// that names the file: not readable, not PKCS#12, wrong password, no
// certificate, or the library refusing the key.
bool openSigningKey(const std::string& p12File, const std::string& password, SigningKey& signer,
                    std::string& error);

}  // namespace kivocrypto
