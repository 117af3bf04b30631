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

}  // namespace kivocrypto
