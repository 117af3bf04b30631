// Helpers for the time-stamp client tests.
#pragma once

#include "tools/testpki/TsaServer.h"

#include <cstdlib>

namespace kivo::test {

// The tests talk to 127.0.0.1 only; keep a proxy from the environment out
// of the way.
inline void bypassProxyForLoopback() {
    ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
}

}  // namespace kivo::test
