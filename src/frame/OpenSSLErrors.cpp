// Draining OpenSSL's error queue into a log4cxx logger.

#include "src/frame/Logging.h"

#include <openssl/err.h>

namespace kivo {

void drainErrorQueue(const log4cxx::LoggerPtr& logger, std::string prefix,
                     ErrorSource next, void (*clear)(void*), void* context) {
    if (prefix.empty()) prefix = "openSSL error";

    unsigned long code = next(context);
    if (code == 0) {
        LOG4CXX_ERROR(logger, prefix << ": No error found -> ERR_get_error() == 0");
        return;
    }

    LOG4CXX_ERROR(logger, prefix << ":\r\n");
    int logged = 0;
    while (code != 0) {
        char text[300];
        ERR_error_string_n(code, text, sizeof text);
        LOG4CXX_ERROR(logger, "- " << text);
        if (++logged == kMaxLoggedOpenSSLErrors) {
            LOG4CXX_WARN(logger, "More than " << kMaxLoggedOpenSSLErrors
                                 << " errors found! Clear all remaining errors.");
            clear(context);
            return;
        }
        code = next(context);
    }
}

}  // namespace kivo

void openSSL_LogError(const log4cxx::LoggerPtr& logger, std::string prefix) {
    try {
        kivo::drainErrorQueue(
            logger, std::move(prefix), [](void*) { return ERR_get_error(); },
            [](void*) { ERR_clear_error(); }, nullptr);
    } catch (...) {
        // Logging must never turn a reported failure into an exception.
        ERR_clear_error();
    }
}
