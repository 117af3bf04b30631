// The process-wide card switches of CSCUtils.

#include "SCMutils.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/pin/MessageLanguage.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

// Restores the card settings a test changes.
class CardSettingsTest : public ::testing::Test {
protected:
    void TearDown() override {
        kivo::cardSettings().m_settings = m_saved;
        kivo::pin::setMessageLanguage(m_savedMessageLanguage);
    }
    const ConfigSC::Settings& settings() const { return kivo::cardSettings().m_settings; }

private:
    const ConfigSC::Settings m_saved = kivo::cardSettings().m_settings;
    const int m_savedMessageLanguage = kivo::pin::messageLanguage();
};

TEST_F(CardSettingsTest, LanguageAcceptsOnlyZeroToTwoAndReachesThePinMessages) {
    // {requested, accepted, language afterwards}
    const std::tuple<int, bool, int> steps[] = {{2, true, 2}, {3, false, 2}, {-1, false, 2}, {0x7fffffff, false, 2}, {0, true, 0}};
    for (const auto& [requested, accepted, language] : steps) {
        EXPECT_EQ(CSCUtils::SetLanguage(requested), accepted) << requested;
        EXPECT_EQ(std::pair(CSCUtils::GetLanguage(), kivo::pin::messageLanguage()), std::pair(language, language));
    }
}

TEST_F(CardSettingsTest, LogLevelSwitchesTheCardTrace) {
    for (const auto& [level, enabled] : {std::pair{0, false}, {3, true}, {-5, true}}) {
        CSCUtils::SetLogLevel(enabled ? 0 : 1);  // the opposite state first
        const std::string file = "/var/tmp/card" + std::to_string(level) + ".log";
        EXPECT_TRUE(CSCUtils::InitLogging(file, level));
        EXPECT_EQ(settings().m_traceFile, file);
        EXPECT_EQ(settings().m_traceEnabled, enabled) << level;
        EXPECT_EQ(CSCUtils::GetLogLevel(), level);
    }
}

TEST_F(CardSettingsTest, PinDialogCallbackNeedsSwitchAndFunction) {
    CSCUtils::SetUsePINDialogCallback(true);
    EXPECT_FALSE(kivo::cardSettings().UsePinDialogCallback()) << "no function installed";
    CSCUtils::SetPINDialogCallbackFunc([](FPINDialogCallBackParams*) { return true; });
    EXPECT_TRUE(kivo::cardSettings().UsePinDialogCallback());
    CSCUtils::SetUsePINDialogCallback(false);
    EXPECT_FALSE(kivo::cardSettings().UsePinDialogCallback());
}

}  // namespace
