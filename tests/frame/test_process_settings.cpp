// Process-wide settings, the card switches of CSCUtils, the applink table
// and the small fixed members of the frame's classes.

#include "CertInfoSSL.h"
#include "CrlSSL.h"
#include "OpensslApplink.h"
#include "SCMutils.h"
#include "SignMessageSSLM.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/pin/MessageLanguage.h"
#include "src/frame/Base64Alphabet.h"
#include "src/frame/LibraryMain.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <thread>
#include <vector>

namespace {

// Restores the card settings a test changes.
class CardSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_saved = kivo::cardSettings().m_settings;
        m_savedMessageLanguage = kivo::pin::messageLanguage();
    }
    void TearDown() override {
        kivo::cardSettings().m_settings = m_saved;
        kivo::pin::setMessageLanguage(m_savedMessageLanguage);
    }

private:
    ConfigSC::Settings m_saved;
    int m_savedMessageLanguage = 1;
};

bool acceptAnyPin(FPINDialogCallBackParams*) { return true; }

}  // namespace

TEST(ProcessSettings, StartValues) {
    EXPECT_EQ(CSignMessage::m_cadesLevel, 0);
    EXPECT_TRUE(CSignMessage::m_tsURL.empty());
    EXPECT_FALSE(CSignMessage::m_isP12);
    EXPECT_EQ(CCertInfo::m_storePath, "unset");
    EXPECT_TRUE(CCrlSSL::proxy_url.empty());
    EXPECT_TRUE(CCrlSSL::proxy_user.empty());
    EXPECT_TRUE(CCrlSSL::proxy_password.empty());
    EXPECT_TRUE(CCrlSSL::proxy_useragent.empty());
    EXPECT_TRUE(CSCUtils::m_reader.empty());
    EXPECT_EQ(kivo::kBase64Alphabet.size(), 64u);
    EXPECT_EQ(kivo::kBase64Alphabet.substr(60), "89+/");
}

TEST_F(CardSettingsTest, LanguageAcceptsOnlyZeroToTwo) {
    ASSERT_TRUE(CSCUtils::SetLanguage(2));
    EXPECT_EQ(CSCUtils::GetLanguage(), 2);
    EXPECT_EQ(kivo::pin::messageLanguage(), 2);

    EXPECT_FALSE(CSCUtils::SetLanguage(3));
    EXPECT_FALSE(CSCUtils::SetLanguage(-1));
    EXPECT_FALSE(CSCUtils::SetLanguage(0x7fffffff));
    EXPECT_EQ(CSCUtils::GetLanguage(), 2);
    EXPECT_EQ(kivo::pin::messageLanguage(), 2);

    EXPECT_TRUE(CSCUtils::SetLanguage(0));
    EXPECT_EQ(CSCUtils::GetLanguage(), 0);
    EXPECT_EQ(kivo::pin::messageLanguage(), 0);
}

TEST_F(CardSettingsTest, LogLevelSwitchesTheCardTrace) {
    const ConfigSC::Settings& settings = kivo::cardSettings().m_settings;
    CSCUtils::SetLogLevel(0);
    EXPECT_FALSE(settings.m_traceEnabled);
    EXPECT_EQ(CSCUtils::GetLogLevel(), 0);
    CSCUtils::SetLogLevel(3);
    EXPECT_TRUE(settings.m_traceEnabled);
    EXPECT_EQ(CSCUtils::GetLogLevel(), 3);
    CSCUtils::SetLogLevel(-5);
    EXPECT_TRUE(settings.m_traceEnabled);

    EXPECT_TRUE(CSCUtils::InitLogging("/var/tmp/card.log", 0));
    EXPECT_EQ(settings.m_traceFile, "/var/tmp/card.log");
    EXPECT_FALSE(settings.m_traceEnabled);
    EXPECT_TRUE(CSCUtils::InitLogging("/var/tmp/other.log", 7));
    EXPECT_TRUE(settings.m_traceEnabled);
    EXPECT_EQ(CSCUtils::GetLogLevel(), 7);
}

TEST_F(CardSettingsTest, ServiceModeAndPinDialogCallback) {
    CSCUtils::SetIsService(true);
    EXPECT_TRUE(CSCUtils::GetIsService());
    CSCUtils::SetIsService(false);
    EXPECT_FALSE(CSCUtils::GetIsService());

    const ConfigSC& config = kivo::cardSettings();
    CSCUtils::SetUsePINDialogCallback(true);
    EXPECT_TRUE(CSCUtils::GetUsePINDialogCallback());
    EXPECT_FALSE(config.UsePinDialogCallback()) << "switch on, but no function installed";
    CSCUtils::SetPINDialogCallbackFunc(acceptAnyPin);
    EXPECT_EQ(CSCUtils::GetPINDialogCallbackFunc(), &acceptAnyPin);
    EXPECT_TRUE(config.UsePinDialogCallback());
    CSCUtils::SetUsePINDialogCallback(false);
    EXPECT_FALSE(config.UsePinDialogCallback());
}

TEST(ProcessSettings, ReaderConstants) {
    CSCUtils utils;
    EXPECT_EQ(utils.GetMaxReaders(), 16);
    EXPECT_EQ(utils.getNumSlots(), 6);
    CSCUtils copy(utils);
    EXPECT_EQ(copy.getNumSlots(), 6);
}

TEST(ProcessSettings, InitSSLAlwaysSucceeds) {
    EXPECT_EQ(CSignMessage::InitSSL(), 0);
    CSignMessage::m_isP12 = true;
    EXPECT_EQ(CSignMessage::InitSSL(), 0);
    CSignMessage::m_isP12 = false;
    // OpenSSL is usable afterwards.
    EXPECT_NE(EVP_get_digestbyname("sha256"), nullptr);
}

TEST(ProcessSettings, ModuleOfTheLibraryIsKnown) {
    const kivo::ModuleInfo& module = kivo::libraryModule();
    EXPECT_NE(module.base, nullptr);
    EXPECT_FALSE(module.path.empty());
}

// ---- applink ---------------------------------------------------------------

TEST(Applink, TableHasTwentyTwoEntriesFilledOnce) {
    void** table = OPENSSL_Applink();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(table[0]), 22u);
    for (int i = 1; i <= 22; ++i) EXPECT_NE(table[i], nullptr) << "entry " << i;
    void* first = table[1];
    EXPECT_EQ(OPENSSL_Applink(), table);
    EXPECT_EQ(table[1], first);
}

TEST(Applink, EntriesReachTheCRuntime) {
    void** table = OPENSSL_Applink();
    auto getStdout = reinterpret_cast<FILE* (*)()>(table[2]);
    auto getStderr = reinterpret_cast<FILE* (*)()>(table[3]);
    auto fileNumber = reinterpret_cast<int (*)(FILE*)>(table[17]);
    auto setMode = reinterpret_cast<int (*)(FILE*, char)>(table[8]);
    EXPECT_EQ(getStdout(), stdout);
    EXPECT_EQ(getStderr(), stderr);
    EXPECT_EQ(fileNumber(stderr), 2);
    EXPECT_EQ(setMode(stdout, 'b'), 0);

    auto openFile = reinterpret_cast<FILE* (*)(const char*, const char*)>(table[11]);
    auto closeFile = reinterpret_cast<int (*)(FILE*)>(table[10]);
    FILE* file = openFile("/dev/null", "rb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(closeFile(file), 0);
}

TEST(Applink, ConcurrentFirstCallsSeeOneTable) {
    std::vector<void**> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = OPENSSL_Applink(); });
    for (auto& thread : threads) thread.join();
    for (void** table : seen) EXPECT_EQ(table, seen[0]);
}
