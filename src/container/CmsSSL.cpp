// CCms: a DER message and its content-type element.

#include "CmsSSL.h"

#include "asn1/Asn1Der.h"
#include "src/frame/Logging.h"
#include "src/container/Pkcs7Reader.h"

#include <cstring>
#include <new>

using kivo::asn1::Id;

// Constructors and destructors must not throw, so a failing logger is ignored.
#define LOG_DEBUG_QUIETLY(text)                  \
    do {                                         \
        try {                                    \
            LOG4CXX_DEBUG(m_logger, text);       \
        } catch (...) {                          \
        }                                        \
    } while (0)

CCms::CCms() {
    LOG_DEBUG_QUIETLY("entering c'tor");
    LOG_DEBUG_QUIETLY("leaving c'tor");
}

CCms::CCms(unsigned char* bytes, unsigned int count) {
    LOG_DEBUG_QUIETLY("entering c'tor");
    if (bytes != nullptr && count != 0) {
        pb = new (std::nothrow) unsigned char[count];
        if (pb != nullptr) {
            std::memcpy(pb, bytes, count);
            cb = count;
        }
    }
    Init();
    LOG_DEBUG_QUIETLY("leaving c'tor");
}

CCms::CCms(CCms* other) {
    LOG_DEBUG_QUIETLY("entering copy c'tor");
    if (other != nullptr) copyFrom(*other);
    LOG_DEBUG_QUIETLY("leaving copy c'tor");
}

CCms::CCms(const CCms& other) {
    LOG_DEBUG_QUIETLY("entering copy c'tor");
    copyFrom(other);
    LOG_DEBUG_QUIETLY("leaving copy c'tor");
}

CCms& CCms::operator=(const CCms& other) {
    LOG_DEBUG_QUIETLY("entering operator =");
    if (this != &other) {
        release();
        copyFrom(other);
    }
    LOG_DEBUG_QUIETLY("leaving operator =");
    return *this;
}

CCms::~CCms() {
    LOG_DEBUG_QUIETLY("entering d'tor");
    release();
    LOG_DEBUG_QUIETLY("leaving d'tor");
}

void CCms::setDataContent(CCmsDataContent* content) {
    if (content == dataContent) return;
    delete dataContent;
    dataContent = content;
}

void CCms::setDataContentType(int type) { dataContentType = type; }

int CCms::GetData(unsigned char* der, unsigned int len, unsigned char*, unsigned long*) {
    try {
        LOG_DEBUG_QUIETLY("entering GetData");
        // Parsed and released again; the content is not handed out.
        kivo::pkcs7::CmsPtr cms = kivo::pkcs7::parseCms(der, len);
        LOG_DEBUG_QUIETLY("leaving GetData: 0");
    } catch (...) {
    }
    return 0;
}

// The content type is the first child of the outer SEQUENCE and must be an
// OBJECT IDENTIFIER; that whole element becomes the data content.
void CCms::Init() {
    Asn1Cursor field;
    if (pb == nullptr || !kivo::asn1::contentField(pb, cb, kivo::asn1::Field::ContentFirstChild, &field) || field.ptr == nullptr ||
        field.size == 0 || field.ptr[0] != Id::Oid) {
        error = cErrorUnreadable;
        return;
    }
    auto* content = new (std::nothrow) CCmsDataContent(const_cast<unsigned char*>(field.ptr), field.size);
    if (content == nullptr || content->getError() != 0) {
        delete content;
        error = cErrorUnreadable;
        return;
    }
    dataContent = content;
}

void CCms::copyFrom(const CCms& other) {
    dataContentType = other.dataContentType;
    error = other.error;
    if (other.pb != nullptr && other.cb != 0) {
        pb = new (std::nothrow) unsigned char[other.cb];
        if (pb == nullptr) {
            error = cErrorUnreadable;
            return;
        }
        std::memcpy(pb, other.pb, other.cb);
        cb = other.cb;
    }
    if (other.dataContent != nullptr) {
        dataContent = new (std::nothrow) CCmsDataContent(*other.dataContent);
        if (dataContent == nullptr) error = cErrorUnreadable;
    }
}

void CCms::release() {
    delete[] pb;
    pb = nullptr;
    cb = 0;
    delete dataContent;
    dataContent = nullptr;
}
