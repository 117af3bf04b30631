#include "tests/support/TestSupport.h"

#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace kivo::test {

std::vector<unsigned char> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

ScopedTimeZone::ScopedTimeZone(const char* zone) {
    if (const char* current = std::getenv("TZ")) m_saved = current;
    ::setenv("TZ", zone, 1);
    ::tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
    m_saved ? ::setenv("TZ", m_saved->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

TempDir::TempDir(const std::string& label) {
    static std::atomic<int> counter{0};
    do {
        m_path = std::filesystem::temp_directory_path() /
                 (label + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    } while (!std::filesystem::create_directory(m_path));
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::folder(const std::string& name) const {
    std::filesystem::create_directories(m_path / name);
    return file(name);
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_path)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<unsigned char> randomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<unsigned char> bytes(count);
    for (auto& byte : bytes) byte = static_cast<unsigned char>(generator());
    return bytes;
}

std::string toHex(const unsigned char* bytes, std::size_t count) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += {kHex[bytes[i] >> 4], kHex[bytes[i] & 0xF]};
    return text;
}

std::string toHex(const std::vector<unsigned char>& bytes) { return toHex(bytes.data(), bytes.size()); }

std::vector<unsigned char> opensslDigest(const char* name, const unsigned char* data, std::size_t length) {
    std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
    std::size_t size = 0;
    if (EVP_Q_digest(nullptr, name, nullptr, data, length, digest.data(), &size) != 1) {
        throw std::runtime_error(std::string("OpenSSL cannot digest with ") + name);
    }
    digest.resize(size);
    return digest;
}

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) result.output.append(chunk, got);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

void bypassProxyForLoopback() {
    for (const char* name : {"no_proxy", "NO_PROXY"}) ::setenv(name, "127.0.0.1,localhost", 1);
}

}  // namespace kivo::test
