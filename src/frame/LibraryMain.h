// Process start and end of the library, and the module it was loaded from.
#pragma once

#include <string>

namespace kivo {

// OpenSSL initialisation done when the library is loaded (between the two
// the BIO error strings are loaded); CSignMessage::InitSSL repeats both.
void loadOpenSSLAlgorithms();     // all ciphers and digests
void loadOpenSSLErrorStrings();   // libcrypto's error texts

// Base address and file of the loaded library (its "module handle"); the
// card key receives it for the dialog resources.
struct ModuleInfo {
    const void* base = nullptr;
    std::string path;
};
const ModuleInfo& libraryModule();

}  // namespace kivo
