// A progress note on stderr for one long blocking call: shown only when
// stderr is a terminal and the work is large, so that pipes and logs stay
// clean. The note counts the seconds while the call runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace kivocrypto {

class Progress {
public:
    // Inputs of at least this size get a note.
    static constexpr std::uint64_t kThreshold = 16u * 1024u * 1024u;

    // `action` such as "signing report.pdf"; `bytes` is the size of the work.
    Progress(const std::string& action, std::uint64_t bytes);
    // Ends the note with "done" or "failed" (failed when finish was not called).
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void finish(bool succeeded);

private:
    void tick();
    void stop(const char* outcome);

    bool m_active = false;
    std::string m_line;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    int m_seconds = 0;
    std::thread m_thread;
};

}  // namespace kivocrypto
