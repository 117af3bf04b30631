#include "src/frame/FileIo.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>
#include <vector>

namespace kivo {
namespace {

// Inputs from this size on are read ahead in one go while mapping; below
// it the mapping costs more than it saves.
constexpr std::size_t kPopulateThreshold = std::size_t{1} << 20;

// Pieces of 1 MiB: large enough that system calls do not matter, small
// enough to stay in the cache while they are hashed.
constexpr std::size_t kStreamBufferSize = std::size_t{1} << 20;

bool writeAll(int descriptor, const unsigned char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(descriptor, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

// "<folder>/.<name>.<random>.tmp" beside `path`, so that the rename stays
// within one file system.
std::string temporaryNameBeside(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::random_device random;
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%d.%u.%08x.tmp", static_cast<int>(::getpid()),
                  counter.fetch_add(1), random());
    return folder + "." + name + suffix;
}

}  // namespace

MappedInput::MappedInput(const char* path) {
    if (path == nullptr) return;
    const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return;
    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(descriptor);
        return;
    }
    m_size = static_cast<std::size_t>(info.st_size);
    if (m_size == 0) {
        ::close(descriptor);
        m_status = Status::Empty;
        return;
    }
    const int flags = MAP_PRIVATE | (m_size >= kPopulateThreshold ? MAP_POPULATE : 0);
    void* mapping = ::mmap(nullptr, m_size, PROT_READ, flags, descriptor, 0);
    ::close(descriptor);
    if (mapping == MAP_FAILED) {
        m_size = 0;
        return;
    }
    ::madvise(mapping, m_size, MADV_SEQUENTIAL);
    m_data = static_cast<unsigned char*>(mapping);
    m_status = Status::Ok;
}

MappedInput::~MappedInput() {
    if (m_data != nullptr) ::munmap(m_data, m_size);
}

ReadStatus streamFile(const char* path,
                      const std::function<void(const unsigned char*, std::size_t)>& consume) {
    if (path == nullptr) return ReadStatus::CannotOpen;
    const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return ReadStatus::CannotOpen;
    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(descriptor);
        return ReadStatus::CannotOpen;
    }
    ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::vector<unsigned char> buffer(kStreamBufferSize);
    std::size_t total = 0;
    for (;;) {
        const ssize_t got = ::read(descriptor, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(descriptor);
            return ReadStatus::CannotOpen;
        }
        if (got == 0) break;
        consume(buffer.data(), static_cast<std::size_t>(got));
        total += static_cast<std::size_t>(got);
    }
    ::close(descriptor);
    return total == 0 ? ReadStatus::Empty : ReadStatus::Ok;
}

bool sameExistingFile(const char* first, const char* second) {
    struct stat a {};
    struct stat b {};
    if (first == nullptr || second == nullptr) return false;
    if (::stat(first, &a) != 0 || ::stat(second, &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool writeFileAtomically(const char* path, const unsigned char* data, std::size_t length) {
    if (path == nullptr || *path == '\0' || (data == nullptr && length != 0)) return false;
    const std::string target(path);
    std::string temporary;
    int descriptor = -1;
    for (int attempt = 0; attempt < 16 && descriptor < 0; ++attempt) {
        temporary = temporaryNameBeside(target);
        descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor < 0 && errno != EEXIST) return false;
    }
    if (descriptor < 0) return false;
    const bool complete = writeAll(descriptor, data, length) && ::fsync(descriptor) == 0;
    const bool closed = ::close(descriptor) == 0;
    if (!complete || !closed || ::rename(temporary.c_str(), path) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace kivo
