// Owning handles for OpenSSL objects: std::unique_ptr with the object's own
// free function, one alias per type the library holds.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace kivo {

template <auto Free>
struct OpenSSLFree {
    template <class T>
    void operator()(T* object) const {
        Free(object);
    }
};

template <class T, auto Free>
using OpenSSLPtr = std::unique_ptr<T, OpenSSLFree<Free>>;

using BioPtr = OpenSSLPtr<BIO, BIO_free>;
using BignumPtr = OpenSSLPtr<BIGNUM, BN_free>;
using CmsPtr = OpenSSLPtr<CMS_ContentInfo, CMS_ContentInfo_free>;
using CrlPtr = OpenSSLPtr<X509_CRL, X509_CRL_free>;
using EcdsaSigPtr = OpenSSLPtr<ECDSA_SIG, ECDSA_SIG_free>;
using EvpKeyPtr = OpenSSLPtr<EVP_PKEY, EVP_PKEY_free>;
using KeyContextPtr = OpenSSLPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdContextPtr = OpenSSLPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using Pkcs7Ptr = OpenSSLPtr<PKCS7, PKCS7_free>;
using StoreContextPtr = OpenSSLPtr<X509_STORE_CTX, X509_STORE_CTX_free>;
using StorePtr = OpenSSLPtr<X509_STORE, X509_STORE_free>;
using X509ObjectPtr = OpenSSLPtr<X509_OBJECT, X509_OBJECT_free>;
using X509Ptr = OpenSSLPtr<X509, X509_free>;

}  // namespace kivo
