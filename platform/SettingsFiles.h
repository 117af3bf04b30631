// SettingsFiles: the two key=value files that hold the card settings in
// place of the registry key "Software\Quendra\Minidriver" (machine values,
// then the values of the current user). The library only reads them.
//
// File format: one `name=value` per line; blanks around name and value are
// trimmed; blank lines and lines starting with '#' are skipped. A line
// without '=', with an empty name, holding a NUL byte or longer than
// kSettingsLineLimit bytes is ignored, the rest of the file still counts.
// When a name appears twice, the later line wins. Names compare without
// regard to case, as registry value names do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kivo {

// Environment variables that put the two files elsewhere (tests, packaging).
inline constexpr const char* kMachineSettingsVariable = "KIVO_SC_MACHINE_CONFIG";
inline constexpr const char* kUserSettingsVariable = "KIVO_SC_USER_CONFIG";

inline constexpr const char* kMachineSettingsDefault = "/etc/quendra/minidriver.conf";
// Below $XDG_CONFIG_HOME, or below ~/.config when that is not set.
inline constexpr const char* kUserSettingsRelative = "quendra/minidriver.conf";

// Longest line taken (without its line end).
inline constexpr std::size_t kSettingsLineLimit = 4096;
// A larger file is not read at all.
inline constexpr std::size_t kSettingsFileLimit = 1024 * 1024;

// The path of the machine file: $KIVO_SC_MACHINE_CONFIG when set and not
// empty, else /etc/quendra/minidriver.conf.
std::string machineSettingsPath();
// The path of the user file: $KIVO_SC_USER_CONFIG when set and not empty,
// else $XDG_CONFIG_HOME/quendra/minidriver.conf (an absolute
// XDG_CONFIG_HOME only), else $HOME/.config/quendra/minidriver.conf; empty
// when none of them is known.
std::string userSettingsPath();

// The values of one settings file. Values are wiped when the object goes
// away, because the user file may hold a PACE PIN.
class SettingsFile {
public:
    // A missing, unreadable, non-regular or oversized file gives no values.
    static SettingsFile read(const std::string& path);
    static SettingsFile parse(std::string_view text);

    SettingsFile() = default;
    SettingsFile(SettingsFile&&) = default;
    SettingsFile& operator=(SettingsFile&&) = delete;
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;
    ~SettingsFile();

    // The text of a value; null when the file does not name it.
    const std::string* text(std::string_view name) const;
    // A value as a 32-bit number (the data of a registry DWORD): decimal
    // digits, or hex digits after "0x". Nothing when the value is missing,
    // is not such a number or does not fit in 32 bits.
    std::optional<std::uint32_t> number(std::string_view name) const;

    std::size_t size() const { return m_values.size(); }

private:
    void addLine(std::string_view line);

    std::map<std::string, std::string> m_values;  // by lower-case name
};

}  // namespace kivo
