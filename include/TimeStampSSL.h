// CTimeStampSSL: RFC 3161 time-stamp client.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

class KIVO_API CTimeStampSSL {
public:
    CTimeStampSSL();
    CTimeStampSSL(const CTimeStampSSL& other);
    CTimeStampSSL& operator=(const CTimeStampSSL& other);
    virtual ~CTimeStampSSL();

    static kivo::LoggerPtr m_logger;
};
