// CRsa: raw RSA encryption and decryption with keys given as DER.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

class KIVO_API CRsa {
public:
    CRsa();
    CRsa(const CRsa& other);
    CRsa& operator=(const CRsa& other);
    virtual ~CRsa();

    static kivo::LoggerPtr m_logger;
};
