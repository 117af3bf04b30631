// Every logger of the library, created once when the library is loaded.

#include "src/frame/Logging.h"

#include "CertHandlerSSL.h"
#include "CertInfoSSL.h"
#include "CmsDataContentSSL.h"
#include "CmsSSL.h"
#include "CrlSSL.h"
#include "HashSSL.h"
#include "PKCS7SSL.h"
#include "Rsa.h"
#include "SCMutils.h"
#include "SignMessageSSLM.h"
#include "TimeStampSSL.h"

using log4cxx::Logger;

// Kept in one translation unit so that their construction order is fixed.
kivo::LoggerPtr CCertHandler::m_logger = Logger::getLogger("KivoCryptoSSL::CCertHandler");
kivo::LoggerPtr CCertInfo::m_logger = Logger::getLogger("KivoCryptoSSL::CCertInfoSSL");
kivo::LoggerPtr CCmsDataContent::m_logger = Logger::getLogger("KivoCryptoSSL::CmsDataContentSSL");
kivo::LoggerPtr CCms::m_logger = Logger::getLogger("KivoCryptoSSL::CmsSSL");
kivo::LoggerPtr CCrlSSL::m_logger = Logger::getLogger("KivoCryptoSSL::CrlSSL");
kivo::LoggerPtr CHashSSL::m_logger = Logger::getLogger("KivoCryptoSSL::CHashSSL");
kivo::LoggerPtr CPKCS7SSL::m_logger = Logger::getLogger("KivoCryptoSSL.CPKCS7SSL");
kivo::LoggerPtr CRsa::m_logger = Logger::getLogger("KivoCryptoSSL.CRsa");
kivo::LoggerPtr CSCUtils::m_logger = Logger::getLogger("KivoCryptoSSL.CSCUtils");
kivo::LoggerPtr CSignMessage::m_logger = Logger::getLogger("KivoCryptoSSL.CSignMessage");
kivo::LoggerPtr CTimeStampSSL::m_logger = Logger::getLogger("KivoCryptoSSL::CTimeStampSSL");

namespace kivo::loggers {
const log4cxx::LoggerPtr module = Logger::getLogger("KivoCryptoSSL");
const log4cxx::LoggerPtr dirHelp = Logger::getLogger("KivoCryptoSSL.CDirHelp");
const log4cxx::LoggerPtr extension = Logger::getLogger("KivoCryptoSSL::CExtensionSSL");
const log4cxx::LoggerPtr http = Logger::getLogger("KivoCryptoSSL::CHttp");
}  // namespace kivo::loggers
