// CSignMessage: process-wide signing settings and OpenSSL re-initialisation.

#include "SignMessageSSLM.h"

#include "src/LibraryMain.h"

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
