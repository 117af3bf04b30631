// The password of a key file: from a file, from the environment, or typed
// on the controlling terminal with echo off.
#pragma once

#include <string>

namespace kivocrypto {

// A password that is wiped from memory when it goes out of scope.
class Secret {
public:
    Secret() = default;
    ~Secret();
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    std::string& text() { return m_text; }
    const char* c_str() const { return m_text.c_str(); }

private:
    std::string m_text;
};

struct PasswordSource {
    std::string file;         // read the first line of this file, if set
    std::string environment;  // else read this environment variable, if set
    std::string prompt;       // else ask on the terminal with this prompt
};

// Fills `password`; on failure returns false and says why in `error`.
bool obtainPassword(const PasswordSource& source, Secret& password, std::string& error);

}  // namespace kivocrypto
