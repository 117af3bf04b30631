// The trust store CVerifyMsg builds for each call, independent of the
// library-wide store of CCertInfo, and the owning pointers of the OpenSSL
// objects the verification makes.
#pragma once

#include "src/frame/OpenSSLHandles.h"

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace kivo::verify {

using kivo::StoreContextPtr;
using kivo::StorePtr;

// A fresh store with a file lookup holding `caFile` (PEM certificates and
// CRLs) and a hashed-directory lookup over `caPath` (PEM files named by
// subject hash, CRLs as hash.rN). A null name selects OpenSSL's default
// file or directory, whose absence is no failure. Null when `caFile` does
// not load or `caPath` cannot be added; the OpenSSL error queue is empty
// afterwards either way.
StorePtr buildTrustStore(const char* caFile, const char* caPath);

// (Re)initialises `context` with `store` and `certificate`, no untrusted
// certificates and the store's flags. False when OpenSSL refuses.
bool initialiseContext(X509_STORE_CTX* context, X509_STORE* store, X509* certificate);

}  // namespace kivo::verify
