// Logger names, the entering/leaving records with their location, and the
// OpenSSL error drain.

#include "tests/support/LogCapture.h"

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
#include "platform/HttpClient.h"
#include "src/frame/Logging.h"

#include <gtest/gtest.h>
#include <openssl/asn1err.h>
#include <openssl/err.h>
#include <openssl/x509err.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

using kivo::test::CapturedEvent;
using kivo::test::LogCapture;

TEST(FrameLoggers, EveryLoggerHasItsExactName) {
    const std::vector<std::pair<log4cxx::LoggerPtr, std::string>> loggers = {
        {CCertHandler::m_logger, "KivoCryptoSSL::CCertHandler"},
        {CCertInfo::m_logger, "KivoCryptoSSL::CCertInfoSSL"},
        {CCmsDataContent::m_logger, "KivoCryptoSSL::CmsDataContentSSL"},
        {CCms::m_logger, "KivoCryptoSSL::CmsSSL"},
        {CCrlSSL::m_logger, "KivoCryptoSSL::CrlSSL"},
        {kivo::loggers::dirHelp, "KivoCryptoSSL.CDirHelp"},
        {kivo::loggers::extension, "KivoCryptoSSL::CExtensionSSL"},
        {CHashSSL::m_logger, "KivoCryptoSSL::CHashSSL"},
        {kivo::httpLogger(), "KivoCryptoSSL::CHttp"},
        {kivo::loggers::module, "KivoCryptoSSL"},
        {CPKCS7SSL::m_logger, "KivoCryptoSSL.CPKCS7SSL"},
        {CRsa::m_logger, "KivoCryptoSSL.CRsa"},
        {CSCUtils::m_logger, "KivoCryptoSSL.CSCUtils"},
        {CSignMessage::m_logger, "KivoCryptoSSL.CSignMessage"},
        {CTimeStampSSL::m_logger, "KivoCryptoSSL::CTimeStampSSL"},
    };
    for (const auto& [logger, name] : loggers) {
        ASSERT_NE(logger, nullptr) << name;
        EXPECT_EQ(logger->getName(), name);
        // The same object log4cxx hands out for that name: configuration
        // files that name the logger reach the library.
        EXPECT_EQ(log4cxx::Logger::getLogger(name), logger) << name;
        // Every line finds the library's silent appender on its way to the
        // root, so that a host without a log4cxx configuration gets no
        // "No appender could be found" warning on stderr.
        bool quiet = false;
        for (log4cxx::LoggerPtr at = logger; at && !quiet; at = at->getParent()) {
            quiet = at->getAppender(LOG4CXX_STR("KivoCryptoSSL.quiet")) != nullptr;
        }
        EXPECT_TRUE(quiet) << name;
    }
}

TEST(FrameLogging, CalculateHashLogsEntryAndExitWithLocation) {
    LogCapture capture(CHashSSL::m_logger);
    unsigned char data[] = {'a', 'b', 'c'};
    CHashSSL::calculateHash(data, sizeof data, 4);

    const std::vector<CapturedEvent> events = capture.events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].message, "entering calculateHash ");
    EXPECT_EQ(events[0].level, "DEBUG");
    EXPECT_EQ(events[1].message, " nAlgoID : 4");
    EXPECT_EQ(events[2].message, "using Algo SHA256");
    EXPECT_EQ(events[3].message, "leaving calculateHash ");
    EXPECT_EQ(events[3].level, "INFO");
    for (const CapturedEvent& event : events) {
        EXPECT_EQ(event.logger, "KivoCryptoSSL::CHashSSL");
        EXPECT_NE(event.fileName.find("HashSSL.cpp"), std::string::npos) << event.fileName;
        EXPECT_GT(event.line, 0);
    }
    // The location names the method the record comes from.
    EXPECT_EQ(events[0].className, "CHashSSL");
    EXPECT_EQ(events[0].method, "calculateHash");
    EXPECT_EQ(events[3].method, "calculateHash");
}

TEST(FrameLogging, EnterAndLeaveMacrosUseTheCommonForms) {
    LogCapture capture(kivo::loggers::module);
    KIVO_LOG_ENTER(kivo::loggers::module, "SignBlobSSL");
    KIVO_LOG_LEAVE(kivo::loggers::module, "SignBlobSSL", -22);
    KIVO_LOG_LEAVE_INFO(kivo::loggers::module, "OpenSSLKey", "OK");
    const auto events = capture.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].message, "entering SignBlobSSL");
    EXPECT_EQ(events[1].message, "leaving SignBlobSSL: -22");
    EXPECT_EQ(events[1].level, "DEBUG");
    EXPECT_EQ(events[2].message, "leaving OpenSSLKey: OK");
    EXPECT_EQ(events[2].level, "INFO");
    EXPECT_EQ(events[0].method, "TestBody");
    EXPECT_NE(events[0].className.find("EnterAndLeaveMacrosUseTheCommonForms"), std::string::npos)
        << events[0].className;
}

TEST(FrameLogging, DisabledLevelBuildsNoMessage) {
    LogCapture capture(kivo::loggers::module);
    kivo::loggers::module->setLevel(log4cxx::Level::getInfo());
    int evaluations = 0;
    auto costly = [&] { return ++evaluations; };
    LOG4CXX_DEBUG(kivo::loggers::module, "value " << costly());
    EXPECT_EQ(evaluations, 0);
    EXPECT_TRUE(capture.events().empty());
}

// ---- OpenSSL error drain ---------------------------------------------------

namespace {

void queueOpenSSLErrors(int count) {
    for (int i = 0; i < count; ++i) ERR_raise(ERR_LIB_ASN1, ASN1_R_TOO_LONG);
}

}  // namespace

TEST(OpenSSLErrorDrain, EmptyQueueGivesOneErrorLineAndAnEmptyPrefixANameOfItsOwn) {
    ERR_clear_error();
    LogCapture capture(CHashSSL::m_logger);
    openSSL_LogError(CHashSSL::m_logger, "loading key");
    openSSL_LogError(CHashSSL::m_logger, "");
    const auto events = capture.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].level, "ERROR");
    EXPECT_EQ(events[0].message, "loading key: No error found -> ERR_get_error() == 0");
    EXPECT_EQ(events[1].message, "openSSL error: No error found -> ERR_get_error() == 0");

    capture.clear();
    queueOpenSSLErrors(1);
    openSSL_LogError(CHashSSL::m_logger, "");
    ASSERT_FALSE(capture.messages().empty());
    EXPECT_EQ(capture.messages()[0], "openSSL error:\r\n");
}

TEST(OpenSSLErrorDrain, QueuedErrorsAreLoggedAndConsumed) {
    ERR_clear_error();
    queueOpenSSLErrors(3);
    LogCapture capture(CHashSSL::m_logger);
    openSSL_LogError(CHashSSL::m_logger, "parsing");
    const auto events = capture.events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].message, "parsing:\r\n");
    for (std::size_t i = 1; i < events.size(); ++i) {
        EXPECT_EQ(events[i].level, "ERROR");
        EXPECT_EQ(events[i].message.rfind("- error:", 0), 0u) << events[i].message;
        EXPECT_NE(events[i].message.find("too long"), std::string::npos) << events[i].message;
    }
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(OpenSSLErrorDrain, OpenSSLKeepsOnlyItsNewestErrors) {
    // OpenSSL's per-thread queue is a ring of 16 entries: of 150 raised
    // errors the drain sees the newest 16, logs them all and stops cleanly.
    ERR_clear_error();
    queueOpenSSLErrors(150);
    LogCapture capture(CHashSSL::m_logger);
    openSSL_LogError(CHashSSL::m_logger, "many");
    const auto events = capture.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_LT(events.size(), 1u + kivo::kMaxLoggedOpenSSLErrors);
    for (const auto& event : events) EXPECT_EQ(event.level, "ERROR");
    EXPECT_EQ(ERR_peek_error(), 0u);
}

namespace {

// An error source with more entries than the drain will log.
struct LongErrorQueue {
    unsigned long remaining;
    unsigned long handedOut = 0;
    bool cleared = false;
};

unsigned long nextFromLongQueue(void* context) {
    auto* queue = static_cast<LongErrorQueue*>(context);
    if (queue->cleared || queue->remaining == 0) return 0;
    --queue->remaining;
    ++queue->handedOut;
    return ERR_PACK(ERR_LIB_X509, 0, X509_R_CERT_ALREADY_IN_HASH_TABLE);
}

void clearLongQueue(void* context) { static_cast<LongErrorQueue*>(context)->cleared = true; }

}  // namespace

TEST(OpenSSLErrorDrain, StopsAfterOneHundredErrorsAndClearsTheRest) {
    // From one hundred errors on, the rest is cleared with a warning.
    for (const unsigned long count : {150ul, 100ul, 99ul}) {
        SCOPED_TRACE(count);
        LongErrorQueue queue{count};
        LogCapture capture(CHashSSL::m_logger);
        kivo::drainErrorQueue(CHashSSL::m_logger, "chain", nextFromLongQueue, clearLongQueue, &queue);
        const auto events = capture.events();
        const bool warned = count >= 100;
        ASSERT_EQ(events.size(), 1u + std::min(count, 100ul) + (warned ? 1u : 0u));
        EXPECT_EQ(events.front().message, "chain:\r\n");
        for (std::size_t i = 1; i <= std::min(count, 100ul); ++i) EXPECT_EQ(events[i].message.rfind("- ", 0), 0u);
        EXPECT_EQ(queue.handedOut, std::min(count, 100ul));
        EXPECT_EQ(queue.cleared, warned);
        if (warned) {
            EXPECT_EQ(events.back().level, "WARN");
            EXPECT_EQ(events.back().message, "More than 100 errors found! Clear all remaining errors.");
        }
    }
}

