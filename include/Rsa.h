// CRsa: raw (unpadded) RSA with 1024-bit keys. Every block has the
// modulus length, 128 octets; no padding is added or removed.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

struct rsa_st;

class KIVO_API CRsa {
public:
    CRsa();
    // Copies share the keys (OpenSSL reference counts them), so each copy
    // may be destroyed on its own.
    CRsa(const CRsa& other);
    CRsa& operator=(const CRsa& other);
    virtual ~CRsa();

    // Public key from the DER RSAPublicKey of a 1024-bit key laid out as
    // 30 81 89 02 81 81 00 <modulus, 128 octets> 02 <n> <exponent, n of at
    // most 4 octets>. 0; -1 when the blob is null, shorter than that
    // layout (`len` octets) or not laid out so.
    int SetPublicKey(unsigned char* blob, int len);
    // Loads the PEM RSA private key of the file "D:\opensc\debug_dlls\temp.key"
    // when it exists (the arguments are not used). Always 0.
    int SetPrivateKey(unsigned char* blob, int len);

    // `in` is one 128-octet block, `out` must hold 128 octets; `outLen` is
    // not used. PublicKeyEncrypt: 0 when a 128-octet result was made,
    // else -1. The others always return 0.
    int PublicKeyEncrypt(unsigned char* in, int inLen, unsigned char* out, int outLen);
    int PublicKeyDecrypt(unsigned char* in, int inLen, unsigned char* out, int outLen);
    int PrivateKeyEncrypt(unsigned char* in, int inLen, unsigned char* out, int outLen);
    int PrivateKeyDecrypt(unsigned char* in, int inLen, unsigned char* out, int outLen);
    int RsaDP(unsigned char* in, int inLen, unsigned char* out, int outLen);

    static kivo::LoggerPtr m_logger;

private:
    unsigned char* PubKeyGetModulus(unsigned char* blob, int* len);
    unsigned char* PubKeyGetExponent(unsigned char* blob, int* len);

    rsa_st* m_publicKey = nullptr;
    rsa_st* m_privateKey = nullptr;
};
