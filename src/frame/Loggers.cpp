// Every logger of the library, created once when the library is loaded.

#include "src/frame/Logging.h"

#include "platform/HttpClient.h"

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

#include <log4cxx/appenderskeleton.h>

#include <memory>

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
}  // namespace kivo::loggers

namespace {

namespace helpers = log4cxx::helpers;  // named so by log4cxx's class macros

// An appender that writes nothing. log4cxx warns on stderr ("No appender
// could be found for logger ...") the first time a line finds no appender
// at all; a host that never configures log4cxx would see that from the
// library. With this appender on the library's top loggers no line ever
// finds none, and a host that configures log4cxx still gets every line
// through its own appenders (the loggers stay additive, levels untouched).
class QuietAppender : public log4cxx::AppenderSkeleton {
public:
    DECLARE_LOG4CXX_OBJECT(QuietAppender)
    BEGIN_LOG4CXX_CAST_MAP()
    LOG4CXX_CAST_ENTRY(QuietAppender)
    LOG4CXX_CAST_ENTRY_CHAIN(log4cxx::AppenderSkeleton)
    END_LOG4CXX_CAST_MAP()

    void append(const log4cxx::spi::LoggingEventPtr&, log4cxx::helpers::Pool&) override {}
    void close() override {}
    bool requiresLayout() const override { return false; }
};
IMPLEMENT_LOG4CXX_OBJECT(QuietAppender)

// The loggers whose lines reach no other library logger: "KivoCryptoSSL"
// holds the "KivoCryptoSSL.X" ones, the "KivoCryptoSSL::X" ones hang off
// the root logger each.
const struct QuietWithoutConfiguration {
    QuietWithoutConfiguration() {
        const ::log4cxx::AppenderPtr quiet = std::make_shared<QuietAppender>();
        quiet->setName(LOG4CXX_STR("KivoCryptoSSL.quiet"));
        for (const ::log4cxx::LoggerPtr& logger :
             {kivo::loggers::module, kivo::loggers::extension, kivo::httpLogger(), CCertHandler::m_logger,
              CCertInfo::m_logger, CCmsDataContent::m_logger, CCms::m_logger, CCrlSSL::m_logger, CHashSSL::m_logger,
              CTimeStampSSL::m_logger}) {
            logger->addAppender(quiet);
        }
    }
} quietWithoutConfiguration;

}  // namespace
