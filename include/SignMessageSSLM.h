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

    static int m_cadesLevel;         // 0 until setCAdES_Level
    static std::string m_tsURL;      // time-stamp service; empty: none
    static bool m_isP12;             // true while the key in use is a file key
    static kivo::LoggerPtr m_logger;
};
