#include "src/cert/IssuerLookup.h"

#include <openssl/err.h>

namespace kivo {

X509Ptr issuerInStore(X509_STORE_CTX* context, X509* certificate) {
    X509* found = nullptr;
    if (context == nullptr || certificate == nullptr || X509_STORE_CTX_get1_issuer(&found, context, certificate) != 1) {
        ERR_clear_error();
        X509_free(found);
        return nullptr;
    }
    return X509Ptr(found);
}

X509Ptr issuerInStore(X509_STORE* store, X509* certificate) {
    const StoreContextPtr context(X509_STORE_CTX_new());
    if (store == nullptr || !context || X509_STORE_CTX_init(context.get(), store, certificate, nullptr) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    return issuerInStore(context.get(), certificate);
}

}  // namespace kivo
