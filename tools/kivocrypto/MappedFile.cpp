#include "tools/kivocrypto/MappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kivocrypto {

MappedFile::MappedFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        m_error = std::strerror(errno);
        return;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        m_error = std::strerror(errno);
    } else if (S_ISDIR(info.st_mode)) {
        m_error = "is a directory";
    } else if (!S_ISREG(info.st_mode)) {
        m_error = "not a regular file";
    } else if (info.st_size > 0) {
        m_size = static_cast<std::size_t>(info.st_size);
        void* mapping = ::mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapping == MAP_FAILED) {
            m_error = std::strerror(errno);
            m_size = 0;
        } else {
            m_data = static_cast<unsigned char*>(mapping);
            ::madvise(mapping, m_size, MADV_SEQUENTIAL);
        }
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (m_data != nullptr) ::munmap(m_data, m_size);
}

}  // namespace kivocrypto
