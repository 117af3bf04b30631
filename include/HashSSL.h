// CHashSSL: digests of byte buffers with the library's own digest classes,
// and the translation between algorithm OIDs, codes and names.
//
// Two numberings are in use:
//  name code    (calculateHash, calculateHashBin, getHashAlgo, getHashAlgoName)
//               1 SHA-1, 2 RIPEMD-160, 3 MD5, 4 SHA-256, 5 SHA-384, 6 SHA-512
//  signing code (HashBlob)
//               0 SHA-1, 1 SHA-256, 2 SHA-384, 3 SHA-512, 4 MD5, 5 RIPEMD-160
//
// The buffers returned by calculateHash and calculateHashBin belong to the
// library, one pair per thread; the next call of the same function on the
// same thread overwrites them. Never free them.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

class KIVO_API CHashSSL {
public:
    CHashSSL();
    CHashSSL(const CHashSSL& other);
    CHashSSL& operator=(const CHashSSL& other);

    // Signing code. Writes the digest (at most 64 bytes) to `out` and its
    // length to `outLen`; an unknown code writes nothing. Always returns 0.
    static int HashBlob(unsigned char* data, unsigned long len, int code,
                        unsigned char* out, int* outLen);

    // Name code. Upper-case hex of the digest, empty for an unknown code.
    static char* calculateHash(unsigned char* data, unsigned long len, int code);

    // Name code. Raw digest in a 128-byte buffer; `*outLen` receives the
    // digest length, and is left alone for an unknown code.
    static unsigned char* calculateHashBin(unsigned char* data, unsigned long len,
                                           int code, unsigned long* outLen);

    // Dotted OID text to name code (0 when not a known digest or digest
    // signature OID).
    static int getHashAlgo(char* oid);

    // Name code to display name; "UKNOWN" for 0, "UNKNOWN" for other codes.
    static const char* getHashAlgoName(int code);

    static kivo::LoggerPtr m_logger;
};
