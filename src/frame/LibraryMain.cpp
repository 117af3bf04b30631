// What happens when the library is loaded into a process and unloaded.

#include "src/frame/LibraryMain.h"

#include <dlfcn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdlib>

namespace kivo {
namespace {

// Releases OpenSSL's process state that the library switched on. Registered
// with atexit from the load routine, so it runs when the library is unloaded
// and, at process exit, before OpenSSL's own clean-up (handlers run in
// reverse order of registration).
void libraryDetach() {
    EVP_default_properties_enable_fips(nullptr, 0);
    // OpenSSL 1.1's per-thread error state release (ERR_remove_state) has no
    // counterpart left to call: thread state is freed by OpenSSL itself.
}

ModuleInfo findModule() {
    ModuleInfo module;
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&findModule), &info) != 0) {
        module.base = info.dli_fbase;
        if (info.dli_fname != nullptr) module.path = info.dli_fname;
    }
    return module;
}

}  // namespace

void loadOpenSSLAlgorithms() {
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
}

void loadOpenSSLErrorStrings() {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

const ModuleInfo& libraryModule() {
    static const ModuleInfo module = findModule();
    return module;
}

}  // namespace kivo

// Runs when the library is attached to a process.
__attribute__((constructor)) static void kivoLibraryAttach() {
    kivo::loadOpenSSLAlgorithms();
    ERR_load_BIO_strings();
    kivo::loadOpenSSLErrorStrings();
    kivo::libraryModule();
    std::atexit(kivo::libraryDetach);
}
