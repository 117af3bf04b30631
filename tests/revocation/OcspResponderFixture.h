// The fixture of the tests that need the `openssl ocsp` responder: one
// responder per test suite, started before its first test and stopped
// after its last; each test runs with TZ=UTC and the proxy settings at
// their start values. Without the openssl program the tests are skipped.
#pragma once

#include "tests/revocation/RevocationTestUtil.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>

namespace kivo::test {

class OcspResponderFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (programAvailable("openssl")) responder = std::make_unique<OcspResponder>();
    }
    static void TearDownTestSuite() { responder.reset(); }
    void SetUp() override {
        if (responder == nullptr) GTEST_SKIP() << "the openssl command is not installed";
        resetProxy();
    }
    void TearDown() override { resetProxy(); }

    static inline std::unique_ptr<OcspResponder> responder;
    ScopedTimeZone utc{"UTC"};
};

}  // namespace kivo::test
