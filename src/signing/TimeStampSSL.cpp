// CTimeStampSSL: RFC 3161 time-stamp client.

#include "TimeStampSSL.h"

#include "platform/HttpClient.h"
#include "src/frame/Logging.h"
#include "src/signing/SigningResults.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

constexpr int kErrorHttp = kivo::signing::kTimeStampRequestFailed;
constexpr int kErrorNoToken = kivo::signing::kNoTimeStampToken;
constexpr unsigned long kMaxTokenLength = 64000;

// Prefix of the SHA-2 OIDs 2.16.840.1.101.3.4.2.x; the last byte picks the
// digest. SHA-1 is 1.3.14.3.2.26.
constexpr unsigned char kSha2OidPrefix[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};
constexpr unsigned char kSha1Oid[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};

unsigned char* copyBuffer(const unsigned char* data, unsigned long length) {
    if (data == nullptr || length == 0) {
        return nullptr;
    }
    auto* copy = new (std::nothrow) unsigned char[length];
    if (copy == nullptr) {
        return nullptr;
    }
    std::memcpy(copy, data, length);
    return copy;
}

// Milliseconds since an arbitrary start, wrapping at 32 bits, as the
// system tick count the nonce begins with.
unsigned int tickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<unsigned int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace

CTimeStampSSL::CTimeStampSSL() = default;

CTimeStampSSL::CTimeStampSSL(std::string url, unsigned char* hash, unsigned char hashLen,
                             int algorithm)
    // A code that does not even fit the byte (257 would read as 1) is
    // sent as SHA-1 like every other unknown code.
    : m_algorithm(algorithm >= 0 && algorithm <= 0xFF ? static_cast<unsigned char>(algorithm) : 0),
      m_url(std::move(url)) {
    LOG4CXX_DEBUG(m_logger, "CTimeStampSSL::CTimeStampSSL");
    if (hash != nullptr && hashLen != 0) {
        m_hash = copyBuffer(hash, hashLen);
        m_hashLen = m_hash != nullptr ? hashLen : 0;
    }
}

CTimeStampSSL::CTimeStampSSL(const CTimeStampSSL& other)
    : m_algorithm(other.m_algorithm), m_url(other.m_url), m_error(other.m_error) {
    // Buffers that cannot be allocated stay empty rather than throwing.
    m_hash = copyBuffer(other.m_hash, other.m_hashLen);
        m_hashLen = m_hash != nullptr ? other.m_hashLen : 0;
        m_request = copyBuffer(other.m_request, other.m_requestLen);
        m_requestLen = m_request != nullptr ? other.m_requestLen : 0;
        m_response = copyBuffer(other.m_response, other.m_responseLen);
        m_responseLen = m_response != nullptr ? other.m_responseLen : 0;
        m_timeStamp = copyBuffer(other.m_timeStamp, other.m_timeStampLen);
        m_timeStampLen = m_timeStamp != nullptr ? other.m_timeStampLen : 0;
}

CTimeStampSSL& CTimeStampSSL::operator=(const CTimeStampSSL& other) {
    if (this != &other) {
        CTimeStampSSL copy(other);  // copies without throwing (see above)
        std::swap(m_algorithm, copy.m_algorithm);
        std::swap(m_hash, copy.m_hash);
        std::swap(m_hashLen, copy.m_hashLen);
        std::swap(m_request, copy.m_request);
        std::swap(m_requestLen, copy.m_requestLen);
        std::swap(m_response, copy.m_response);
        std::swap(m_responseLen, copy.m_responseLen);
        std::swap(m_timeStamp, copy.m_timeStamp);
        std::swap(m_timeStampLen, copy.m_timeStampLen);
        std::swap(m_url, copy.m_url);
        std::swap(m_error, copy.m_error);
    }
    return *this;
}

CTimeStampSSL::~CTimeStampSSL() {
    releaseBuffers();
    delete[] m_hash;
}

void CTimeStampSSL::releaseBuffers() {
    delete[] m_request;
    m_request = nullptr;
    m_requestLen = 0;
    delete[] m_response;
    m_response = nullptr;
    m_responseLen = 0;
    delete[] m_timeStamp;
    m_timeStamp = nullptr;
    m_timeStampLen = 0;
}

bool CTimeStampSSL::hasErrors() { return m_error != 0; }
int CTimeStampSSL::getError() { return m_error; }
unsigned char* CTimeStampSSL::getTimeStamp() { return m_timeStamp; }
unsigned long CTimeStampSSL::getTimeStampLen() { return m_timeStampLen; }
unsigned char* CTimeStampSSL::getResponse() { return m_response; }
unsigned long CTimeStampSSL::getResponseLen() { return m_responseLen; }

void CTimeStampSSL::addElement(int pos, unsigned char tag, unsigned char len) {
    addValue(pos, tag);
    addValue(pos + 1, len);
}

void CTimeStampSSL::addValue(int pos, unsigned char value) {
    if (m_request != nullptr && pos >= 0 && static_cast<unsigned long>(pos) < m_requestLen) {
        m_request[pos] = value;
    }
}

// Writes the DER TimeStampReq: version 1, the message imprint, an 8-byte
// nonce and certReq TRUE. Every length fits one short-form byte. Codes
// other than 1..3 are sent as SHA-1 (MD5 and RIPEMD-160 digests included:
// the imprint then holds the first 20 bytes of the hash, zero-padded).
// A hash of another length than the digest is cut or zero-padded likewise,
// so the request always has the layout of its algorithm.
int CTimeStampSSL::buildRequest() {
    unsigned int digestLen = 20;
    unsigned int oidLen = 5;
    switch (m_algorithm) {
    case 1: digestLen = 32; oidLen = 9; break;
    case 2: digestLen = 48; oidLen = 9; break;
    case 3: digestLen = 64; oidLen = 9; break;
    default: m_algorithm = 0; break;
    }
    delete[] m_request;
    m_requestLen = digestLen + oidLen + 28;
    m_request = new unsigned char[m_requestLen]();

    const auto h = static_cast<unsigned char>(digestLen);
    const auto o = static_cast<unsigned char>(oidLen);
    addElement(0, 0x30, static_cast<unsigned char>(h + o + 26));
    addElement(2, 0x02, 0x01);
    addValue(4, 0x01);
    addElement(5, 0x30, static_cast<unsigned char>(h + o + 8));
    addElement(7, 0x30, static_cast<unsigned char>(o + 4));
    addElement(9, 0x06, o);
    if (m_algorithm == 0) {
        for (unsigned int i = 0; i < sizeof kSha1Oid; ++i) {
            addValue(11 + static_cast<int>(i), kSha1Oid[i]);
        }
    } else {
        for (unsigned int i = 0; i < sizeof kSha2OidPrefix; ++i) {
            addValue(11 + static_cast<int>(i), kSha2OidPrefix[i]);
        }
        addValue(19, m_algorithm);  // 01 SHA-256, 02 SHA-384, 03 SHA-512
    }
    int pos = 11 + o;
    addElement(pos, 0x05, 0x00);
    pos += 2;
    addElement(pos, 0x04, h);
    pos += 2;
    const unsigned long copied = m_hash != nullptr ? std::min<unsigned long>(m_hashLen, digestLen) : 0;
    for (unsigned long i = 0; i < copied; ++i) {
        addValue(pos + static_cast<int>(i), m_hash[i]);
    }
    pos += h;

    // Nonce: the tick count, most significant byte first, then a second
    // and a first rand() value of two bytes each. A leading byte of 0x80
    // or more is sent unchanged (a negative INTEGER; services echo it).
    addElement(pos, 0x02, 0x08);
    pos += 2;
    const unsigned int ticks = tickCount();
    const int first = std::rand();
    const int second = std::rand();
    addValue(pos, static_cast<unsigned char>(ticks >> 24));
    addValue(pos + 1, static_cast<unsigned char>(ticks >> 16));
    addValue(pos + 2, static_cast<unsigned char>(ticks >> 8));
    addValue(pos + 3, static_cast<unsigned char>(ticks));
    addValue(pos + 4, static_cast<unsigned char>(second >> 8));
    addValue(pos + 5, static_cast<unsigned char>(second));
    addValue(pos + 6, static_cast<unsigned char>(first >> 8));
    addValue(pos + 7, static_cast<unsigned char>(first));
    // DER wants the shortest INTEGER: nine equal leading bits (a tick count
    // below 2^23, as after a fresh boot) would make services refuse the
    // request, so the lowest bit of the first byte is flipped then.
    const unsigned char lead = static_cast<unsigned char>(ticks >> 24);
    const unsigned char next = static_cast<unsigned char>(ticks >> 16);
    if ((lead == 0x00 && next < 0x80) || (lead == 0xFF && next >= 0x80)) {
        addValue(pos, static_cast<unsigned char>(lead ^ 0x01));
    }
    pos += 8;
    addElement(pos, 0x01, 0x01);
    addValue(pos + 2, 0xFF);
    return 0;
}

// The response is expected as 30 82 LL LL, the PKIStatusInfo at offset 4
// with its INTEGER status at offset 8; the token follows the status info
// and runs to the end.
bool CTimeStampSSL::extractTimestamp() {
    if (m_response == nullptr || m_responseLen < 9 || m_response[8] != 0) {
        LOG4CXX_ERROR(m_logger, "invalid Timestamp response");
        return false;
    }
    const unsigned long start = static_cast<unsigned long>(m_response[5]) + 6;
    const long size = static_cast<long>(m_responseLen) - static_cast<long>(start);
    if (size < 1 || static_cast<unsigned long>(size) > kMaxTokenLength) {
        LOG4CXX_ERROR(m_logger, "invalid Timestamp response size: " << size);
        return false;
    }
    delete[] m_timeStamp;
    m_timeStamp = copyBuffer(m_response + start, static_cast<unsigned long>(size));
    m_timeStampLen = static_cast<unsigned long>(size);
    return true;
}

void CTimeStampSSL::sendRequest() {
    try {
        releaseBuffers();
        m_error = 0;
        buildRequest();
        const std::string headers =
            "Content-Type: application/timestamp-query\nCharacter-Encoding=binary\nContent-Length:" +
            std::to_string(m_requestLen) + "\n";
        std::unique_ptr<unsigned char[]> buffer(new unsigned char[kivo::kHttpReceiveBufferSize]);
        unsigned char* out = buffer.get();
        unsigned long length = 0;
        const int result = kivo::SendHttpRequest(m_url, "POST", m_request, m_requestLen,
                                                 headers.c_str(), -1, &out, &length);
        if (result != 0) {
            LOG4CXX_ERROR(m_logger, "error while SendHttpRequest");
            m_error = kErrorHttp;
        } else {
            LOG4CXX_DEBUG(m_logger, "timestamp returnLen: " << length);
            m_response = copyBuffer(buffer.get(), length);
            m_responseLen = m_response != nullptr ? length : 0;
            if (!extractTimestamp()) {
                LOG4CXX_ERROR(m_logger, "error while extractTimestamp");
                m_error = kErrorNoToken;
            } else {
                LOG4CXX_DEBUG(m_logger, "m_ulTimeStampLen: " << m_timeStampLen);
            }
        }
    } catch (...) {
        LOG4CXX_ERROR(m_logger, "error while SendHttpRequest");
        m_error = kErrorHttp;
    }
    if (m_error != 0) {
        releaseBuffers();
    }
}
