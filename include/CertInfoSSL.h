// CCertInfo: certificate fields read from DER, the certificate object and the trust store.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

#include <string>

class KIVO_API CCertInfo {
public:
    CCertInfo();
    CCertInfo(const CCertInfo& other);
    CCertInfo& operator=(const CCertInfo& other);
    virtual ~CCertInfo();

    // Folder of the trust store; "unset" until the store is initialised.
    static std::string m_storePath;

    static kivo::LoggerPtr m_logger;
};
