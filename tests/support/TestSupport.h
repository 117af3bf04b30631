// Small helpers shared by the test suites.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kivo::test {

// Sets TZ for the object's lifetime.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> m_saved;
};

// A fresh folder "<label>-<process id>-<number>" below the system's
// temporary folder, removed with its content when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& label = "kivo-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }
    std::string folder(const std::string& name) const;  // the subfolder, made when missing
    std::vector<std::string> entries() const;          // names in the folder, sorted

private:
    std::filesystem::path m_path;
};

std::vector<unsigned char> randomBytes(std::size_t count, std::uint32_t seed);  // reproducible

// A file's bytes (empty when it cannot be read); writing throws on failure.
std::vector<unsigned char> readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes);

// Upper-case hex.
std::string toHex(const unsigned char* bytes, std::size_t count);
std::string toHex(const std::vector<unsigned char>& bytes);

// Digest by OpenSSL; `name` as OpenSSL names digests ("SHA256").
std::vector<unsigned char> opensslDigest(const char* name, const unsigned char* data, std::size_t length);

// Runs a command through the shell: its exit status and stdout.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(const std::string& command);

// Keeps a proxy of the environment out of the tests' talks with 127.0.0.1.
void bypassProxyForLoopback();

}  // namespace kivo::test
