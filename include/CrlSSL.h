// CCrlSSL: CRL retrieval, OCSP check and the HTTP proxy settings.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

#include <string>

class KIVO_API CCrlSSL {
public:
    CCrlSSL();
    CCrlSSL(const CCrlSSL& other);
    CCrlSSL& operator=(const CCrlSSL& other);
    virtual ~CCrlSSL();

    // Proxy used for revocation look-ups; empty until setProxy is called.
    static std::string proxy_url;
    static std::string proxy_user;
    static std::string proxy_password;
    static std::string proxy_useragent;

    static kivo::LoggerPtr m_logger;
};
