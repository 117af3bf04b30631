// CCms: CMS wrapper object holding a copy of a DER message and, as its data
// content, the message's content-type element.
#pragma once

#include "CmsDataContentSSL.h"
#include "KivoExport.h"
#include "KivoLogger.h"

class KIVO_API CCms {
public:
    // Error of a message whose first element inside the outer SEQUENCE is
    // not an OBJECT IDENTIFIER (or that has no such element).
    static constexpr int cErrorUnreadable = 1000;

    // An empty object: no message, no data content, error 0.
    CCms();
    // Copies `cb` bytes of `pb` and locates the content type (error 1000
    // and no data content when it cannot).
    CCms(unsigned char* pb, unsigned int cb);
    // A copy of `other` (an empty object for a null pointer).
    CCms(CCms* other);
    CCms(const CCms& other);
    // Copies bytes, data content type, error and a new copy of the data
    // content, after releasing its own.
    CCms& operator=(const CCms& other);
    virtual ~CCms();

    unsigned char* getPbCms() const { return pb; }
    unsigned int getCbCms() const { return cb; }
    int getError() const { return error; }
    int getDataContentType() const { return dataContentType; }
    // Borrowed; null when there is none.
    CCmsDataContent* getDataContent() const { return dataContent; }

    // Deletes the current data content and takes ownership of `content`.
    void setDataContent(CCmsDataContent* content);
    void setDataContentType(int type);

    // Parses the message as CMS and releases it again; copies nothing and
    // returns 0.
    static int GetData(unsigned char* der, unsigned int len, unsigned char* out, unsigned long* outLen);

    static kivo::LoggerPtr m_logger;

private:
    void Init();
    void copyFrom(const CCms& other);
    void release();

    unsigned char* pb = nullptr;  // owned, array new/delete
    unsigned int cb = 0;
    int dataContentType = 0;
    CCmsDataContent* dataContent = nullptr;  // owned
    int error = 0;
};
