// CCertHandler: certificate object built from a store, a container or a card.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

class KIVO_API CCertHandler {
public:
    CCertHandler();
    CCertHandler(const CCertHandler& other);
    CCertHandler& operator=(const CCertHandler& other);
    virtual ~CCertHandler();

    // Same operation as CHashSSL::HashBlob (signing code).
    static int HashBlob(unsigned char* data, unsigned long len, int code,
                        unsigned char* out, int* outLen);

    static kivo::LoggerPtr m_logger;
};
