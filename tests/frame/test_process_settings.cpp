// The process-wide card switches of CSCUtils.

#include "SCMutils.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/pin/MessageLanguage.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

class CardSettingsTest : public ::testing::Test {
protected:
    void TearDown() override {
        kivo::cardSettings().m_settings = m_saved;
        kivo::pin::setMessageLanguage(m_savedMessageLanguage);
    }
    const ConfigSC& config() const { return kivo::cardSettings(); }

private:
    const ConfigSC::Settings m_saved = kivo::cardSettings().m_settings;
    const int m_savedMessageLanguage = kivo::pin::messageLanguage();
};

TEST_F(CardSettingsTest, LanguageAcceptsOnlyZeroToTwoAndReachesThePinMessages) {
    // {requested, accepted, language afterwards}
    for (const auto& [requested, accepted, language] :
         {std::tuple{2, true, 2}, {3, false, 2}, {-1, false, 2}, {0x7fffffff, false, 2}, {0, true, 0}}) {
        EXPECT_EQ(CSCUtils::SetLanguage(requested), accepted) << requested;
        EXPECT_EQ(std::pair(CSCUtils::GetLanguage(), kivo::pin::messageLanguage()), std::pair(language, language));
    }
}

TEST_F(CardSettingsTest, LogLevelSwitchesTheCardTrace) {
    for (const auto& [level, enabled] : {std::pair{0, false}, {3, true}, {-5, true}}) {
        CSCUtils::SetLogLevel(enabled ? 0 : 1);  // the opposite state first
        EXPECT_TRUE(CSCUtils::InitLogging("/var/tmp/card" + std::to_string(level) + ".log", level));
        EXPECT_EQ(config().m_settings.m_traceFile, "/var/tmp/card" + std::to_string(level) + ".log");
        EXPECT_EQ(std::pair(config().m_settings.m_traceEnabled, CSCUtils::GetLogLevel()), std::pair(enabled, level));
    }
}

TEST_F(CardSettingsTest, PinDialogCallbackNeedsSwitchAndFunction) {
    CSCUtils::SetUsePINDialogCallback(true);
    EXPECT_FALSE(config().UsePinDialogCallback()) << "no function installed";
    CSCUtils::SetPINDialogCallbackFunc([](FPINDialogCallBackParams*) { return true; });
    EXPECT_TRUE(config().UsePinDialogCallback());
    CSCUtils::SetUsePINDialogCallback(false);
    EXPECT_FALSE(config().UsePinDialogCallback());
}

}  // namespace
