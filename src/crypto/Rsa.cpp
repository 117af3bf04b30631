// CRsa: OpenSSL's raw RSA with RSA_NO_PADDING on 1024-bit keys.

#include "Rsa.h"

#include "src/frame/Logging.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int kModulusOffset = 7;
constexpr int kModulusLength = 128;
constexpr int kExponentHeaderOffset = kModulusOffset + kModulusLength;  // 02 <n>
constexpr int kExponentOffset = kExponentHeaderOffset + 2;
constexpr int kMaxExponentLength = 4;
// 30 81 <length> 02 81 81 00: the outer length depends on the exponent's.
constexpr unsigned char kPublicKeyHeader[kModulusOffset] = {0x30, 0x81, 0x89, 0x02,
                                                            0x81, 0x81, 0x00};
constexpr int kOuterLengthOffset = 2;

bool hasPublicKeyLayout(const unsigned char* blob) {
    return std::memcmp(blob, kPublicKeyHeader, kOuterLengthOffset) == 0 &&
           std::memcmp(blob + kOuterLengthOffset + 1, kPublicKeyHeader + kOuterLengthOffset + 1,
                       sizeof kPublicKeyHeader - kOuterLengthOffset - 1) == 0 &&
           blob[kExponentHeaderOffset] == 0x02;
}
constexpr char kPrivateKeyFile[] = "D:\\opensc\\debug_dlls\\temp.key";

void shareKey(rsa_st* key) {
    if (key != nullptr) RSA_up_ref(key);
}

// One raw transform of a 128-octet block; the length OpenSSL produced, or
// -1 when it refused (wrong length, missing key, value above the modulus).
int transform(int (*operation)(int, const unsigned char*, unsigned char*, RSA*, int), RSA* key,
              const unsigned char* in, int inLen, unsigned char* out) {
    if (key == nullptr || in == nullptr || out == nullptr || inLen != RSA_size(key)) return -1;
    const int produced = operation(inLen, in, out, key, RSA_NO_PADDING);
    if (produced < 0) ERR_clear_error();
    return produced;
}

}  // namespace

CRsa::CRsa() { LOG4CXX_DEBUG(m_logger, "entering CRsa ctor()"); LOG4CXX_DEBUG(m_logger, "leaving CRsa ctor()"); }

CRsa::CRsa(const CRsa& other) : m_publicKey(other.m_publicKey), m_privateKey(other.m_privateKey) {
    shareKey(m_publicKey);
    shareKey(m_privateKey);
}

CRsa& CRsa::operator=(const CRsa& other) {
    if (this == &other) return *this;
    shareKey(other.m_publicKey);
    shareKey(other.m_privateKey);
    RSA_free(m_publicKey);
    RSA_free(m_privateKey);
    m_publicKey = other.m_publicKey;
    m_privateKey = other.m_privateKey;
    return *this;
}

CRsa::~CRsa() {
    LOG4CXX_DEBUG(m_logger, "entering CRsa dtor()");
    RSA_free(m_publicKey);
    RSA_free(m_privateKey);
    LOG4CXX_DEBUG(m_logger, "leaving CRsa dtor()");
}

unsigned char* CRsa::PubKeyGetModulus(unsigned char* blob, int* len) {
    *len = kModulusLength;
    return blob + kModulusOffset;
}

unsigned char* CRsa::PubKeyGetExponent(unsigned char* blob, int* len) {
    // The exponent is as long as its INTEGER header says, at most 4 octets.
    *len = blob[kExponentHeaderOffset + 1];
    return blob + kExponentOffset;
}

int CRsa::SetPublicKey(unsigned char* blob, int len) {
    LOG4CXX_DEBUG(m_logger, "entering CRsa::SetPublicKey()");
    int result = -1;
    // A length of 0 is "not given" (hosts pass 0, the layout being fixed):
    // the blob is then read as far as the layout reaches, the exponent as
    // long as its header says. A given length bounds every read.
    const bool lengthGiven = len != 0;
    if (blob != nullptr && len >= 0 && (!lengthGiven || len > kExponentOffset) && hasPublicKeyLayout(blob)) {
        int modulusLength = 0;
        int exponentLength = 0;
        unsigned char* modulus = PubKeyGetModulus(blob, &modulusLength);
        unsigned char* exponent = PubKeyGetExponent(blob, &exponentLength);
        if (exponentLength >= 1 && exponentLength <= kMaxExponentLength &&
            (!lengthGiven || kExponentOffset + exponentLength <= len)) {
            RSA* key = RSA_new();
            BIGNUM* n = BN_bin2bn(modulus, modulusLength, nullptr);
            BIGNUM* e = BN_bin2bn(exponent, exponentLength, nullptr);
            if (key != nullptr && n != nullptr && e != nullptr && RSA_set0_key(key, n, e, nullptr) == 1) {
                RSA_free(m_publicKey);
                m_publicKey = key;
                result = 0;
            } else {
                BN_free(n);
                BN_free(e);
                RSA_free(key);
            }
        }
    }
    LOG4CXX_DEBUG(m_logger, "leaving CRsa::SetPublicKey()");
    return result;
}

int CRsa::SetPrivateKey(unsigned char*, int) {
    LOG4CXX_DEBUG(m_logger, "entering CRsa::SetPublicKey()");
    if (std::FILE* file = std::fopen(kPrivateKeyFile, "r")) {
        RSA* key = PEM_read_RSAPrivateKey(file, nullptr, nullptr, nullptr);
        std::fclose(file);
        if (key != nullptr) {
            RSA_free(m_privateKey);
            m_privateKey = key;
        } else {
            ERR_clear_error();
        }
    }
    LOG4CXX_DEBUG(m_logger, "entering CRsa::SetPublicKey()");
    return 0;
}

int CRsa::PublicKeyEncrypt(unsigned char* in, int inLen, unsigned char* out, int) {
    LOG4CXX_DEBUG(m_logger, "entering CRsa::PublicKeyEncrypt()");
    const int produced = transform(RSA_public_encrypt, m_publicKey, in, inLen, out);
    LOG4CXX_DEBUG(m_logger, "leaving CRsa::PublicKeyEncrypt()");
    return produced == kModulusLength ? 0 : -1;
}

int CRsa::PublicKeyDecrypt(unsigned char* in, int inLen, unsigned char* out, int) {
    LOG4CXX_DEBUG(m_logger, "entering CRsa::PublicKeyDecrypt()");
    transform(RSA_public_decrypt, m_publicKey, in, inLen, out);
    LOG4CXX_DEBUG(m_logger, "leaving CRsa::PublicKeyDecrypt()");
    return 0;
}

int CRsa::PrivateKeyEncrypt(unsigned char* in, int inLen, unsigned char* out, int) {
    LOG4CXX_DEBUG(m_logger, "entering CRsa::PrivateKeyEncrypt()");
    transform(RSA_private_encrypt, m_privateKey, in, inLen, out);
    LOG4CXX_DEBUG(m_logger, "leaving CRsa::PrivateKeyEncrypt()");
    return 0;
}

int CRsa::PrivateKeyDecrypt(unsigned char* in, int inLen, unsigned char* out, int) {
    LOG4CXX_DEBUG(m_logger, "entering CRsa::PrivateKeyDecrypt()");
    transform(RSA_private_decrypt, m_privateKey, in, inLen, out);
    LOG4CXX_DEBUG(m_logger, "leaving CRsa::PrivateKeyDecrypt()");
    return 0;
}

int CRsa::RsaDP(unsigned char* in, int inLen, unsigned char* out, int) {
    LOG4CXX_DEBUG(m_logger, "entering CRsa::RsaDP()");
    transform(RSA_private_decrypt, m_privateKey, in, inLen, out);
    LOG4CXX_DEBUG(m_logger, "leaving CRsa::RsaDP()");
    return 0;
}
