// CHashSSL: the exported digest service over the library's own digests.

#include "HashSSL.h"

#include "digest/DigestFactory.h"
#include "src/frame/Logging.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>

using kivo::DigestAlgorithm;

namespace {

// Result buffers of calculateHash and calculateHashBin. One pair per thread:
// a returned pointer stays valid until the same thread calls the same
// function again.
constexpr std::size_t kHashTextSize = 257;
constexpr std::size_t kHashBinarySize = 128;
thread_local char t_hashText[kHashTextSize];
thread_local unsigned char t_hashBinary[kHashBinarySize];

struct NameCode {
    int code;
    DigestAlgorithm algorithm;
    const char* name;
    const char* logLine;
};

constexpr NameCode kNameCodes[] = {
    {1, DigestAlgorithm::Sha1, "SHA1", "using Algo SHA1"},
    {2, DigestAlgorithm::Ripemd160, "RIPEMD160", "using Algo RIPEMD 160"},
    {3, DigestAlgorithm::Md5, "MD5", "using Algo MD5"},
    {4, DigestAlgorithm::Sha256, "SHA256", "using Algo SHA256"},
    {5, DigestAlgorithm::Sha384, "SHA384", "using Algo SHA384"},
    {6, DigestAlgorithm::Sha512, "SHA512", "using Algo SHA512"},
};

const NameCode* findNameCode(int code) {
    for (const NameCode& entry : kNameCodes) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}

// Digest and digest-signature OIDs, compared in this order.
struct HashOid {
    const char* oid;
    int code;
};
constexpr HashOid kHashOids[] = {
    {"1.2.840.113549.1.1.5", 1},     // sha1WithRSAEncryption
    {"1.2.840.113549.1.1.11", 4},    // sha256WithRSAEncryption
    {"1.2.840.113549.1.1.12", 5},    // sha384WithRSAEncryption
    {"1.2.840.113549.1.1.13", 6},    // sha512WithRSAEncryption
    {"1.3.36.3.3.1.2", 2},           // rsaSignatureWithripemd160 (TeleTrusT)
    {"1.2.840.113549.2.5", 3},       // md5
    {"1.2.840.113549.1.1.4", 3},     // md5WithRSAEncryption
    {"1.3.14.3.2.26", 1},            // sha1
    {"2.16.840.1.101.3.4.2.1", 4},   // sha256
    {"2.16.840.1.101.3.4.2.2", 5},   // sha384
    {"2.16.840.1.101.3.4.2.3", 6},   // sha512
    {"1.3.36.3.2.1", 2},             // ripemd160 (TeleTrusT)
};

// HashBlob's numbering: the signing code is the index.
constexpr DigestAlgorithm kSigningCodes[] = {
    DigestAlgorithm::Sha1,   DigestAlgorithm::Sha256, DigestAlgorithm::Sha384,
    DigestAlgorithm::Sha512, DigestAlgorithm::Md5,    DigestAlgorithm::Ripemd160,
};

// Digests `data` with the algorithm of name code `code` into `digest` and
// returns the digest length; nothing for an unknown code or unusable input.
// Shared by calculateHash and calculateHashBin, including their logging.
std::optional<std::size_t> digestByNameCode(const unsigned char* data, unsigned long len,
                                            int code, unsigned char* digest) {
    const auto& logger = CHashSSL::m_logger;
    const NameCode* entry = findNameCode(code);
    if (entry == nullptr) {
        LOG4CXX_DEBUG(logger, "using unknown Algo");
        return std::nullopt;
    }
    if (data == nullptr && len != 0) {
        LOG4CXX_ERROR(logger, "no data: null pointer with length " << len);
        return std::nullopt;
    }
    try {
        auto object = kivo::newDigest(entry->algorithm);
        LOG4CXX_DEBUG(logger, entry->logLine);
        object->Reset();
        kivo::updateDigest(*object, data, len);
        object->Final(digest);
        return object->DigestLength();
    } catch (const std::string& message) {
        LOG4CXX_ERROR(logger, "critical error while hashing msg=" << message);
    } catch (const std::exception& error) {
        LOG4CXX_ERROR(logger, "critical error while hashing msg=" << error.what());
    } catch (...) {
        LOG4CXX_ERROR(logger, "critical error while hashing msg=unknown exception");
    }
    return std::nullopt;
}

// calculateHash and calculateHashBin log under the same texts; macros keep
// the location of each record in the calling method.
#define KIVO_LOG_CALCULATE_ENTRY(code)                              \
    KIVO_LOG_SCOPE;                                                 \
    LOG4CXX_DEBUG(CHashSSL::m_logger, "entering calculateHash ");   \
    LOG4CXX_DEBUG(CHashSSL::m_logger, " nAlgoID : " << (code))
#define KIVO_LOG_CALCULATE_EXIT() LOG4CXX_INFO(CHashSSL::m_logger, "leaving calculateHash ")

}  // namespace

CHashSSL::CHashSSL() = default;
CHashSSL::CHashSSL(const CHashSSL&) = default;
CHashSSL& CHashSSL::operator=(const CHashSSL&) = default;

int CHashSSL::HashBlob(unsigned char* data, unsigned long len, int code, unsigned char* out,
                       int* outLen) {
    const auto index = static_cast<unsigned>(code);
    if (index >= std::size(kSigningCodes) || out == nullptr || outLen == nullptr) return 0;
    if (data == nullptr && len != 0) return 0;
    try {
        auto object = kivo::newDigest(kSigningCodes[index]);
        unsigned char digest[kivo::kMaxDigestLength] = {};
        object->Reset();
        kivo::updateDigest(*object, data, len);
        object->Final(digest);
        std::memcpy(out, digest, object->DigestLength());
        *outLen = static_cast<int>(object->DigestLength());
    } catch (...) {
        // Allocation failure: nothing written, as for an unknown code.
    }
    return 0;
}

char* CHashSSL::calculateHash(unsigned char* data, unsigned long len, int code) {
    try {
        std::memset(t_hashText, 0, sizeof t_hashText);
        KIVO_LOG_CALCULATE_ENTRY(code);
        unsigned char digest[kivo::kMaxDigestLength];
        if (const auto length = digestByNameCode(data, len, code, digest)) {
            static const char kHex[] = "0123456789ABCDEF";
            for (std::size_t i = 0; i < *length; ++i) {
                t_hashText[2 * i] = kHex[digest[i] >> 4];
                t_hashText[2 * i + 1] = kHex[digest[i] & 0xF];
            }
        }
        KIVO_LOG_CALCULATE_EXIT();
    } catch (...) {
        // Only logging can throw here; the buffer is returned as it stands.
    }
    return t_hashText;
}

unsigned char* CHashSSL::calculateHashBin(unsigned char* data, unsigned long len, int code,
                                          unsigned long* outLen) {
    try {
        std::memset(t_hashBinary, 0, sizeof t_hashBinary);
        KIVO_LOG_CALCULATE_ENTRY(code);
        unsigned char digest[kivo::kMaxDigestLength];
        if (const auto length = digestByNameCode(data, len, code, digest)) {
            std::memcpy(t_hashBinary, digest, *length);
            if (outLen != nullptr) *outLen = *length;
        }
        KIVO_LOG_CALCULATE_EXIT();
    } catch (...) {
        // Only logging can throw here; the buffer is returned as it stands.
    }
    return t_hashBinary;
}

int CHashSSL::getHashAlgo(char* oid) {
    if (oid == nullptr) return 0;
    for (const HashOid& entry : kHashOids) {
        if (std::strcmp(oid, entry.oid) == 0) return entry.code;
    }
    return 0;
}

const char* CHashSSL::getHashAlgoName(int code) {
    if (code == 0) return "UKNOWN";
    const NameCode* entry = findNameCode(code);
    return entry != nullptr ? entry->name : "UNKNOWN";
}
