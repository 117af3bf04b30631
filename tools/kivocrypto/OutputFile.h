// Writing a result file so that it appears complete or not at all.
#pragma once

#include <cstddef>
#include <string>

namespace kivocrypto {

// Writes `data` to a temporary file in the folder of `path` and renames it
// to `path`. An existing file keeps its permission bits; a new file gets
// 0666 less the umask. On failure nothing at `path` changes, the temporary
// file is removed, and `error` says why.
bool replaceFile(const std::string& path, const unsigned char* data, std::size_t size,
                 std::string& error);

}  // namespace kivocrypto
