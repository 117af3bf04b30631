// CTimeStampSSL: RFC 3161 time-stamp client.
//
// Builds a DER TimeStampReq for a message imprint, posts it to the
// time-stamp service and cuts the TimeStampToken out of the response.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

#include <string>

class KIVO_API CTimeStampSSL {
public:
    CTimeStampSSL();
    // Stores the URL and the hash code (0 SHA-1, 1 SHA-256, 2 SHA-384,
    // 3 SHA-512; anything else is sent as SHA-1); copies the hash when
    // `hash` is not null and `hashLen` is not 0.
    CTimeStampSSL(std::string url, unsigned char* hash, unsigned char hashLen, int algorithm);
    CTimeStampSSL(const CTimeStampSSL& other);
    CTimeStampSSL& operator=(const CTimeStampSSL& other);
    virtual ~CTimeStampSSL();

    // Builds the request, posts it and extracts the token; the error field
    // receives 0, -91 (HTTP failure) or -92 (no usable token).
    void sendRequest();
    bool hasErrors();
    int getError();

    unsigned char* getTimeStamp();
    unsigned long getTimeStampLen();
    unsigned char* getResponse();
    unsigned long getResponseLen();

    static kivo::LoggerPtr m_logger;

private:
    int buildRequest();
    bool extractTimestamp();
    void addElement(int pos, unsigned char tag, unsigned char len);
    void addValue(int pos, unsigned char value);
    void releaseBuffers();

    unsigned char m_algorithm = 0;
    unsigned char* m_hash = nullptr;
    unsigned long m_hashLen = 0;
    unsigned char* m_request = nullptr;
    unsigned long m_requestLen = 0;
    unsigned char* m_response = nullptr;
    unsigned long m_responseLen = 0;
    unsigned char* m_timeStamp = nullptr;
    unsigned long m_timeStampLen = 0;
    std::string m_url;
    int m_error = 0;
};
