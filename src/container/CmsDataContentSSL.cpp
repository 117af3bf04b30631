// CCmsDataContent: an owned copy of a byte string.

#include "CmsDataContentSSL.h"

#include "src/frame/Logging.h"

#include <cstring>
#include <new>

// Constructors and destructors must not throw, so a failing logger is ignored.
#define LOG_DEBUG_QUIETLY(text)                  \
    do {                                         \
        try {                                    \
            LOG4CXX_DEBUG(m_logger, text);       \
        } catch (...) {                          \
        }                                        \
    } while (0)

namespace {
// Set when the copy could not be allocated (the object then holds no bytes).
constexpr int kNoMemory = 1000;
}  // namespace

CCmsDataContent::CCmsDataContent() {
    LOG_DEBUG_QUIETLY("entering c'tor");
    LOG_DEBUG_QUIETLY("leaving c'tor");
}

CCmsDataContent::CCmsDataContent(unsigned char* bytes, unsigned int count) {
    LOG_DEBUG_QUIETLY("entering c'tor");
    copyFrom(bytes, count);
    LOG_DEBUG_QUIETLY("leaving c'tor");
}

CCmsDataContent::CCmsDataContent(CCmsDataContent* other) {
    LOG_DEBUG_QUIETLY("entering copy c'tor");
    if (other != nullptr) {
        copyFrom(other->pb, other->cb);
        if (error == 0) error = other->error;
    }
    LOG_DEBUG_QUIETLY("leaving copy c'tor");
}

CCmsDataContent::CCmsDataContent(const CCmsDataContent& other) {
    LOG_DEBUG_QUIETLY("entering copy c'tor");
    copyFrom(other.pb, other.cb);
    if (error == 0) error = other.error;
    LOG_DEBUG_QUIETLY("leaving copy c'tor");
}

CCmsDataContent& CCmsDataContent::operator=(const CCmsDataContent& other) {
    LOG_DEBUG_QUIETLY("entering operator =");
    if (this != &other) {
        delete[] pb;
        pb = nullptr;
        cb = 0;
        error = 0;
        copyFrom(other.pb, other.cb);
        if (error == 0) error = other.error;
    }
    LOG_DEBUG_QUIETLY("leaving operator =");
    return *this;
}

CCmsDataContent::~CCmsDataContent() {
    LOG_DEBUG_QUIETLY("entering d'tor");
    delete[] pb;
    LOG_DEBUG_QUIETLY("leaving d'tor");
}

// A null source keeps no bytes but the count as given.
void CCmsDataContent::copyFrom(const unsigned char* bytes, unsigned int count) {
    cb = count;
    if (bytes == nullptr || count == 0) return;
    pb = new (std::nothrow) unsigned char[count];
    if (pb == nullptr) {
        cb = 0;
        error = kNoMemory;
        return;
    }
    std::memcpy(pb, bytes, count);
}
