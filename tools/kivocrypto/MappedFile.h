// Read-only view of a whole file, mapped rather than copied.
#pragma once

#include <cstddef>
#include <string>

namespace kivocrypto {

class MappedFile {
public:
    // Opens and maps `path`; on failure ok() is false and error() says why.
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }
    const unsigned char* data() const { return m_data; }
    std::size_t size() const { return m_size; }

private:
    unsigned char* m_data = nullptr;
    std::size_t m_size = 0;
    std::string m_error;
};

}  // namespace kivocrypto
