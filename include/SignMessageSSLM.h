// CSignMessage: signing keys, signing operations, the CAdES level and the
// time-stamp service URL.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

#include <string>

class KIVO_API CSignMessage {
public:
    CSignMessage();
    CSignMessage(const CSignMessage& other);
    CSignMessage& operator=(const CSignMessage& other);
    virtual ~CSignMessage();

    // Runs OpenSSL's initialisation again when a PKCS#12 key is in use.
    // Always returns 0.
    static int InitSSL();

    // Time-stamp service URL for the signing operations.
    static void setTSUrl(std::string url);
    // Selects the signed attributes: 1 leaves out signingTime, 5 leaves out
    // messageDigest and signingCertificateV2, other values keep all four.
    static void setCAdES_Level(int level);

    // Time-stamps the signature value of signer `signer` of the DER
    // container (30 82 header) in place, over a digest of hash code `hash`
    // (0 SHA-1, 1 SHA-256, 2 SHA-384, 3 SHA-512, 4 MD5, 5 RIPEMD-160; the
    // request is made as for CTimeStampSSL). `len` is the container's
    // length, `*capacity` the size of the buffer on entry and the new
    // length on success. 0; -24 null argument; -91/-92 time-stamp failure;
    // -93 no room (container unchanged, *capacity = len); -94 no signature
    // value; -22 the container has no layout a token can be added to.
    static int addTimestamp(unsigned char* container, unsigned long len, unsigned long* capacity,
                            int hash, int signer);

    static int m_cadesLevel;         // 0 until setCAdES_Level
    static std::string m_tsURL;      // time-stamp service; empty: none
    static bool m_isP12;             // true while the key in use is a file key
    static kivo::LoggerPtr m_logger;
};
