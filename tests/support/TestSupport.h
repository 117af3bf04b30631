// Small helpers shared by the test suites.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kivo::test {

// Sets TZ for the lifetime of the object and restores the previous value.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> m_saved;
};

// Reproducible pseudo-random bytes.
std::vector<unsigned char> randomBytes(std::size_t count, std::uint32_t seed);

// Upper-case hex of `bytes`.
std::string toHex(const unsigned char* bytes, std::size_t count);
std::string toHex(const std::vector<unsigned char>& bytes);

// Digest computed by OpenSSL's EVP interface; `name` as for EVP_get_digestbyname.
std::vector<unsigned char> opensslDigest(const char* name, const unsigned char* data,
                                         std::size_t length);

// Runs a command through the shell; returns its exit status and stdout.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(const std::string& command);

}  // namespace kivo::test
