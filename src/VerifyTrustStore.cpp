#include "src/VerifyTrustStore.h"

#include "src/Logging.h"
#include "src/VerifyFileCache.h"

#include <openssl/err.h>

#include <cstdlib>
#include <string>

namespace kivo::verify {
namespace {

// Adds the certificates and CRLs of the PEM file `path` from the file
// cache; false when the cache has nothing for it (the file cannot be
// opened or parsed, or holds no object), so that OpenSSL's own file lookup
// then reads it and fails or succeeds with its own errors and messages.
bool addCachedObjects(X509_STORE* store, const char* path) {
    const ParsedFilePtr parsed = pemFile(path);
    if (!parsed || (parsed->certificates.empty() && parsed->crls.empty())) return false;
    for (const X509Ptr& certificate : parsed->certificates) {
        if (X509_STORE_add_cert(store, certificate.get()) != 1) return false;
    }
    for (const CrlPtr& crl : parsed->crls) {
        if (X509_STORE_add_crl(store, crl.get()) != 1) return false;
    }
    return true;
}

// The file OpenSSL's file lookup loads by default: the file named by the
// SSL_CERT_FILE environment variable, else the built-in one.
std::string defaultCertificateFile() {
    const char* fromEnvironment = secure_getenv(X509_get_default_cert_file_env());
    return fromEnvironment != nullptr ? fromEnvironment : X509_get_default_cert_file();
}

}  // namespace

StorePtr buildTrustStore(const char* caFile, const char* caPath) {
    ERR_clear_error();
    StorePtr store(X509_STORE_new());
    if (!store) {
        openSSL_LogError(loggers::module, "X509_STORE_new");
        return nullptr;
    }

    X509_LOOKUP* file = X509_STORE_add_lookup(store.get(), X509_LOOKUP_file());
    if (file == nullptr) {
        openSSL_LogError(loggers::module, "X509_LOOKUP_file");
        return nullptr;
    }
    if (caFile != nullptr) {
        if (!addCachedObjects(store.get(), caFile) && X509_LOOKUP_load_file(file, caFile, X509_FILETYPE_PEM) <= 0) {
            LOG4CXX_ERROR(loggers::module, "Error loading file " << caFile);
            openSSL_LogError(loggers::module, "X509_LOOKUP_load_file");
            return nullptr;
        }
    } else if (!addCachedObjects(store.get(), defaultCertificateFile().c_str())) {
        X509_LOOKUP_load_file(file, nullptr, X509_FILETYPE_DEFAULT);
    }

    X509_LOOKUP* directory = X509_STORE_add_lookup(store.get(), X509_LOOKUP_hash_dir());
    if (directory == nullptr) {
        openSSL_LogError(loggers::module, "X509_LOOKUP_hash_dir");
        return nullptr;
    }
    if (caPath != nullptr) {
        if (X509_LOOKUP_add_dir(directory, caPath, X509_FILETYPE_PEM) <= 0) {
            LOG4CXX_ERROR(loggers::module, "Error loading directory " << caPath);
            openSSL_LogError(loggers::module, "X509_LOOKUP_add_dir");
            return nullptr;
        }
    } else {
        X509_LOOKUP_add_dir(directory, nullptr, X509_FILETYPE_DEFAULT);
    }
    ERR_clear_error();
    return store;
}

bool initialiseContext(X509_STORE_CTX* context, X509_STORE* store, X509* certificate) {
    if (context == nullptr || store == nullptr || certificate == nullptr) return false;
    // A context that verified once keeps its chain; OpenSSL refuses to
    // verify again until it is cleaned up.
    X509_STORE_CTX_cleanup(context);
    if (X509_STORE_CTX_init(context, store, certificate, nullptr) != 1) {
        openSSL_LogError(loggers::module, "X509_STORE_CTX_init");
        return false;
    }
    return true;
}

}  // namespace kivo::verify
