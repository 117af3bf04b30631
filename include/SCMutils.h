// CSCUtils: smart-card utilities, and the process-wide switches of the card
// layer (language, card trace, service mode, PIN-dialog callback).
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"
#include "PINDialogCallback.h"

#include <string>

class KIVO_API CSCUtils {
public:
    CSCUtils();
    CSCUtils(const CSCUtils& other);
    CSCUtils& operator=(const CSCUtils& other);
    virtual ~CSCUtils();

    // ---- process-wide switches ----------------------------------------
    // Card-trace file and level; the trace is enabled when level != 0.
    // Does not touch log4cxx. Always returns true.
    static bool InitLogging(std::string path, int level);
    static void SetLogLevel(int level);
    static int GetLogLevel();

    // 0 English, 1 German, 2 Swedish; anything else is refused with false.
    static bool SetLanguage(int language);
    static int GetLanguage();

    // Service mode: no dialogs, no message boxes.
    static void SetIsService(bool isService);
    static bool GetIsService();

    static void SetUsePINDialogCallback(bool use);
    static bool GetUsePINDialogCallback();
    static void SetPINDialogCallbackFunc(PINDialogCallbackFunc callback);
    static PINDialogCallbackFunc GetPINDialogCallbackFunc();

    // Release what the library handed out: OpenSSL memory and certificates.
    static void freeOPENSSL(void* memory);
    static void freeX509(void* certificate);

    // ---- readers ---------------------------------------------------------
    int GetMaxReaders();
    int getNumSlots();

    // Name of the last reader asked for.
    static std::string m_reader;
    static kivo::LoggerPtr m_logger;

    static constexpr int cMaxReaders = 16;

private:
    // The certificate slots and reader selection join when the card
    // operations do; the frame needs only the slot count.
    int m_numSlots;
};
