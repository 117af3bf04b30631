// OpenSSL's reason for the most recent failure, for one-line messages.
#pragma once

#include <string>

namespace kivocrypto {

// The reason text of the oldest queued OpenSSL error ("unknown reason" when
// the queue is empty); the queue is cleared.
std::string takeOpenSslReason();

}  // namespace kivocrypto
