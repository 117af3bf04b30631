// Captures what a log4cxx logger emits, for tests that check log lines.
#pragma once

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kivo::test {

// One record: logger name, level ("DEBUG", "INFO", ...), message, and its
// source file, class and method (from the method's full signature), line.
struct CapturedEvent {
    std::string logger, level, message, fileName, className, method;
    int line = 0;
};

// Attaches itself to `logger` (at DEBUG) for its lifetime and restores the
// logger's level and additivity afterwards.
class LogCapture {
public:
    explicit LogCapture(const log4cxx::LoggerPtr& logger);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedEvent> events() const;
    std::vector<std::string> messages() const;
    void clear();

    class Sink;

private:
    log4cxx::LoggerPtr m_logger;
    log4cxx::LevelPtr m_savedLevel;
    bool m_savedAdditivity;
    std::shared_ptr<Sink> m_sink;
};

}  // namespace kivo::test
