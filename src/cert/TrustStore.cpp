// CCertInfo's process-wide trust store: an X509_STORE loaded from the
// certificate files of one directory or fed with DER certificates, the
// issuer walk through it and the single signature check.
//
// The store and its path are static and unguarded; callers serialise
// loading, clean-up and chain walks. No exception leaves a member: each body
// runs guarded and answers with the member's failure value.

#include "CertInfoSSL.h"

#include "src/frame/Guarded.h"
#include "src/cert/DirHelp.h"
#include "src/cert/IssuerLookup.h"
#include "src/frame/Logging.h"
#include "src/frame/OpenSSLHandles.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

x509_store_st* CCertInfo::m_store = nullptr;

namespace {

using kivo::guarded;

constexpr int kDecodeFailed = -56;
// The chain ends here: no issuer in the store, or a self-signed root.
constexpr int kChainEnd = static_cast<int>(0x80010000u);

constexpr const char* kUnsetPath = "unset";
constexpr const char* kMemoryStorePath = "set";

// Searched in this order; only "*.crt" files follow the count-only flag.
constexpr const char* kCertificatePatterns[] = {"*.crt", "*.pem", "*.der", "*.cer"};
constexpr const char* kCountOnlyPattern = "*.crt";
constexpr const char* kExcludedExtension = "xxx";
constexpr int kMaxFilesPerPattern = 100000;
// Larger files are not read as a DER certificate.
constexpr long kMaxDerFileSize = 16L * 1024 * 1024;

using kivo::BioPtr;
using kivo::StoreContextPtr;
using kivo::X509Ptr;
using PkeyPtr = kivo::EvpKeyPtr;
using ObjectPtr = kivo::X509ObjectPtr;

// A certificate file is read only when it is a regular file: opening a
// pipe or device could block.
bool isRegularFile(const std::string& file) {
    std::error_code error;
    return std::filesystem::is_regular_file(file, error);
}

// PEM password callback: a certificate needs none, and no terminal prompt
// may appear.
int noPassword(char*, int, int, void*) { return -1; }

X509Ptr decode(const unsigned char* der, unsigned long len) {
    if (der == nullptr || len == 0 || len > static_cast<unsigned long>(LONG_MAX)) return nullptr;
    const unsigned char* cursor = der;
    return X509Ptr(d2i_X509(nullptr, &cursor, static_cast<long>(len)));
}

// True when `store` already holds a certificate equal to `cert`.
bool storeHolds(X509_STORE* store, X509* cert) {
    ObjectPtr probe(X509_OBJECT_new());
    if (!probe || X509_OBJECT_set1_X509(probe.get(), cert) != 1) return false;
    X509_STORE_lock(store);
    const bool held = X509_OBJECT_retrieve_match(X509_STORE_get0_objects(store), probe.get()) != nullptr;
    X509_STORE_unlock(store);
    return held;
}

// Adds `cert` to `store`. A certificate the store already holds is refused
// like any other refusal, so that a count says how many certificates were
// new; OpenSSL's queued errors are discarded.
bool addToStore(X509_STORE* store, X509* cert) {
    if (storeHolds(store, cert)) return false;
    if (X509_STORE_add_cert(store, cert) == 1) return true;
    ERR_clear_error();
    return false;
}

// A new empty store in place of the current one.
void replaceStore() {
    X509_STORE_free(CCertInfo::m_store);
    CCertInfo::m_store = X509_STORE_new();
}

const char* shown(const char* text) { return text != nullptr ? text : "(null)"; }

}  // namespace

// ---- loading -----------------------------------------------------------------------

int CCertInfo::InitSSL_CAStore(const char* path, bool add) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "InitSSL_CAStore");
        LOG4CXX_DEBUG(m_logger, " path : " << shown(path) << " add : " << add);
        int count = 0;
        if (path == nullptr) {
            // Nothing to load; whatever store is loaded stays.
        } else if (add) {
            // Without a store only the "*.crt" files are counted.
            count = AddDir2Store(path, m_store, true);
        } else if (m_storePath == kUnsetPath) {
            replaceStore();
            count = AddDir2Store(path, m_store, false);
            m_storePath = path;
        } else if (m_storePath == path) {
            // Loaded already: nothing is read again.
            if (m_store == nullptr) {
                m_store = X509_STORE_new();
                count = AddDir2Store(path, m_store, false);
            }
        } else {
            replaceStore();
            count = AddDir2Store(path, m_store, false);
            m_storePath = path;
        }
        KIVO_LOG_LEAVE(m_logger, "InitSSL_CAStore", count);
        return count;
    });
}

int CCertInfo::AddDir2Store(std::string dir, x509_store_st* store, bool countOnly) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "AddDir2Store");
        LOG4CXX_DEBUG(m_logger, " dir : " << dir << " countOnly : " << countOnly);
        int count = 0;
        for (const char* pattern : kCertificatePatterns) {
            CDirHelp walker(dir, pattern, kExcludedExtension, 0, kMaxFilesPerPattern);
            if (walker.EntryCount() <= 0) continue;
            const bool flag = std::strcmp(pattern, kCountOnlyPattern) == 0 && countOnly;
            CDirHelp::Entry entry;
            while (walker.NextEntry(entry) == 0) {
                if (entry.isDirectory) continue;
                if (AddCert2Store(entry.path, store, flag)) ++count;
            }
        }
        KIVO_LOG_LEAVE(m_logger, "AddDir2Store", count);
        return count;
    });
}

bool CCertInfo::AddCert2Store(std::string file, x509_store_st* store, bool countOnly) {
    return guarded(false, [&] {
        KIVO_LOG_ENTER(m_logger, "AddCert2Store");
        LOG4CXX_DEBUG(m_logger, " file : " << file);
        X509Ptr cert(ReadX509(file, false));
        bool taken = false;
        if (cert && countOnly) {
            taken = true;
        } else if (cert && store != nullptr) {
            // Nothing is ever written through a null store.
            taken = addToStore(store, cert.get());
        }
        KIVO_LOG_LEAVE(m_logger, "AddCert2Store", taken);
        return taken;
    });
}

x509_st* CCertInfo::ReadX509(std::string file, bool print) {
    return guarded<x509_st*>(nullptr, [&] {
        KIVO_LOG_ENTER(m_logger, "ReadX509");
        // The content decides the format, never the extension.
        X509* cert = ReadX509_PEM_Cert(file);
        if (cert == nullptr) cert = ReadX509_DER_Cert(file);
        if (cert != nullptr && print) X509_print_fp(stdout, cert);
        KIVO_LOG_LEAVE(m_logger, "ReadX509", (cert != nullptr ? "OK" : "NULL"));
        return cert;
    });
}

x509_st* CCertInfo::ReadX509_PEM_Cert(std::string file) {
    return guarded<x509_st*>(nullptr, [&]() -> X509* {
        KIVO_LOG_ENTER(m_logger, "ReadX509_PEM_Cert");
        if (!isRegularFile(file)) return nullptr;
        BioPtr input(BIO_new_file(file.c_str(), "rb"));
        X509* cert = input ? PEM_read_bio_X509(input.get(), nullptr, noPassword, nullptr) : nullptr;
        // Not PEM is an ordinary outcome here (DER is tried next).
        if (cert == nullptr) ERR_clear_error();
        return cert;
    });
}

x509_st* CCertInfo::ReadX509_DER_Cert(std::string file) {
    return guarded<x509_st*>(nullptr, [&]() -> X509* {
        KIVO_LOG_ENTER(m_logger, "ReadX509_DER_Cert");
        if (!isRegularFile(file)) return nullptr;
        FILE* input = std::fopen(file.c_str(), "rb");
        if (input == nullptr) return nullptr;
        std::vector<unsigned char> content;
        long size = -1;
        if (std::fseek(input, 0, SEEK_END) == 0) size = std::ftell(input);
        if (size > 0 && size <= kMaxDerFileSize && std::fseek(input, 0, SEEK_SET) == 0) {
            content.resize(static_cast<std::size_t>(size));
            content.resize(std::fread(content.data(), 1, content.size(), input));
        }
        std::fclose(input);
        if (content.empty()) return nullptr;

        ERR_clear_error();
        const unsigned char* cursor = content.data();
        X509* cert = d2i_X509(nullptr, &cursor, static_cast<long>(content.size()));
        if (cert == nullptr) {
            char reason[256] = {};
            ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
            ERR_clear_error();
            LOG4CXX_DEBUG(m_logger, " no certificate in " << file << ": " << reason);
        }
        return cert;
    });
}

bool CCertInfo::AddCertToSSL_CAStore(unsigned char* der, unsigned long len) {
    return guarded(false, [&] {
        KIVO_LOG_ENTER(m_logger, "AddCertToSSL_CAStore");
        bool added = false;
        if (der != nullptr) {
            if (m_store == nullptr) {
                m_store = X509_STORE_new();
                if (m_storePath == kUnsetPath) m_storePath = kMemoryStorePath;
            }
            X509Ptr cert = decode(der, len);
            if (cert && m_store != nullptr) {
                added = addToStore(m_store, cert.get());
            } else {
                openSSL_LogError(m_logger, "AddCertToSSL_CAStore: certificate not decoded");
            }
        }
        KIVO_LOG_LEAVE(m_logger, "AddCertToSSL_CAStore", added);
        return added;
    });
}

void CCertInfo::CleanUpSSL_CAStore() {
    try {
        KIVO_LOG_ENTER(m_logger, "CleanUpSSL_CAStore");
        if (m_store != nullptr) {
            X509_STORE_free(m_store);
            m_store = nullptr;
            m_storePath = kUnsetPath;
        }
    } catch (...) {
        // Only logging can throw here; the store is gone either way.
    }
}

// ---- chain walks ---------------------------------------------------------------------

int CCertInfo::sslGetNextChainCert(unsigned char* cert, unsigned long len, unsigned char** issuer,
                                   unsigned long* issuerLen, const char* storePath) {
    return guarded(kDecodeFailed, [&] {
        KIVO_LOG_ENTER(m_logger, "sslGetNextChainCert");
        ERR_clear_error();
        if (issuer == nullptr || *issuer == nullptr || issuerLen == nullptr) {
            LOG4CXX_ERROR(m_logger, "sslGetNextChainCert: no output buffer");
            KIVO_LOG_LEAVE(m_logger, "sslGetNextChainCert", kDecodeFailed);
            return kDecodeFailed;
        }
        X509Ptr subject = decode(cert, len);
        if (!subject) {
            openSSL_LogError(m_logger, "sslGetNextChainCert: certificate not decoded");
            KIVO_LOG_LEAVE(m_logger, "sslGetNextChainCert", kDecodeFailed);
            return kDecodeFailed;
        }
        InitSSL_CAStore(storePath, false);
        if (m_store == nullptr) {
            // Nothing loaded: no issuer can be found.
            KIVO_LOG_LEAVE(m_logger, "sslGetNextChainCert", kChainEnd);
            return kChainEnd;
        }

        X509_STORE_set_flags(m_store, 0);
        StoreContextPtr context(X509_STORE_CTX_new());
        if (!context || X509_STORE_CTX_init(context.get(), m_store, subject.get(), nullptr) != 1) {
            openSSL_LogError(m_logger, "sslGetNextChainCert: X509_STORE_CTX_init failed");
            KIVO_LOG_LEAVE(m_logger, "sslGetNextChainCert", kDecodeFailed);
            return kDecodeFailed;
        }
        X509Ptr issuerCert = kivo::issuerInStore(context.get(), subject.get());
        context.reset();
        if (!issuerCert) {
            KIVO_LOG_LEAVE(m_logger, "sslGetNextChainCert", kChainEnd);
            return kChainEnd;
        }

        const int length = i2d_X509(issuerCert.get(), nullptr);
        if (length <= 0 || static_cast<unsigned long>(length) > kMaxChainCertLength) {
            // Longer than the caller's buffer may be: nothing is copied.
            LOG4CXX_ERROR(m_logger, "sslGetNextChainCert: issuer of " << length << " octets refused");
            if (length > 0) *issuerLen = static_cast<unsigned long>(length);
            KIVO_LOG_LEAVE(m_logger, "sslGetNextChainCert", kDecodeFailed);
            return kDecodeFailed;
        }
        unsigned char* out = *issuer;
        i2d_X509(issuerCert.get(), &out);
        *issuerLen = static_cast<unsigned long>(length);
        const int result = X509_cmp(issuerCert.get(), subject.get()) != 0 ? 0 : kChainEnd;
        KIVO_LOG_LEAVE(m_logger, "sslGetNextChainCert", result);
        return result;
    });
}

int CCertInfo::sslGetChainSize(unsigned char* cert, unsigned long len, const char* storePath) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "sslGetChainSize");
        InitSSL_CAStore(storePath, false);
        if (cert == nullptr || len == 0 || len > kMaxChainCertLength) {
            LOG4CXX_ERROR(m_logger, "sslGetChainSize: certificate missing or longer than "
                                        << kMaxChainCertLength << " octets");
            KIVO_LOG_LEAVE(m_logger, "sslGetChainSize", 0);
            return 0;
        }
        std::vector<unsigned char> current(kMaxChainCertLength);
        std::vector<unsigned char> next(kMaxChainCertLength);
        std::memcpy(current.data(), cert, len);
        unsigned long currentLength = len;
        // Every certificate met so far, to stop on a cycle of cross certificates.
        std::vector<std::vector<unsigned char>> met{std::vector<unsigned char>(cert, cert + len)};

        int count = 0;
        for (;;) {
            unsigned char* out = next.data();
            unsigned long outLength = 0;
            if (sslGetNextChainCert(current.data(), currentLength, &out, &outLength, storePath) != 0) break;
            std::vector<unsigned char> issuerDer(next.begin(), next.begin() + static_cast<long>(outLength));
            if (std::find(met.begin(), met.end(), issuerDer) != met.end()) {
                LOG4CXX_WARN(m_logger, "sslGetChainSize: issuer cycle, walk stopped");
                break;
            }
            std::memcpy(current.data(), next.data(), outLength);
            currentLength = outLength;
            std::fill(next.begin(), next.end(), 0);
            met.push_back(std::move(issuerDer));
            ++count;
        }
        KIVO_LOG_LEAVE(m_logger, "sslGetChainSize", count);
        return count;
    });
}

int CCertInfo::sslCheckCertSignature(unsigned char* cert, unsigned long certLen, unsigned char* issuer,
                                     unsigned long issuerLen, const char*) {
    return guarded(kDecodeFailed, [&] {
        KIVO_LOG_ENTER(m_logger, "sslCheckCertSignature");
        ERR_clear_error();
        X509Ptr subject = decode(cert, certLen);
        X509Ptr signer = decode(issuer, issuerLen);
        if (!subject || !signer) {
            openSSL_LogError(m_logger, "sslCheckCertSignature: certificate not decoded");
            KIVO_LOG_LEAVE(m_logger, "sslCheckCertSignature", kDecodeFailed);
            return kDecodeFailed;
        }
        PkeyPtr key(X509_get_pubkey(signer.get()));
        const int result = key && X509_verify(subject.get(), key.get()) == 1 ? 0 : 1;
        ERR_clear_error();
        KIVO_LOG_LEAVE(m_logger, "sslCheckCertSignature", result);
        return result;
    });
}
