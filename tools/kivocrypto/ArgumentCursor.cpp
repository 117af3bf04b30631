#include "tools/kivocrypto/ArgumentCursor.h"

namespace kivocrypto {

bool ArgumentCursor::next() {
    if (m_started) ++m_index;
    m_started = true;
    if (m_index < m_arguments.size() && !m_optionsEnded && m_arguments[m_index] == "--") {
        m_optionsEnded = true;
        ++m_index;
    }
    return m_index < m_arguments.size();
}

bool ArgumentCursor::isOption() const {
    const std::string& argument = current();
    return !m_optionsEnded && argument.size() > 1 && argument[0] == '-';
}

bool ArgumentCursor::takeValue(std::string& value) {
    const std::string option = current();
    if (m_index + 1 >= m_arguments.size()) {
        printError(m_command + ": " + option + " needs a value");
        return false;
    }
    value = m_arguments[++m_index];
    return true;
}

void ArgumentCursor::reportUnknown() const {
    printError(m_command + ": unknown option '" + current() + "' (see kivocrypto " + m_command +
               " --help)");
}

namespace {

constexpr int kMaxReaderIndex = 999;

// The reader index a text names (0 to kMaxReaderIndex); -1 otherwise.
int readerIndexOf(const std::string& text) {
    if (text.empty() || text.size() > 3) return -1;
    int index = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        index = index * 10 + (c - '0');
    }
    return index <= kMaxReaderIndex ? index : -1;
}

}  // namespace

bool takeReaderIndex(ArgumentCursor& cursor, const std::string& command, int& reader) {
    std::string value;
    if (!cursor.takeValue(value)) return false;
    reader = readerIndexOf(value);
    if (reader >= 0) return true;
    printError(command + ": --reader takes an index from 0 to " + std::to_string(kMaxReaderIndex) + ", not '" +
               value + "'");
    return false;
}

bool takeLanguage(ArgumentCursor& cursor, const std::string& command, int& language) {
    std::string value;
    if (!cursor.takeValue(value)) return false;
    const char* const names[] = {"en", "de", "sv"};
    for (int code = 0; code < 3; ++code) {
        if (value == names[code]) {
            language = code;
            return true;
        }
    }
    printError(command + ": --language takes en, de or sv, not '" + value + "'");
    return false;
}

}  // namespace kivocrypto
