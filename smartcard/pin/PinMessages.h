// PinMessages: the built-in texts of the PIN dialogs and the card messages
// in English, German and Swedish (UTF-8), and the kinds and answers of the
// message boxes that show them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kivo::pin {

// What a lookup of an identifier outside the table yields.
inline constexpr const char* cStringtableError = "----Error in Stringtable----";

// Identifiers the dialogs use themselves.
inline constexpr int cMsgOk = 10;
inline constexpr int cMsgCancel = 11;

// The text of an identifier in a language: 0 English, 1 German,
// 2 Swedish; any other language reads German.
const char* message(int id, int language);
// The text in the process language (messageLanguage()).
const char* message(int id);
// The text with its first "%s" replaced by the PIN name.
std::string messageWithPinName(int id, std::string_view pinName);
// How many identifiers the table holds.
std::size_t messageCount();

// --- message boxes -----------------------------------------------------------

enum class MessageBoxIcon { None, Error, Warning, Information, Question };
enum class MessageBoxButtons { Ok, YesNoCancel, RetryCancel };
enum class MessageBoxAnswer { Ok, Cancel, Yes, No, Retry };

struct MessageBoxStyle {
    MessageBoxIcon icon;
    MessageBoxButtons buttons;
};

// The icon and buttons of a box kind: 0 error, 1 warning, 2 and 3
// information, 4 question with Yes/No/Cancel, 5 question with
// Retry/Cancel; other kinds show OK without an icon.
MessageBoxStyle messageBoxStyle(int kind);
// The helper's result for an answer: 2 for Yes or Retry, 3 for No, 1
// otherwise.
int messageBoxResult(MessageBoxAnswer answer);

}  // namespace kivo::pin
