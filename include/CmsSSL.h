// CCms: CMS wrapper object.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

class KIVO_API CCms {
public:
    CCms();
    CCms(const CCms& other);
    CCms& operator=(const CCms& other);
    virtual ~CCms();

    static kivo::LoggerPtr m_logger;
};
