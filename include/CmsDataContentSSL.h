// CCmsDataContent: CMS data-content wrapper object, an owned copy of a byte
// string (CCms keeps the content-type element of its message in one).
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

class KIVO_API CCmsDataContent {
public:
    // An empty object (no bytes, cb 0).
    CCmsDataContent();
    // Copies `cb` bytes of `pb`; a null pointer leaves the object without
    // bytes and with `cb` as given.
    CCmsDataContent(unsigned char* pb, unsigned int cb);
    // A copy of `other` (an empty object for a null pointer).
    CCmsDataContent(CCmsDataContent* other);
    CCmsDataContent(const CCmsDataContent& other);
    // Releases the own bytes, then copies those of `other`.
    CCmsDataContent& operator=(const CCmsDataContent& other);
    virtual ~CCmsDataContent();

    unsigned char* getPbCmsData() const { return pb; }
    unsigned int getCbCmsData() const { return cb; }
    int getError() const { return error; }

    static kivo::LoggerPtr m_logger;

private:
    void copyFrom(const unsigned char* bytes, unsigned int count);

    unsigned char* pb = nullptr;  // owned, array new/delete
    unsigned int cb = 0;
    int error = 0;
};
