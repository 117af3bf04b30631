// ConfigSC: the process-wide smart-card settings (language, card trace,
// block size, PIN-dialog behaviour, PACE PIN).
#pragma once

#include "PINDialogCallback.h"

#include <cstdint>
#include <string>

class ConfigSC {
public:
    struct Settings {
        std::int32_t m_language = 1;          // 0 English, 1 German, 2 Swedish
        bool m_traceEnabled = true;
        std::int32_t m_traceLevel = 9;
        std::int32_t m_blockSize = 240;
        std::string m_traceFile = "/tmp/kv.log";
        bool m_hideUnusedCerts = false;
        bool m_lsk = false;
        bool m_keyboardPIN = false;
        bool m_pinDialogEnabled = true;
        bool m_isService = false;
        bool m_loaded = false;
        bool m_usePinDialogCallback = false;
        PINDialogCallbackFunc m_pinDialogCallback = nullptr;
        // Message boxes through the callback carry their kind in reserved1
        // (CSCUtils::SetPINDialogBoxKind); off: reserved1 stays 0.
        bool m_callbackBoxKind = false;
        std::string m_pacePin;
        bool m_savePacePin = true;
        // The pinentry program for PIN windows ("PinentryProgram"); empty:
        // the first installed one, on a desktop only.
        std::string m_pinentryProgram;
    };

    // The defaults above; traces "---ConfigSC::ConfigSC() ".
    ConfigSC();

    // Reads the settings files once: the machine values, then the user
    // values over them (the PACE PIN and its save switch come only from the
    // user file); values the files do not name keep their current value.
    // Without `force` a record that is already loaded is left as it is.
    // Afterwards the language is the language of the PIN-dialog messages.
    void Load(bool force);

    // True when the callback switch is on and a callback is installed.
    bool UsePinDialogCallback() const {
        return m_settings.m_usePinDialogCallback && m_settings.m_pinDialogCallback != nullptr;
    }

    Settings m_settings;

private:
    void readLMConfigSC();
    void readCUConfigSC();
};

namespace kivo {
// The settings every card operation consults.
ConfigSC& cardSettings();
// A second record with the defaults, never loaded from the settings files;
// card detection reads and sets a few of its flags.
ConfigSC& defaultCardSettings();
}  // namespace kivo
