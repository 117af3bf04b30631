#include "smartcard/key/ConfigSC.h"

#include "platform/SettingsFiles.h"
#include "smartcard/pin/MessageLanguage.h"
#include "smartcard/transport/CardTrace.h"

#include <openssl/crypto.h>

#include <optional>

namespace {

using kivo::CardTrace;
using kivo::SettingsFile;

// A number counts with its first byte only: the registry hands out the
// value's data, a DWORD in little-endian order, and the card layer reads
// one byte of it (0 to 255).
std::optional<std::int32_t> firstByte(const SettingsFile& file, const char* name) {
    const std::optional<std::uint32_t> number = file.number(name);
    if (!number) return std::nullopt;
    return static_cast<std::int32_t>(*number & 0xFFu);
}

void readNumber(const SettingsFile& file, const char* name, std::int32_t& value) {
    if (const auto byte = firstByte(file, name)) value = *byte;
}

void readFlag(const SettingsFile& file, const char* name, bool& flag) {
    if (const auto byte = firstByte(file, name)) flag = *byte != 0;
}

void readText(const SettingsFile& file, const char* name, std::string& value) {
    if (const std::string* text = file.text(name)) value = *text;
}

// The PACE PIN is a secret: the value it replaces is wiped first.
void readSecret(const SettingsFile& file, const char* name, std::string& value) {
    const std::string* text = file.text(name);
    if (text == nullptr) return;
    if (!value.empty()) OPENSSL_cleanse(value.data(), value.size());
    value = *text;
}

// The values the machine file and the user file both may hold.
void readCommonValues(const SettingsFile& file, ConfigSC::Settings& settings) {
    readNumber(file, "Language", settings.m_language);
    if (const auto logging = firstByte(file, "Logging")) {
        settings.m_traceEnabled = *logging != 0;
        settings.m_traceLevel = *logging;
    }
    readNumber(file, "Blocksize", settings.m_blockSize);
    readText(file, "Logfile", settings.m_traceFile);
    readFlag(file, "hideunusedcerts", settings.m_hideUnusedCerts);
    readFlag(file, "lsk", settings.m_lsk);
    readFlag(file, "KeyboardPIN", settings.m_keyboardPIN);
    readFlag(file, "pinDialogEnabled", settings.m_pinDialogEnabled);
    readText(file, "PinentryProgram", settings.m_pinentryProgram);
}

// Both records exist from load to unload.
ConfigSC g_cardSettings;
ConfigSC g_defaultCardSettings;

}  // namespace

ConfigSC::ConfigSC() { CardTrace::write(CardTrace::cLevelInfo, "---ConfigSC::ConfigSC() \n"); }

void ConfigSC::Load(bool force) {
    if (m_settings.m_loaded && !force) return;
    readLMConfigSC();
    readCUConfigSC();
    m_settings.m_loaded = true;
    kivo::pin::setMessageLanguage(m_settings.m_language);
}

void ConfigSC::readLMConfigSC() {
    CardTrace::write(CardTrace::cLevelInfo, "---ConfigSC::readLMConfigSC() \n");
    readCommonValues(SettingsFile::read(kivo::machineSettingsPath()), m_settings);
    CardTrace::write(CardTrace::cLevelInfo,
                     "---ConfigSC::readLMConfigSC m_settings.m_pinDialogEnabled: %d \n",
                     m_settings.m_pinDialogEnabled);
}

void ConfigSC::readCUConfigSC() {
    CardTrace::write(CardTrace::cLevelInfo, "---ConfigSC::readCUConfigSC() \n");
    const SettingsFile file = SettingsFile::read(kivo::userSettingsPath());
    readCommonValues(file, m_settings);
    readSecret(file, "PACEPin", m_settings.m_pacePin);
    readFlag(file, "SavePACEPin", m_settings.m_savePacePin);
    CardTrace::write(CardTrace::cLevelInfo,
                     "---ConfigSC::readCUConfigSC m_settings.m_pinDialogEnabled: %d \n",
                     m_settings.m_pinDialogEnabled);
}

namespace kivo {
ConfigSC& cardSettings() { return g_cardSettings; }
ConfigSC& defaultCardSettings() { return g_defaultCardSettings; }
}  // namespace kivo
