// The card settings read from the machine and the user settings file:
// values, defaults, the user file over the machine file, the number rule
// (first byte), the file format, broken files, the single read without
// force, and where the files are looked for.

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
#include <vector>

namespace {

using kivo::cardSettings;
using kivo::test::ScopedTraceFile;
using kivo::test::TempDir;

// What stands at a settings file's path.
enum class Kind { Missing, Folder, File };

struct FileSetup {
    Kind kind = Kind::Missing;
    std::string text{};
};

// The loaded values a case expects; the defaults unless a case says otherwise.
struct Expected {
    std::int32_t language = 1;
    bool traceEnabled = true;
    std::int32_t traceLevel = 9;
    std::int32_t blockSize = 240;
    std::string traceFile{};  // empty: the test's own trace file
    bool hideUnusedCerts = false;
    bool lsk = false;
    bool keyboardPIN = false;
    bool pinDialogEnabled = true;
    std::string pacePin{};
    bool savePacePin = true;
    std::string pinentryProgram{};
};

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Starts every test from the default settings, with the card trace in a
// private file and both settings files in a private folder.
class ConfigSCTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedLanguage = kivo::pin::messageLanguage();
        cardSettings().m_settings = ConfigSC::Settings{};
        cardSettings().m_settings.m_traceFile = m_trace.path().string();
        ::setenv(kivo::kMachineSettingsVariable, m_machine.c_str(), 1);
        ::setenv(kivo::kUserSettingsVariable, m_user.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv(kivo::kMachineSettingsVariable);
        ::unsetenv(kivo::kUserSettingsVariable);
        kivo::pin::setMessageLanguage(m_savedLanguage);
    }

    void place(const std::string& path, const FileSetup& setup) {
        std::filesystem::remove_all(path);
        if (setup.kind == Kind::Folder) std::filesystem::create_directories(path);
        if (setup.kind == Kind::File) writeFile(path, setup.text);
    }

    ScopedTraceFile m_trace;
    TempDir m_folder{"kivo-settings"};
    const std::string m_machine = m_folder.file("machine.conf");
    const std::string m_user = m_folder.file("user.conf");

private:
    int m_savedLanguage = 1;
};

struct LoadCase {
    const char* name;
    FileSetup machine;
    FileSetup user;
    Expected expected;
};

const std::string kLongLine = "hideunusedcerts=1" + std::string(kivo::kSettingsLineLimit, ' ');

const LoadCase kLoadCases[] = {
    {"no files: defaults", {}, {}, {}},
    {"unreadable (folders): defaults", {Kind::Folder}, {Kind::Folder}, {}},
    {"every machine value",
     {Kind::File,
      "Language=0\nLogging=3\nBlocksize=128\nLogfile=/dev/null\nhideunusedcerts=1\n"
      "lsk=1\nKeyboardPIN=1\npinDialogEnabled=0\nPinentryProgram=/usr/bin/pinentry-tty\n"},
     {},
     {.language = 0, .traceLevel = 3, .blockSize = 128, .traceFile = "/dev/null",
      .hideUnusedCerts = true, .lsk = true, .keyboardPIN = true, .pinDialogEnabled = false,
      .pinentryProgram = "/usr/bin/pinentry-tty"}},
    {"user values over machine values",
     {Kind::File, "Language=0\nBlocksize=100\nKeyboardPIN=1\n"},
     {Kind::File, "Language=2\nKeyboardPIN=0\n"},
     {.language = 2, .blockSize = 100}},
    {"numbers count with their first byte",
     {Kind::File, "Blocksize=300\nLogging=256\n"},
     {Kind::File, "Language=0x102\npinDialogEnabled=0x100\n"},
     {.language = 2, .traceEnabled = false, .traceLevel = 0, .blockSize = 44,
      .pinDialogEnabled = false}},
    {"PACE values in the machine file are ignored",
     {Kind::File, "PACEPin=111111\nSavePACEPin=0\n"}, {}, {}},
    {"PACE values from the user file",
     {Kind::File, "PACEPin=111111\n"},
     {Kind::File, "PACEPin=123456\nSavePACEPin=0\n"},
     {.pacePin = "123456", .savePacePin = false}},
    {"format: blanks, comments, case, repeats, bad lines",
     {Kind::File,
      "# Language=0\n\n  \t\n  LANGUAGE \t=  0  \r\nlanguage=2\nnoequals\n=1\n"
      "Blocksize=12x\nBlocksize=-1\nBlocksize=0x\nBlocksize=4294967296\n"
      "KeyboardPIN=0x1G\nLsk = 1\n" + kLongLine + "\n"},
     {},
     {.language = 2, .lsk = true}},
};

TEST_F(ConfigSCTest, LoadTakesTheValuesOfBothFiles) {
    for (const LoadCase& c : kLoadCases) {
        SCOPED_TRACE(c.name);
        place(m_machine, c.machine);
        place(m_user, c.user);
        cardSettings().m_settings = ConfigSC::Settings{};
        cardSettings().m_settings.m_traceFile = m_trace.path().string();

        cardSettings().Load(true);

        const ConfigSC::Settings& s = cardSettings().m_settings;
        const Expected& e = c.expected;
        const auto values = [](auto... value) {
            std::ostringstream text;
            ((text << value << "|"), ...);
            return text.str();
        };
        EXPECT_TRUE(s.m_loaded);
        EXPECT_EQ(kivo::pin::messageLanguage(), e.language);
        EXPECT_EQ(values(s.m_language, s.m_traceEnabled, s.m_traceLevel, s.m_blockSize, s.m_traceFile,
                         s.m_hideUnusedCerts, s.m_lsk, s.m_keyboardPIN, s.m_pinDialogEnabled, s.m_pacePin,
                         s.m_savePacePin, s.m_pinentryProgram),
                  values(e.language, e.traceEnabled, e.traceLevel, e.blockSize,
                         e.traceFile.empty() ? m_trace.path().string() : e.traceFile, e.hideUnusedCerts, e.lsk,
                         e.keyboardPIN, e.pinDialogEnabled, e.pacePin, e.savePacePin, e.pinentryProgram));
    }
}

TEST_F(ConfigSCTest, LoadWithoutForceReadsOnce) {
    writeFile(m_user, "Language=2\n");
    cardSettings().Load(false);
    writeFile(m_user, "Language=0\n");
    cardSettings().Load(false);
    EXPECT_EQ(cardSettings().m_settings.m_language, 2);
    cardSettings().Load(true);
    EXPECT_EQ(cardSettings().m_settings.m_language, 0);
    EXPECT_EQ(kivo::pin::messageLanguage(), 0);
}

TEST(SettingsFilePaths, VariablesThenXdgThenHome) {
    const struct {
        const char* machineVariable;
        const char* userVariable;
        const char* xdg;
        const char* home;
        std::string machine;
        std::string user;
    } cases[] = {
        {"/m.conf", "/u.conf", "/x", "/h", "/m.conf", "/u.conf"},
        {"", "", "/x", "/h", "/etc/quendra/minidriver.conf", "/x/quendra/minidriver.conf"},
        {nullptr, nullptr, "relative", "/h", "/etc/quendra/minidriver.conf",
         "/h/.config/quendra/minidriver.conf"},
        {nullptr, nullptr, nullptr, nullptr, "/etc/quendra/minidriver.conf", ""},
    };
    const char* names[] = {kivo::kMachineSettingsVariable, kivo::kUserSettingsVariable,
                           "XDG_CONFIG_HOME", "HOME"};
    std::vector<std::optional<std::string>> saved;
    for (const char* name : names) {
        const char* value = std::getenv(name);
        saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
    }
    const auto set = [](const char* name, const char* value) {
        if (value) ::setenv(name, value, 1); else ::unsetenv(name);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        const char* values[] = {c.machineVariable, c.userVariable, c.xdg, c.home};
        for (int i = 0; i < 4; ++i) set(names[i], values[i]);
        EXPECT_EQ(kivo::machineSettingsPath(), c.machine);
        EXPECT_EQ(kivo::userSettingsPath(), c.user);
    }
    for (int i = 0; i < 4; ++i) set(names[i], saved[i] ? saved[i]->c_str() : nullptr);
}

}  // namespace
