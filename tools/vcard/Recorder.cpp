#include "tools/vcard/Recorder.h"

namespace vcard {

Recorder::~Recorder() {
    if (m_file) std::fclose(m_file);
}

bool Recorder::open(const std::string& path) {
    m_file = std::fopen(path.c_str(), "a");
    return m_file != nullptr;
}

void Recorder::exchange(const Bytes& command, const Bytes& response) {
    if (!m_file) return;
    std::fprintf(m_file, "> %s\n< %s\n", toHex(command).c_str(), toHex(response).c_str());
    std::fflush(m_file);
}

}  // namespace vcard
