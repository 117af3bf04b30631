// Logger names, entering/leaving records with their location, the OpenSSL error drain.

#include "tests/support/LogCapture.h"

#include "HashSSL.h"
#include "PKCS7SSL.h"
#include "Rsa.h"
#include "src/frame/Logging.h"

#include <gtest/gtest.h>
#include <openssl/asn1err.h>
#include <openssl/err.h>

#include <algorithm>

using kivo::test::LogCapture;

namespace {

// One logger of each kind: the module's, "::" and "." class names, a helper's.
TEST(FrameLoggers, LoggersHaveTheirExactNamesAndAQuietAppender) {
    const std::pair<log4cxx::LoggerPtr, std::string> loggers[] = {
        {kivo::loggers::module, "KivoCryptoSSL"}, {CHashSSL::m_logger, "KivoCryptoSSL::CHashSSL"},
        {CRsa::m_logger, "KivoCryptoSSL.CRsa"},   {kivo::loggers::dirHelp, "KivoCryptoSSL.CDirHelp"}};
    for (const auto& [logger, name] : loggers) {
        EXPECT_EQ(log4cxx::Logger::getLogger(name), logger) << name;
        // A silent appender on the way to the root: no "No appender" warnings without a configuration.
        bool quiet = false;
        for (log4cxx::LoggerPtr at = logger; at && !quiet; at = at->getParent()) {
            quiet = at->getAppender(LOG4CXX_STR("KivoCryptoSSL.quiet")) != nullptr;
        }
        EXPECT_TRUE(quiet) << name;
    }
}

TEST(FrameLogging, EntryAndExitRecordsCarryTheirLocation) {
    LogCapture hash(CHashSSL::m_logger), module(kivo::loggers::module), container(CPKCS7SSL::m_logger);
    unsigned char data[] = {'a', 'b', 'c'};
    CHashSSL::calculateHash(data, sizeof data, 4);
    CPKCS7SSL::GetSignerCertNum(data, sizeof data);  // logged inside its exception barrier's lambda
    KIVO_LOG_ENTER(kivo::loggers::module, "SignBlobSSL");
    KIVO_LOG_LEAVE(kivo::loggers::module, "SignBlobSSL", -22);
    KIVO_LOG_LEAVE_INFO(kivo::loggers::module, "OpenSSLKey", "OK");
    auto events = hash.events();
    for (const auto& event : container.events()) events.push_back(event);
    for (const auto& event : module.events()) events.push_back(event);
    // "level message @ class::method", the test's class shown by the last part of its name.
    const std::vector<std::string> expected = {
        "DEBUG entering calculateHash  @ CHashSSL::calculateHash", "DEBUG  nAlgoID : 4 @ CHashSSL::calculateHash",
        "DEBUG using Algo SHA256 @ CHashSSL::calculateHash", "INFO leaving calculateHash  @ CHashSSL::calculateHash",
        "DEBUG entering GetSignerCertNum @ CPKCS7SSL::GetSignerCertNum",
        "DEBUG entering SignBlobSSL @ Test::TestBody",              "DEBUG leaving SignBlobSSL: -22 @ Test::TestBody",
        "INFO leaving OpenSSLKey: OK @ Test::TestBody"};
    ASSERT_EQ(events.size(), expected.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        const std::string& owner = events[i].className;
        EXPECT_EQ(events[i].level + " " + events[i].message + " @ " + owner.substr(owner.rfind('_') + 1) + "::" +
                      events[i].method, expected[i]);
        EXPECT_GT(events[i].line, 0);
    }
}

// Queued errors are logged under the prefix ("openSSL error" when empty) and consumed.
TEST(OpenSSLErrorDrain, LogsQueuedErrorsUnderThePrefixAndEmptiesTheQueue) {
    for (const auto& [queued, prefix, firstLine] : {std::tuple{0, "loading key", "loading key: No error found -> ERR_get_error() == 0"},
                                                    {0, "", "openSSL error: No error found -> ERR_get_error() == 0"}, {3, "", "openSSL error:\r\n"}}) {
        for (int i = 0; i < queued; ++i) ERR_raise(ERR_LIB_ASN1, ASN1_R_TOO_LONG);
        LogCapture capture(CHashSSL::m_logger);
        openSSL_LogError(CHashSSL::m_logger, prefix);
        const auto events = capture.events();
        ASSERT_EQ(events.size(), 1u + queued) << firstLine;
        EXPECT_EQ(events[0].level + " " + events[0].message, std::string("ERROR ") + firstLine);
        for (std::size_t i = 1; i < events.size(); ++i) {
            EXPECT_EQ(events[i].level + " " + events[i].message.substr(0, 8), "ERROR - error:");
            EXPECT_NE(events[i].message.find("too long"), std::string::npos) << events[i].message;
        }
        EXPECT_EQ(ERR_peek_error(), 0u);
    }
}

TEST(OpenSSLErrorDrain, StopsAfterOneHundredErrorsAndClearsTheRest) {
    struct Queue { unsigned long remaining; bool cleared = false; };
    const auto next = [](void* context) -> unsigned long {
        auto* queue = static_cast<Queue*>(context);
        if (queue->cleared || queue->remaining == 0) return 0;
        --queue->remaining;
        return ERR_PACK(ERR_LIB_ASN1, 0, ASN1_R_TOO_LONG);
    };
    const auto clear = [](void* context) { static_cast<Queue*>(context)->cleared = true; };
    for (const unsigned long count : {150ul, 100ul, 99ul}) {
        Queue queue{count};
        LogCapture capture(CHashSSL::m_logger);
        kivo::drainErrorQueue(CHashSSL::m_logger, "chain", next, clear, &queue);
        const auto messages = capture.messages();
        const unsigned long logged = std::min(count, 100ul);
        ASSERT_EQ(messages.size(), 1 + logged + (count >= 100)) << count;
        EXPECT_EQ(messages.front() + messages[logged].substr(0, 2), "chain:\r\n- ");
        EXPECT_EQ(messages.back() == "More than 100 errors found! Clear all remaining errors.", count >= 100) << count;
        EXPECT_EQ(std::pair(count - queue.remaining, queue.cleared), std::pair(logged, count >= 100)) << count;
    }
}

}  // namespace
