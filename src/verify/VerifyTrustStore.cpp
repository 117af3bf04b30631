#include "src/verify/VerifyTrustStore.h"

#include "src/frame/Logging.h"
#include "src/verify/VerifyFileCache.h"

#include <openssl/err.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace kivo::verify {
namespace {

// A store look-up over a cached trust file. OpenSSL's file look-up adds
// every certificate of the file to the store before the chain is built;
// this one adds the certificates of a subject when the chain asks for that
// subject (all of them, in file order, as the file look-up's store would
// hold them), so that a call with a trust file of a hundred certificates
// does not insert them all. Its place among the look-ups is the file
// look-up's: before the hashed directory, which is asked only for subjects
// the file does not have, as before.
int certificatesBySubject(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name, X509_OBJECT* found) {
    const auto* parsed = static_cast<const ParsedFilePtr*>(X509_LOOKUP_get_method_data(lookup));
    X509_STORE* store = X509_LOOKUP_get_store(lookup);
    if (type != X509_LU_X509 || parsed == nullptr || store == nullptr || name == nullptr) return 0;
    const std::vector<X509*> named = (*parsed)->certificatesNamed(name);
    for (X509* certificate : named) {
        if (X509_STORE_add_cert(store, certificate) != 1) return 0;
    }
    // OpenSSL takes its own reference of the object handed back and never
    // frees `found`; the store's reference keeps the certificate alive.
    if (named.empty() || X509_OBJECT_set1_X509(found, named.front()) != 1) return 0;
    X509_free(named.front());
    return 1;
}

void freeCachedFile(X509_LOOKUP* lookup) {
    delete static_cast<ParsedFilePtr*>(X509_LOOKUP_get_method_data(lookup));
    X509_LOOKUP_set_method_data(lookup, nullptr);
}

X509_LOOKUP_METHOD* cachedFileLookup() {
    static X509_LOOKUP_METHOD* const method = [] {
        X509_LOOKUP_METHOD* made = X509_LOOKUP_meth_new("kivo cached trust file");
        if (made != nullptr && (X509_LOOKUP_meth_set_get_by_subject(made, certificatesBySubject) != 1 ||
                                X509_LOOKUP_meth_set_free(made, freeCachedFile) != 1)) {
            X509_LOOKUP_meth_free(made);
            made = nullptr;
        }
        return made;
    }();
    return method;
}

// Gives the store the certificates and CRLs of the PEM file `path` from
// the file cache: the CRLs at once, the certificates through a look-up.
// False when the cache has nothing for it (the file cannot be opened or
// parsed, or holds no object), so that OpenSSL's own file lookup then
// reads it and fails or succeeds with its own errors and messages.
bool addCachedObjects(X509_STORE* store, const char* path) {
    ParsedFilePtr parsed = pemFile(path);
    if (!parsed || (parsed->certificates.empty() && parsed->crls.empty())) return false;
    for (const CrlPtr& crl : parsed->crls) {
        if (X509_STORE_add_crl(store, crl.get()) != 1) return false;
    }
    if (parsed->certificates.empty()) return true;
    X509_LOOKUP_METHOD* method = cachedFileLookup();
    X509_LOOKUP* lookup = method != nullptr ? X509_STORE_add_lookup(store, method) : nullptr;
    if (lookup == nullptr) return false;
    auto* held = new ParsedFilePtr(std::move(parsed));
    if (X509_LOOKUP_set_method_data(lookup, held) != 1) {
        delete held;
        return false;
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
