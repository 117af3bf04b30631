// CSignMessage: process-wide signing settings and OpenSSL re-initialisation.

#include "SignMessageSSLM.h"

#include "HashSSL.h"
#include "PKCS7SSL.h"
#include "TimeStampSSL.h"
#include "src/LibraryMain.h"
#include "src/Logging.h"

#include <algorithm>
#include <utility>
#include <vector>

int CSignMessage::m_cadesLevel = 0;
std::string CSignMessage::m_tsURL;
bool CSignMessage::m_isP12 = false;

CSignMessage::CSignMessage() = default;
CSignMessage::CSignMessage(const CSignMessage&) = default;
CSignMessage& CSignMessage::operator=(const CSignMessage&) = default;
CSignMessage::~CSignMessage() = default;

int CSignMessage::InitSSL() {
    if (m_isP12) {
        kivo::loadOpenSSLAlgorithms();
        kivo::loadOpenSSLErrorStrings();
    }
    return 0;
}

void CSignMessage::setTSUrl(std::string url) {
    LOG4CXX_DEBUG(m_logger, "entering setTSUrl");
    m_tsURL = std::move(url);
}

void CSignMessage::setCAdES_Level(int level) {
    LOG4CXX_DEBUG(m_logger, "entering setCAdES_Level");
    m_cadesLevel = level;
}

namespace {

// Room the unsigned attribute needs around the token: [1] header, the
// Attribute SEQUENCE, the OID and the SET, with two-octet lengths.
constexpr unsigned long kTimeStampAttributeOverhead = 25;

int addTimestampTo(unsigned char* container, unsigned long len, unsigned long* capacity, int hash,
                   int signer) {
    const auto& logger = CSignMessage::m_logger;
    if (container == nullptr || capacity == nullptr) {
        return -24;
    }
    // The current length comes from the container's own header; one that
    // claims more than the caller's buffer cannot be read safely.
    if (*capacity < 4 || container[0] != 0x30 || container[1] != 0x82) {
        LOG4CXX_DEBUG(logger, "no signed data found");
        return -94;
    }
    unsigned long length = ((static_cast<unsigned long>(container[2]) << 8) | container[3]) + 4;
    if (length > *capacity) {
        LOG4CXX_DEBUG(logger, "no signed data found");
        return -94;
    }

    unsigned long signatureSize = 0;
    if (CPKCS7SSL::GetSignatureBlobSize(container, &signatureSize, signer, true) != 0) {
        LOG4CXX_DEBUG(logger, "no signed data found");
        return -94;
    }
    std::vector<unsigned char> signature(signatureSize + 1);
    if (CPKCS7SSL::GetSignatureBlob(container, signature.data(), signer, true) != 0) {
        LOG4CXX_DEBUG(logger, "no signed data found");
        return -94;
    }

    unsigned char digest[256] = {};
    int digestLen = 0;
    CHashSSL::HashBlob(signature.data(), signatureSize, hash, digest, &digestLen);

    LOG4CXX_DEBUG(logger, "ceate CTimeStampSSL");
    CTimeStampSSL timeStamp(CSignMessage::m_tsURL, digest,
                            static_cast<unsigned char>(std::clamp(digestLen, 0, 255)), hash);
    LOG4CXX_DEBUG(logger, "send timestamp request");
    timeStamp.sendRequest();
    if (timeStamp.getError() != 0) {
        LOG4CXX_DEBUG(logger, "timestamp request error: " << timeStamp.getError());
        return timeStamp.getError();
    }

    const unsigned long newLength =
        length + timeStamp.getTimeStampLen() + kTimeStampAttributeOverhead;
    if (newLength > *capacity) {
        LOG4CXX_DEBUG(logger, "timestamp to long: " << newLength);
        *capacity = len;
        return -93;
    }
    LOG4CXX_DEBUG(logger, "adding timestamp to pkcs#7");
    const int added = CPKCS7SSL::AddTimeStamp(container, &length, timeStamp.getTimeStamp(),
                                              timeStamp.getTimeStampLen());
    if (added != 0) {
        return added;
    }
    *capacity = length;
    return 0;
}

}  // namespace

int CSignMessage::addTimestamp(unsigned char* container, unsigned long len, unsigned long* capacity,
                               int hash, int signer) {
    KIVO_LOG_ENTER(m_logger, "addTimestamp");
    int result = 0;
    try {
        result = addTimestampTo(container, len, capacity, hash, signer);
    } catch (...) {
        result = -91;  // no memory for the exchange: no time stamp obtained
    }
    KIVO_LOG_LEAVE(m_logger, "addTimestamp", result);
    return result;
}
