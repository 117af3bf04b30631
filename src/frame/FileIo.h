// File input and output for file signing: the input is mapped rather than
// copied, and the output appears complete or not at all.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace kivo {

// A read-only mapping of a whole regular file.
class MappedInput {
public:
    enum class Status { Ok, CannotOpen, Empty };

    explicit MappedInput(const char* path);
    ~MappedInput();
    MappedInput(const MappedInput&) = delete;
    MappedInput& operator=(const MappedInput&) = delete;

    Status status() const { return m_status; }
    const unsigned char* data() const { return m_data; }
    std::size_t size() const { return m_size; }

private:
    Status m_status = Status::CannotOpen;
    unsigned char* m_data = nullptr;
    std::size_t m_size = 0;
};

enum class ReadStatus { Ok, CannotOpen, Empty };

// Reads a whole regular file in pieces through one reused buffer and hands
// each piece to `consume`, for content that is only hashed: on virtual
// machines a plain read is markedly cheaper than first-touching a mapping.
ReadStatus streamFile(const char* path,
                      const std::function<void(const unsigned char*, std::size_t)>& consume);

// Whether the two names lead to the same existing file (also through
// links or different spellings of the path).
bool sameExistingFile(const char* first, const char* second);

// Writes `data` to a new temporary file in the folder of `path` and
// renames it to `path` once it is complete and flushed to disk. On any
// failure the temporary file is removed, an existing `path` is left as it
// was, and the result is false. The file gets the permissions a newly
// created file would get (0666 less the umask).
bool writeFileAtomically(const char* path, const unsigned char* data, std::size_t length);

}  // namespace kivo
