#include "src/cert/DirHelp.h"

#include "src/frame/Logging.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char* kMatchEverything = "*.*";
constexpr const char* kUploadingMark = "uploading";
constexpr const char* kLockSuffix = ".lock";

bool sameLetter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// Wildcard match of a whole name: "*" any run, "?" one character. Greedy
// with one back-track point, so it runs in time proportional to
// name length times pattern length at worst.
bool matchesPattern(const std::string& name, const std::string& pattern) {
    if (pattern == kMatchEverything) return true;
    std::size_t n = 0;
    std::size_t p = 0;
    std::size_t starAt = std::string::npos;
    std::size_t resumeAt = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starAt = p++;
            resumeAt = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || sameLetter(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (starAt != std::string::npos) {
            p = starAt + 1;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::string extensionOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

// The directory followed by a separator, unless it ends in one.
std::string withSeparator(const std::string& directory) {
    if (!directory.empty() && directory.back() == '/') return directory;
    return directory + '/';
}

}  // namespace

CDirHelp::CDirHelp() = default;

CDirHelp::CDirHelp(const std::string& startDir, const std::string& pattern,
                   const std::string& excludedExtension, int recursive, int maximum)
    : m_pattern(pattern),
      m_excludedExtension(excludedExtension),
      m_recursive(recursive == 1),
      m_maximum(maximum) {
    KIVO_LOG_ENTER(kivo::loggers::dirHelp, "CDirHelp");
    LOG4CXX_DEBUG(kivo::loggers::dirHelp, " startDir : " << startDir << " pattern : " << pattern);
    try {
        search(startDir);
        // Subdirectories queued by the searches, breadth first; the list
        // grows while it is walked.
        for (std::size_t i = 0; i < m_DirList.size() && m_count < m_maximum; ++i) {
            const std::string directory = m_DirList[i];
            search(directory);
        }
    } catch (...) {
        // Out of memory while collecting: keep what was found so far.
        LOG4CXX_ERROR(kivo::loggers::dirHelp, "CDirHelp: search of " << startDir << " aborted");
    }
    KIVO_LOG_LEAVE(kivo::loggers::dirHelp, "CDirHelp", m_count);
}

CDirHelp::~CDirHelp() = default;

int CDirHelp::EntryCount() const {
    KIVO_LOG_ENTER(kivo::loggers::dirHelp, "EntryCount");
    return static_cast<int>(m_DirStack.size());
}

int CDirHelp::NextEntry(Entry& entry) {
    KIVO_LOG_ENTER(kivo::loggers::dirHelp, "NextEntry");
    if (m_DirStack.empty()) return -1;
    entry = std::move(m_DirStack.back());
    m_DirStack.pop_back();
    return 0;
}

bool CDirHelp::accepts(const std::string& name) const {
    if (name.empty() || name[0] == '.') return false;
    if (!matchesPattern(name, m_pattern)) return false;
    const std::string extension = extensionOf(name);
    if (!m_excludedExtension.empty() && extension == m_excludedExtension) return false;
    return extension.find(kUploadingMark) == std::string::npos;
}

void CDirHelp::search(const std::string& directory) {
    if (m_count >= m_maximum) return;
    const std::string prefix = withSeparator(directory);
    const int pathLength = std::snprintf(m_searchPath, sizeof m_searchPath, "%s%s", prefix.c_str(),
                                         m_pattern.c_str());
    if (pathLength < 0 || static_cast<std::size_t>(pathLength) >= sizeof m_searchPath) {
        LOG4CXX_ERROR(kivo::loggers::dirHelp, "CDirHelp: search path too long: " << directory);
        m_searchPath[0] = '\0';
        return;
    }
    LOG4CXX_DEBUG(kivo::loggers::dirHelp, " search : " << m_searchPath);

    std::error_code error;
    fs::directory_iterator it(directory, error);
    if (error) {
        LOG4CXX_DEBUG(kivo::loggers::dirHelp, " cannot read " << directory << ": " << error.message());
        return;
    }
    // Names in byte order, so that the hand-out order does not depend on
    // the file system.
    std::vector<std::string> names;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) break;
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        if (m_count >= m_maximum) break;
        const std::string path = prefix + name;
        const fs::file_status status = fs::status(path, error);
        if (fs::is_directory(status)) {
            if (!m_recursive) continue;
            if (fs::is_regular_file(path + kLockSuffix, error)) {
                LOG4CXX_DEBUG(kivo::loggers::dirHelp, " locked, skipped: " << path);
                continue;
            }
            // A linked directory is not followed: links could form a cycle.
            if (fs::is_symlink(fs::symlink_status(path, error))) continue;
            m_DirList.push_back(path);
            continue;
        }
        // Pipes, sockets and devices are skipped: reading them could block.
        if (!accepts(name) || !fs::is_regular_file(status)) continue;
        ++m_count;
        m_DirStack.push_back(Entry{path, false});
    }
}
