// No PIN, PUK or PIN block of any profile reaches the card trace (at its
// highest level) or the log: VERIFY, CHANGE REFERENCE DATA and RESET RETRY
// COUNTER are driven with distinctive secrets on a scripted reader that
// accepts every command, then the pin-pad structures are sent; the trace
// shows each command's header with its data masked and both structures,
// and no encoding of the secrets appears anywhere.

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
#include "tests/support/card/ProfileTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <regex>

namespace kivo::test {
namespace {

using ProfileMaker = std::function<std::unique_ptr<CSC_Profile_Base>()>;

struct PinFormatCase {
    const char* profile;  // and how it puts a PIN into the command data
    ProfileMaker make;
};

template <class Profile>
ProfileMaker maker() {
    return [] { return std::make_unique<Profile>(); };
}

constexpr char kPin[] = "739164";
constexpr char kNewPin[] = "60281537";  // eight digits: CardOS 4.x asks for at least that many
constexpr char kPuk[] = "58203947";

std::uint32_t lengthOf(const char* secret) { return static_cast<std::uint32_t>(std::string(secret).size()); }

// `bytes` as hex pairs joined by `separator`, in lower or upper case.
std::string joined(const Bytes& bytes, const std::string& separator, bool upper) {
    std::string joinedText;
    char pair[3];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, upper ? "%02X" : "%02x", bytes[i]);
        joinedText += (i == 0 ? "" : separator) + pair;
    }
    return joinedText;
}

// Every form a secret could take in a trace or log line: the text, its
// ASCII bytes, and its digits packed two to a byte as a format-2 block
// carries them, each joined in the ways a dump joins bytes.
std::vector<std::string> encodingsOf(const std::string& secret) {
    const Bytes ascii(secret.begin(), secret.end());
    Bytes packed;
    for (std::size_t i = 0; i + 1 < secret.size(); i += 2) {
        packed.push_back(static_cast<std::uint8_t>((secret[i] - '0') << 4 | (secret[i + 1] - '0')));
    }
    std::vector<std::string> forms = {secret};
    for (const Bytes& bytes : {ascii, packed}) {
        for (const char* separator : {":", " ", ""}) {
            for (const bool upper : {false, true}) forms.push_back(joined(bytes, separator, upper));
        }
    }
    return forms;
}

// The first dump line of a structure sent to the reader.
std::string firstDumpLine(const Bytes& structure) {
    return joined(Bytes(structure.begin(), structure.begin() + std::min<std::size_t>(16, structure.size())), ":",
                  false);
}

class PinTraceTest : public ::testing::TestWithParam<PinFormatCase> {};

TEST_P(PinTraceTest, NoSecretReachesTheTraceOrTheLog) {
    ScriptedPcsc pcsc;
    pcsc.script.cardModel = [](const Bytes&) { return Bytes{0x90, 0x00}; };
    ScopedTraceFile trace(9);
    LogCapture log(log4cxx::Logger::getRootLogger());
    auto profile = GetParam().make();
    ASSERT_EQ(profile->Connect("Reader 0", 0x77), 0u);
    EXPECT_EQ(profile->SCVerify(0x81, text(kPin), lengthOf(kPin)), kivo::card::cOk);
    EXPECT_EQ(profile->SCChangeRef(0x81, text(kPin), lengthOf(kPin), text(kNewPin), lengthOf(kNewPin)),
              kivo::card::cOk);
    EXPECT_EQ(profile->SCUnblockPin(0x81, text(kPuk), lengthOf(kPuk), text(kNewPin), lengthOf(kNewPin)),
              kivo::card::cOk);
    pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, pinpad::pinPadFeatures(false)}};
    ASSERT_TRUE(profile->CheckPinPad());
    pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, {}}, {SCARD_S_SUCCESS, {}}};
    profile->ModifyVerifyStruct();
    profile->ModifyModifyStruct();
    EXPECT_EQ(profile->StartVerifyPinPad(), 0u);
    EXPECT_EQ(profile->StartModifyPinPad(), 0u);

    const std::string traced = trace.contents();
    ASSERT_FALSE(profile->VerifyStruct().empty());
    ASSERT_FALSE(profile->ModifyStruct().empty());
    EXPECT_NE(traced.find(firstDumpLine(profile->VerifyStruct())), std::string::npos) << traced;
    EXPECT_NE(traced.find(firstDumpLine(profile->ModifyStruct())), std::string::npos) << traced;
    for (const char* ins : {"20", "24", "2c"}) {
        // The dump of the command: its header, then the data masked.
        const std::regex masked(std::string("\\[data sent to card\\]:[^\\n]*\\n[^\\n]* : [0-9a-f]{2}:") + ins +
                                ":[0-9a-f]{2}:[0-9a-f]{2}:[0-9a-f]{2}:\\*\\*");
        EXPECT_TRUE(std::regex_search(traced, masked)) << ins << traced;
    }
    std::string logged;
    for (const std::string& message : log.messages()) logged += message + "\n";
    for (const char* secret : {kPin, kNewPin, kPuk}) {
        for (const std::string& form : encodingsOf(secret)) {
            EXPECT_EQ(traced.find(form), std::string::npos) << "'" << form << "' in the trace:\n" << traced;
            EXPECT_EQ(logged.find(form), std::string::npos) << "'" << form << "' in the log:\n" << logged;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, PinTraceTest,
    ::testing::Values(PinFormatCase{"TCOS30_ascii", maker<CSC_Profile_TCOS30>()},
                      PinFormatCase{"TCOS30V2_ascii", maker<CSC_Profile_TCOS30V2>()},
                      PinFormatCase{"TCOS20_ascii", maker<CSC_Profile_TCOS20>()},
                      PinFormatCase{"CardOS44_ascii", maker<CSC_Profile_CardOS44>()},
                      PinFormatCase{"CardOS60_ascii", maker<CSC_Profile_CardOS60>()},
                      PinFormatCase{"SetCos441_ascii", maker<CSC_Profile_SetCos441>()},
                      PinFormatCase{"Micardo21_ascii", maker<CSC_Profile_Micardo21>()},
                      PinFormatCase{"StarCos30_format2", maker<CSC_Profile_StarCos30>()},
                      PinFormatCase{"StarCos37_format2", maker<CSC_Profile_StarCos37>()},
                      PinFormatCase{"SecCos5_format2", maker<CSC_Profile_SecCos5>()},
                      PinFormatCase{"SetCos442_zeropadded", maker<CSC_Profile_SetCos442>()}),
    [](const auto& info) { return std::string(info.param.profile); });

}  // namespace
}  // namespace kivo::test
