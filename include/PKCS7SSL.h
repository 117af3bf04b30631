// CPKCS7SSL: read access to a signature container (signer, certificates, time stamp).
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

class KIVO_API CPKCS7SSL {
public:
    CPKCS7SSL();
    CPKCS7SSL(const CPKCS7SSL& other);
    CPKCS7SSL& operator=(const CPKCS7SSL& other);
    virtual ~CPKCS7SSL();

    static kivo::LoggerPtr m_logger;
};
