// Finding a certificate's issuer in an OpenSSL trust store, as chain
// building does (name, key identifiers, validity at the context's time).
#pragma once

#include "src/frame/OpenSSLHandles.h"

#include <openssl/x509_vfy.h>

namespace kivo {

// The issuer of `certificate` among the certificates `context`'s store
// holds or can look up; null when there is none (or no context). The
// OpenSSL error queue is left empty when nothing is found.
X509Ptr issuerInStore(X509_STORE_CTX* context, X509* certificate);

// The same with a context of its own over `store`.
X509Ptr issuerInStore(X509_STORE* store, X509* certificate);

}  // namespace kivo
