// The card settings from the machine and user settings files, and where the files are looked for.

#include "tests/support/TestSupport.h"
#include "tests/support/card/PcscScript.h"

#include "platform/SettingsFiles.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/pin/MessageLanguage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace {

using kivo::cardSettings;
using kivo::test::ScopedTraceFile;
using kivo::test::TempDir;

constexpr char kFolder[] = "<folder>";

// The loaded values as "name=value" words, the trace file "own" when it is the test's.
std::string loaded(const ConfigSC::Settings& s, const std::string& ownTrace) {
    std::ostringstream text;
    text << "language=" << s.m_language << " trace=" << s.m_traceEnabled << " level=" << s.m_traceLevel
         << " block=" << s.m_blockSize << " file=" << (s.m_traceFile == ownTrace ? "own" : s.m_traceFile)
         << " hide=" << s.m_hideUnusedCerts << " lsk=" << s.m_lsk << " keyboard=" << s.m_keyboardPIN
         << " dialog=" << s.m_pinDialogEnabled << " pacePin=" << s.m_pacePin << " savePace=" << s.m_savePacePin
         << " pinentry=" << s.m_pinentryProgram;
    return text.str();
}

// The defaults with the words of `changed` in place of theirs.
std::string defaultsWith(const std::string& changed) {
    std::istringstream defaults("language=1 trace=1 level=9 block=240 file=own hide=0 lsk=0 keyboard=0 dialog=1 "
                                "pacePin= savePace=1 pinentry=");
    std::string text;
    for (std::string word; defaults >> word;) {
        const std::size_t at = (" " + changed).find(" " + word.substr(0, word.find('=') + 1));
        if (at != std::string::npos) word = changed.substr(at, changed.find(' ', at) - at);
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

// Every test starts from the default settings, the trace and settings files private.
class ConfigSCTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedLanguage = kivo::pin::messageLanguage();
        reset();
        ::setenv(kivo::kMachineSettingsVariable, m_machine.c_str(), 1);
        ::setenv(kivo::kUserSettingsVariable, m_user.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv(kivo::kMachineSettingsVariable);
        ::unsetenv(kivo::kUserSettingsVariable);
        kivo::pin::setMessageLanguage(m_savedLanguage);
    }
    void reset() {
        cardSettings().m_settings = ConfigSC::Settings{};
        cardSettings().m_settings.m_traceFile = m_trace.path().string();
    }
    // Nothing at `path` (null), a folder, or a file holding `text`.
    static void place(const std::string& path, const char* text) {
        std::filesystem::remove_all(path);
        if (text == kFolder) std::filesystem::create_directories(path);
        if (text != nullptr && text != kFolder) std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

    ScopedTraceFile m_trace;
    TempDir m_folder{"kivo-settings"};
    const std::string m_machine = m_folder.file("machine.conf");
    const std::string m_user = m_folder.file("user.conf");
    int m_savedLanguage = 1;
};

TEST_F(ConfigSCTest, LoadTakesTheValuesOfBothFilesOnceWithoutForce) {
    const std::string longLine = "hideunusedcerts=1" + std::string(kivo::kSettingsLineLimit, ' ') + "\n";
    const std::string format = "# Language=0\n\n  \t\n  LANGUAGE \t=  0  \r\nlanguage=2\nnoequals\n=1\n"
                               "Blocksize=12x\nBlocksize=-1\nBlocksize=0x\nBlocksize=4294967296\n"
                               "KeyboardPIN=0x1G\nLsk = 1\n" + longLine;
    const struct { const char* name; const char* machine; const char* user; std::string expected; } cases[] = {
        {"no files: defaults", nullptr, nullptr, ""},
        {"unreadable (folders): defaults", kFolder, kFolder, ""},
        {"every machine value",
         "Language=0\nLogging=3\nBlocksize=128\nLogfile=/dev/null\nhideunusedcerts=1\nlsk=1\nKeyboardPIN=1\n"
         "pinDialogEnabled=0\nPinentryProgram=/usr/bin/pinentry-tty\n",
         nullptr, "language=0 level=3 block=128 file=/dev/null hide=1 lsk=1 keyboard=1 dialog=0 pinentry=/usr/bin/pinentry-tty"},
        {"user values over machine values", "Language=0\nBlocksize=100\nKeyboardPIN=1\n", "Language=2\nKeyboardPIN=0\n",
         "language=2 block=100"},
        {"numbers count with their first byte", "Blocksize=300\nLogging=256\n", "Language=0x102\npinDialogEnabled=0x100\n",
         "language=2 trace=0 level=0 block=44 dialog=0"},
        {"PACE values in the machine file are ignored", "PACEPin=111111\nSavePACEPin=0\n", nullptr, ""},
        {"PACE values from the user file", "PACEPin=111111\n", "PACEPin=123456\nSavePACEPin=0\n",
         "pacePin=123456 savePace=0"},
        {"format: blanks, comments, case, repeats, bad lines", format.c_str(), nullptr, "language=2 lsk=1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        place(m_machine, c.machine);
        place(m_user, c.user);
        reset();
        cardSettings().Load(true);
        EXPECT_TRUE(cardSettings().m_settings.m_loaded);
        EXPECT_EQ(loaded(cardSettings().m_settings, m_trace.path().string()), defaultsWith(c.expected));
        EXPECT_EQ(kivo::pin::messageLanguage(), cardSettings().m_settings.m_language);
    }
    // Without force the files are read once.
    place(m_machine, nullptr);
    reset();
    place(m_user, "Language=2\n");
    cardSettings().Load(false);
    place(m_user, "Language=0\n");
    cardSettings().Load(false);
    EXPECT_EQ(cardSettings().m_settings.m_language, 2);
    cardSettings().Load(true);
    EXPECT_EQ(cardSettings().m_settings.m_language, 0);
    EXPECT_EQ(kivo::pin::messageLanguage(), 0);
}

TEST(SettingsFilePaths, VariablesThenXdgThenHome) {
    const char* names[] = {kivo::kMachineSettingsVariable, kivo::kUserSettingsVariable, "XDG_CONFIG_HOME", "HOME"};
    const struct { const char* values[4]; std::string machine, user; } cases[] = {
        {{"/m.conf", "/u.conf", "/x", "/h"}, "/m.conf", "/u.conf"},
        {{"", "", "/x", "/h"}, "/etc/quendra/minidriver.conf", "/x/quendra/minidriver.conf"},
        {{nullptr, nullptr, "relative", "/h"}, "/etc/quendra/minidriver.conf", "/h/.config/quendra/minidriver.conf"},
        {{nullptr, nullptr, nullptr, nullptr}, "/etc/quendra/minidriver.conf", ""},
    };
    std::optional<std::string> saved[4];
    for (int i = 0; i < 4; ++i) if (const char* value = std::getenv(names[i])) saved[i] = value;
    const auto set = [&](int i, const char* value) { value ? ::setenv(names[i], value, 1) : ::unsetenv(names[i]); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        for (int i = 0; i < 4; ++i) set(i, c.values[i]);
        EXPECT_EQ(kivo::machineSettingsPath(), c.machine);
        EXPECT_EQ(kivo::userSettingsPath(), c.user);
    }
    for (int i = 0; i < 4; ++i) set(i, saved[i] ? saved[i]->c_str() : nullptr);
}

}  // namespace
