// Helpers for the time-stamp client tests: the service of the test
// support, reached without a proxy.
#pragma once

#include "tests/support/TestSupport.h"
#include "tools/testpki/TsaServer.h"
