#include "tools/kivocrypto/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace kivocrypto {
namespace {

mode_t modeFor(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return info.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

bool writeAll(int fd, const unsigned char* data, std::size_t size) {
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// "<folder>/.<name>.XXXXXX", the template mkstemp fills in.
std::vector<char> temporaryTemplate(const std::string& path) {
    const std::filesystem::path target(path);
    std::filesystem::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    const std::string name = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    return std::vector<char>(name.c_str(), name.c_str() + name.size() + 1);
}

}  // namespace

bool replaceFile(const std::string& path, const unsigned char* data, std::size_t size,
                 std::string& error) {
    std::vector<char> temporary = temporaryTemplate(path);
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = "cannot create a file next to " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = ::fchmod(fd, modeFor(path)) == 0 && writeAll(fd, data, size) &&
                         ::fsync(fd) == 0;
    const int writeErrno = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        error = "cannot write " + path + ": " + std::strerror(written ? errno : writeErrno);
        ::unlink(temporary.data());
        return false;
    }
    if (::rename(temporary.data(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + std::strerror(errno);
        ::unlink(temporary.data());
        return false;
    }
    return true;
}

}  // namespace kivocrypto
