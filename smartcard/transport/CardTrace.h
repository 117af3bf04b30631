// CardTrace: the plain-text trace file of the card layer, separate from the
// log4cxx logging. File, level and enabled flag come from the card settings
// (ConfigSC). Every message is appended with its own open and close; a new
// file is created with mode 0600 because APDU traffic is private.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kivo {

class CardTrace {
public:
    // Levels in use: messages (entry, exit, errors, details) and APDU dumps.
    static constexpr int cLevelInfo = 1;
    static constexpr int cLevelDetail = 2;
    static constexpr int cLevelApdu = 5;

    // Removed from the front of a title given to setTitle.
    static constexpr std::string_view cTitlePrefix = "KivoCryptoSSL";

    // True when a message of this level would be written: tracing enabled,
    // level not above the configured one, not suppressed.
    static bool enabled(int level);

    // Writes prefix + printf-formatted message.
    static void write(int level, const char* format, ...)
        __attribute__((format(printf, 2, 3)));

    // Header line with the caption, then the bytes as "%02x" joined by ":",
    // sixteen to a line, each line opened by the prefix. Bytes in
    // [maskFrom, maskFrom + maskLength) are written as "**".
    static void dump(int level, std::string_view caption, const std::uint8_t* bytes,
                     std::size_t length, std::size_t maskFrom = 0,
                     std::size_t maskLength = 0);

    // "-->leaving name (0xCODE)(text)" and, when name is CardSignData or
    // CardRSADecrypt and code is not 0, the failure notification.
    static void logResult(std::string_view name, std::uint32_t code);
    // The text of a result code ("unknown" for codes without one).
    static const char* resultText(std::uint32_t code);

    // The line prefix "date time,ms - title (0) : " for the current time.
    static std::string linePrefix();

    static void setTitle(std::string_view title);
    static std::string title();

    // While set, nothing is written.
    static void setSuppressed(bool suppressed);
    static bool suppressed();

    // The text dump() writes, with the given line prefix in place of the
    // current one.
    static std::string formatDump(std::string_view prefix, std::string_view caption,
                                  const std::uint8_t* bytes, std::size_t length,
                                  std::size_t maskFrom = 0, std::size_t maskLength = 0);
};

// The part of a command APDU that must not reach the trace: the data field
// of VERIFY (20), CHANGE REFERENCE DATA (24) and RESET RETRY COUNTER (2C),
// for short and extended length. Returns false for other commands.
bool secretDataRange(const std::uint8_t* apdu, std::size_t length, std::size_t& from,
                     std::size_t& count);

// True for a command whose answer must not reach the trace: PSO DECIPHER
// (INS 2A, P1 80), whose answer is the deciphered data (a session key).
bool secretAnswer(const std::uint8_t* apdu, std::size_t length);

}  // namespace kivo
