// Writes every exchange to a log file as two lines, "> command" and
// "< response" in upper-case hex, flushed at once so that a reader of the
// file sees each exchange as soon as the answer has been sent.
#pragma once

#include "tools/vcard/Bytes.h"

#include <cstdio>
#include <string>

namespace vcard {

class Recorder {
public:
    Recorder() = default;
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Appends to `path`; false when it cannot be opened.
    bool open(const std::string& path);
    void exchange(const Bytes& command, const Bytes& response);

private:
    std::FILE* m_file = nullptr;
};

}  // namespace vcard
