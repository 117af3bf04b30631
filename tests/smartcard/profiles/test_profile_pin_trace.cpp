// No PIN, PUK or PIN block of any profile reaches the card trace (at its
// highest level) or the log: VERIFY, CHANGE REFERENCE DATA and RESET RETRY
// COUNTER are driven with distinctive secrets on a scripted reader that
// accepts every command, then the pin-pad verify and modify structures are
// sent; the trace must show each command's header with its data masked and
// both structures, while no encoding of the secrets appears anywhere.

#include "smartcard/profiles/SC_Profile_CardOS44.h"
#include "smartcard/profiles/SC_Profile_CardOS60.h"
#include "smartcard/profiles/SC_Profile_Micardo21.h"
#include "smartcard/profiles/SC_Profile_SecCos5.h"
#include "smartcard/profiles/SC_Profile_SetCos442.h"
#include "smartcard/profiles/SC_Profile_StarCos37.h"
#include "smartcard/profiles/SC_Profile_TCOS20.h"
#include "smartcard/profiles/SC_Profile_TCOS30V2.h"
#include "tests/support/LogCapture.h"
#include "tests/support/card/PcscScript.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kivo::test::Bytes;
using kivo::test::ScriptedPcsc;
using kivo::test::ScopedTraceFile;

using ProfileMaker = std::function<std::unique_ptr<CSC_Profile_Base>()>;

// How the profile puts a PIN into the command data.
struct PinFormatCase {
    const char* profile;
    const char* format;
    ProfileMaker make;
};

void PrintTo(const PinFormatCase& c, std::ostream* out) { *out << c.profile << " (" << c.format << ")"; }

template <class Profile>
ProfileMaker maker() {
    return [] { return std::make_unique<Profile>(); };
}

constexpr char kPin[] = "739164";
constexpr char kNewPin[] = "60281537";  // eight digits: CardOS 4.x asks for at least that many
constexpr char kPuk[] = "58203947";

const std::uint8_t* bytesOf(const char* text) { return reinterpret_cast<const std::uint8_t*>(text); }
std::uint32_t lengthOf(const char* text) { return static_cast<std::uint32_t>(std::string(text).size()); }

// `bytes` as hex pairs joined by `separator`, in lower or upper case.
std::string joined(const Bytes& bytes, const std::string& separator, bool upper) {
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, upper ? "%02X" : "%02x", bytes[i]);
        text += (i == 0 ? "" : separator) + pair;
    }
    return text;
}

// Every form a secret could take in a trace or log line: the text, its
// ASCII bytes (also as in a zero-padded block), and its digits packed two
// to a byte as a format-2 block carries them.
std::vector<std::string> encodingsOf(const std::string& secret) {
    const Bytes ascii(secret.begin(), secret.end());
    Bytes packed;
    for (std::size_t i = 0; i + 1 < secret.size(); i += 2) {
        packed.push_back(static_cast<std::uint8_t>((secret[i] - '0') << 4 | (secret[i + 1] - '0')));
    }
    std::vector<std::string> forms = {secret};
    for (const Bytes& bytes : {ascii, packed}) {
        for (const char* separator : {":", " ", ""}) {
            forms.push_back(joined(bytes, separator, false));
            forms.push_back(joined(bytes, separator, true));
        }
    }
    return forms;
}

// The first lines of the command dumps: "... : CLA:INS:P1:...".
std::vector<std::string> sentCommandLines(const std::string& trace) {
    std::vector<std::string> lines;
    std::istringstream in(trace);
    bool next = false;
    for (std::string line; std::getline(in, line);) {
        if (next) lines.push_back(line.substr(line.rfind(" : ") + 3));
        next = line.find("[data sent to card]:") != std::string::npos;
    }
    return lines;
}

// Whether a dumped command has the instruction byte and masked data.
bool hasMaskedCommand(const std::vector<std::string>& commands, const std::string& ins) {
    for (const std::string& command : commands) {
        if (command.size() > 6 && command.substr(3, 2) == ins && command.find("**") != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The first dump line of a structure sent to the reader.
std::string firstDumpLine(const Bytes& structure) {
    return joined(Bytes(structure.begin(), structure.begin() + std::min<std::size_t>(16, structure.size())),
                  ":", false);
}

class PinTraceTest : public ::testing::TestWithParam<PinFormatCase> {
protected:
    void SetUp() override {
        pcsc.script.cardModel = [](const Bytes&) { return Bytes{0x90, 0x00}; };
    }
    // Sends the verify and modify structures to a pin-pad reader after the
    // profile has handled the secrets from the keyboard.
    void startPinPad(CSC_Profile_Base& profile) {
        pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, kivo::test::pinpad::pinPadFeatures(false)}};
        ASSERT_TRUE(profile.CheckPinPad());
        pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, {}}, {SCARD_S_SUCCESS, {}}};
        profile.ModifyVerifyStruct();
        profile.ModifyModifyStruct();
        EXPECT_EQ(profile.StartVerifyPinPad(), 0u);
        EXPECT_EQ(profile.StartModifyPinPad(), 0u);
    }
    ScriptedPcsc pcsc;
};

TEST_P(PinTraceTest, NoSecretReachesTheTraceOrTheLog) {
    ScopedTraceFile trace(9);
    kivo::test::LogCapture log(log4cxx::Logger::getRootLogger());
    auto profile = GetParam().make();
    ASSERT_EQ(profile->Connect("Reader 0", 0x77), 0u);

    EXPECT_EQ(profile->SCVerify(0x81, bytesOf(kPin), lengthOf(kPin)), kivo::card::cOk);
    EXPECT_EQ(profile->SCChangeRef(0x81, bytesOf(kPin), lengthOf(kPin), bytesOf(kNewPin),
                                   lengthOf(kNewPin)),
              kivo::card::cOk);
    EXPECT_EQ(profile->SCUnblockPin(0x81, bytesOf(kPuk), lengthOf(kPuk), bytesOf(kNewPin),
                                    lengthOf(kNewPin)),
              kivo::card::cOk);
    ASSERT_NO_FATAL_FAILURE(startPinPad(*profile));

    const std::string text = trace.contents();
    ASSERT_FALSE(profile->VerifyStruct().empty());
    ASSERT_FALSE(profile->ModifyStruct().empty());
    EXPECT_NE(text.find(firstDumpLine(profile->VerifyStruct())), std::string::npos) << text;
    EXPECT_NE(text.find(firstDumpLine(profile->ModifyStruct())), std::string::npos) << text;
    const auto commands = sentCommandLines(text);
    EXPECT_TRUE(hasMaskedCommand(commands, "20")) << text;
    EXPECT_TRUE(hasMaskedCommand(commands, "24")) << text;
    EXPECT_TRUE(hasMaskedCommand(commands, "2c")) << text;

    std::string logText;
    for (const std::string& message : log.messages()) logText += message + "\n";
    for (const char* secret : {kPin, kNewPin, kPuk}) {
        for (const std::string& form : encodingsOf(secret)) {
            EXPECT_EQ(text.find(form), std::string::npos) << "'" << form << "' in the trace:\n" << text;
            EXPECT_EQ(logText.find(form), std::string::npos) << "'" << form << "' in the log:\n" << logText;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, PinTraceTest,
    ::testing::Values(PinFormatCase{"TCOS30", "ascii", maker<CSC_Profile_TCOS30>()},
                      PinFormatCase{"TCOS30V2", "ascii", maker<CSC_Profile_TCOS30V2>()},
                      PinFormatCase{"TCOS20", "ascii", maker<CSC_Profile_TCOS20>()},
                      PinFormatCase{"CardOS44", "ascii", maker<CSC_Profile_CardOS44>()},
                      PinFormatCase{"CardOS60", "ascii", maker<CSC_Profile_CardOS60>()},
                      PinFormatCase{"SetCos441", "ascii", maker<CSC_Profile_SetCos441>()},
                      PinFormatCase{"Micardo21", "ascii", maker<CSC_Profile_Micardo21>()},
                      PinFormatCase{"StarCos30", "format2", maker<CSC_Profile_StarCos30>()},
                      PinFormatCase{"StarCos37", "format2", maker<CSC_Profile_StarCos37>()},
                      PinFormatCase{"SecCos5", "format2", maker<CSC_Profile_SecCos5>()},
                      PinFormatCase{"SetCos442", "zeropadded", maker<CSC_Profile_SetCos442>()}),
    [](const auto& info) { return std::string(info.param.profile) + "_" + info.param.format; });

}  // namespace
