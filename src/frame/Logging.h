// Logging helpers shared by every class of the library.
//
// Each record carries the source file, the full signature of the exported
// member it belongs to and the line (platform/LogLocation.h). The level is
// checked before a message is built, so a disabled level costs only that
// check.
#pragma once

#include "platform/LogLocation.h"

#include <log4cxx/logger.h>

#include <string>

// Names the enclosing exported member for every record logged below it
// until the end of the block (platform/LogLocation.h).
#define KIVO_LOG_SCOPE_NAME(line) kivoMemberScope##line
#define KIVO_LOG_SCOPE_AT(line) \
    const ::kivo::logging::MemberScope KIVO_LOG_SCOPE_NAME(line)(__PRETTY_FUNCTION__)
#define KIVO_LOG_SCOPE KIVO_LOG_SCOPE_AT(__LINE__)
// The entering record of a member; it opens the member's scope too.
#define KIVO_LOG_ENTER(logger, method) \
    KIVO_LOG_SCOPE;                    \
    LOG4CXX_DEBUG(logger, "entering " method)
#define KIVO_LOG_LEAVE(logger, method, result) \
    LOG4CXX_DEBUG(logger, "leaving " method ": " << result)
#define KIVO_LOG_LEAVE_INFO(logger, method, result) \
    LOG4CXX_INFO(logger, "leaving " method ": " << result)

namespace kivo::loggers {
// Loggers of the library's internal helpers; the exported classes hold
// theirs as m_logger.
extern const log4cxx::LoggerPtr module;          // "KivoCryptoSSL"
extern const log4cxx::LoggerPtr dirHelp;         // "KivoCryptoSSL.CDirHelp"
extern const log4cxx::LoggerPtr extension;       // "KivoCryptoSSL::CExtensionSSL"
}  // namespace kivo::loggers

// Drains OpenSSL's error queue into `logger` at ERROR, prefixed by `prefix`
// ("openSSL error" when empty). Logs at most 100 entries; when that many
// were logged it warns and discards the rest.
void openSSL_LogError(const log4cxx::LoggerPtr& logger, std::string prefix);

namespace kivo {
// The drain behind openSSL_LogError, with the error source passed in:
// `next` returns the next queued error code (0 when none is left) and
// `clear` discards whatever is still queued.
using ErrorSource = unsigned long (*)(void* context);
void drainErrorQueue(const log4cxx::LoggerPtr& logger, std::string prefix,
                     ErrorSource next, void (*clear)(void* context), void* context);
inline constexpr int kMaxLoggedOpenSSLErrors = 100;
}  // namespace kivo
