// The settings-file parser on arbitrary bytes: every line form, any length,
// NUL bytes and line ends anywhere. Whatever the input, parsing ends, no
// value it keeps is longer than the line limit, and the number rule never
// reads past a value.
#include "platform/SettingsFiles.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {
constexpr const char* kNames[] = {
    "Language", "Logging", "Blocksize", "Logfile", "hideunusedcerts",
    "lsk", "KeyboardPIN", "pinDialogEnabled", "PACEPin", "SavePACEPin"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const kivo::SettingsFile file = kivo::SettingsFile::parse(text);
    for (const char* name : kNames) {
        const std::string* value = file.text(name);
        if (value != nullptr && value->size() > kivo::kSettingsLineLimit) std::abort();
        (void)file.number(name);
    }
    return 0;
}
