#include "tools/kivocrypto/OpenSslText.h"

#include <openssl/err.h>

namespace kivocrypto {

std::string takeOpenSslReason() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown reason";
    const char* reason = ERR_reason_error_string(code);
    return reason != nullptr ? reason : "OpenSSL error " + std::to_string(code);
}

}  // namespace kivocrypto
