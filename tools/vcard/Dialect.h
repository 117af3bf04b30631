// Where a card operating system family answers differently from the ISO
// 7816 behaviour vcard gives by default: named options, set by the
// description's `dialect` statements (dialect <name>=<value> ...). The
// options a family needs are listed in README.md; the card model asks for
// them where it answers, so families differ in data, not in code.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vcard {

struct Dialect {
    std::map<std::string, std::string> options;

    bool has(const std::string& name) const { return options.count(name) != 0; }
    std::string text(const std::string& name, const std::string& fallback = "") const {
        auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }
    // The option as a hexadecimal number (a status word, a class byte);
    // `fallback` when absent or not a number.
    std::uint32_t hex(const std::string& name, std::uint32_t fallback) const {
        auto it = options.find(name);
        if (it == options.end() || it->second.empty()) return fallback;
        try {
            std::size_t used = 0;
            unsigned long value = std::stoul(it->second, &used, 16);
            return used == it->second.size() ? static_cast<std::uint32_t>(value) : fallback;
        } catch (const std::exception&) {
            return fallback;
        }
    }
};

}  // namespace vcard
