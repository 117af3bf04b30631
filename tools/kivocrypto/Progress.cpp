#include "tools/kivocrypto/Progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace kivocrypto {

Progress::Progress(const std::string& action, std::uint64_t bytes) {
    if (bytes < kThreshold || ::isatty(STDERR_FILENO) != 1) return;
    m_active = true;
    m_line = "kivocrypto: " + action + " (" + std::to_string(bytes / (1024u * 1024u)) + " MiB) ...";
    std::fprintf(stderr, "%s", m_line.c_str());
    m_thread = std::thread([this] { tick(); });
}

Progress::~Progress() { stop("failed"); }

void Progress::finish(bool succeeded) { stop(succeeded ? "done" : "failed"); }

// Rewrites the line once a second with the time spent so far.
void Progress::tick() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stopping; })) {
        ++m_seconds;
        std::fprintf(stderr, "\r%s %d s", m_line.c_str(), m_seconds);
    }
}

void Progress::stop(const char* outcome) {
    if (!m_active) return;
    m_active = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
    std::fprintf(stderr, "\r%s %s (%d s)\n", m_line.c_str(), outcome, m_seconds);
}

}  // namespace kivocrypto
