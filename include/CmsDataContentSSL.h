// CCmsDataContent: CMS data-content wrapper object.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

class KIVO_API CCmsDataContent {
public:
    CCmsDataContent();
    CCmsDataContent(const CCmsDataContent& other);
    CCmsDataContent& operator=(const CCmsDataContent& other);
    virtual ~CCmsDataContent();

    static kivo::LoggerPtr m_logger;
};
