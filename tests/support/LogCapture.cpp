#include "tests/support/LogCapture.h"

#include <log4cxx/spi/loggingevent.h>

namespace kivo::test {

class LogCapture::Sink : public log4cxx::AppenderSkeleton {
public:
    void close() override {}
    bool requiresLayout() const override { return false; }

    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override {
        const auto& location = event->getLocationInformation();
        CapturedEvent captured;
        captured.logger = event->getLoggerName();
        captured.level = event->getLevel()->toString();
        captured.message = event->getMessage();
        captured.fileName = location.getFileName();
        captured.className = location.getClassName();
        captured.method = location.getMethodName();
        captured.line = location.getLineNumber();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(std::move(captured));
    }

    std::vector<CapturedEvent> snapshot() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

    void reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<CapturedEvent> m_events;
};

LogCapture::LogCapture(const log4cxx::LoggerPtr& logger)
    : m_logger(logger),
      m_savedLevel(logger->getLevel()),
      m_savedAdditivity(logger->getAdditivity()),
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

std::vector<CapturedEvent> LogCapture::events() const { return m_sink->snapshot(); }

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> texts;
    for (const CapturedEvent& event : events()) texts.push_back(event.message);
    return texts;
}

void LogCapture::clear() { m_sink->reset(); }

}  // namespace kivo::test
