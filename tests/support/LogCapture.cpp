#include "tests/support/LogCapture.h"

#include <log4cxx/spi/loggingevent.h>

namespace kivo::test {

class LogCapture::Sink : public log4cxx::AppenderSkeleton {
public:
    void close() override {}
    bool requiresLayout() const override { return false; }

    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override {
        const auto& where = event->getLocationInformation();
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back({event->getLoggerName(), event->getLevel()->toString(), event->getMessage(), where.getFileName(),
                          where.getClassName(), where.getMethodName(), where.getLineNumber()});
    }

    mutable std::mutex mutex;
    std::vector<CapturedEvent> events;
};

LogCapture::LogCapture(const log4cxx::LoggerPtr& logger)
    : m_logger(logger), m_savedLevel(logger->getLevel()), m_savedAdditivity(logger->getAdditivity()),
      m_sink(std::make_shared<Sink>()) {
    m_logger->addAppender(m_sink);
    m_logger->setAdditivity(false);
    m_logger->setLevel(log4cxx::Level::getDebug());
}

LogCapture::~LogCapture() {
    m_logger->removeAppender(m_sink);
    m_logger->setAdditivity(m_savedAdditivity);
    m_logger->setLevel(m_savedLevel);
}

std::vector<CapturedEvent> LogCapture::events() const {
    std::lock_guard<std::mutex> lock(m_sink->mutex);
    return m_sink->events;
}

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> texts;
    for (const CapturedEvent& event : events()) texts.push_back(event.message);
    return texts;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(m_sink->mutex);
    m_sink->events.clear();
}

}  // namespace kivo::test
