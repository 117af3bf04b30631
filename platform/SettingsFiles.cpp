#include "platform/SettingsFiles.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {
namespace {

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

void wipe(std::string& text) {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

std::string lowerCase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Appends everything left in fd to out; false on a read error or when out
// would grow beyond kSettingsFileLimit.
bool readAll(int fd, std::string& out) {
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) return true;
        if (n < 0 || out.size() + static_cast<std::size_t>(n) > kSettingsFileLimit) {
            OPENSSL_cleanse(chunk, sizeof chunk);
            return false;
        }
        out.append(chunk, static_cast<std::size_t>(n));
        OPENSSL_cleanse(chunk, static_cast<std::size_t>(n));
    }
}

// Reads a regular file of at most kSettingsFileLimit bytes; anything else
// (missing, a directory, a device, a pipe, too large, a read error) gives
// nothing. O_NONBLOCK keeps the open of a pipe from waiting for a writer.
std::optional<std::string> readSmallRegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    std::string content;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    // Room for the whole file up front, so that no copy of it is left behind
    // by a reallocation.
    if (regular) content.reserve(std::min<std::size_t>(info.st_size, kSettingsFileLimit));
    const bool read = regular && readAll(fd, content);
    ::close(fd);
    if (read) return content;
    wipe(content);
    return std::nullopt;
}

std::optional<std::uint32_t> parseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                              ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                              : -1;
        if (digit < 0) return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace

std::string machineSettingsPath() {
    const std::string configured = environmentValue(kMachineSettingsVariable);
    return configured.empty() ? std::string(kMachineSettingsDefault) : configured;
}

std::string userSettingsPath() {
    const std::string configured = environmentValue(kUserSettingsVariable);
    if (!configured.empty()) return configured;
    const std::string xdg = environmentValue("XDG_CONFIG_HOME");
    if (!xdg.empty() && xdg.front() == '/') return xdg + "/" + kUserSettingsRelative;
    const std::string home = environmentValue("HOME");
    if (!home.empty()) return home + "/.config/" + kUserSettingsRelative;
    return {};
}

SettingsFile SettingsFile::read(const std::string& path) {
    std::optional<std::string> content =
        path.empty() ? std::nullopt : readSmallRegularFile(path);
    if (!content) return SettingsFile();
    SettingsFile file = parse(*content);
    wipe(*content);
    return file;
}

SettingsFile SettingsFile::parse(std::string_view text) {
    SettingsFile file;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        file.addLine(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return file;
}

void SettingsFile::addLine(std::string_view line) {
    if (line.size() > kSettingsLineLimit || line.find('\0') != std::string_view::npos) return;
    line = trimmed(line);
    if (line.empty() || line.front() == '#') return;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return;
    const std::string_view name = trimmed(line.substr(0, equals));
    if (name.empty()) return;
    std::string& slot = m_values[lowerCase(name)];
    wipe(slot);
    slot.assign(trimmed(line.substr(equals + 1)));
}

SettingsFile::~SettingsFile() {
    for (auto& entry : m_values) wipe(entry.second);
}

const std::string* SettingsFile::text(std::string_view name) const {
    const auto found = m_values.find(lowerCase(name));
    return found == m_values.end() ? nullptr : &found->second;
}

std::optional<std::uint32_t> SettingsFile::number(std::string_view name) const {
    const std::string* value = text(name);
    return value == nullptr ? std::nullopt : parseNumber(*value);
}

}  // namespace kivo
