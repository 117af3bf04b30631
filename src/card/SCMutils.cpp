// CSCUtils: the process-wide card switches and the reader utilities.

#include "SCMutils.h"

#include "smartcard/key/ConfigSC.h"
#include "smartcard/pin/MessageLanguage.h"

#include <openssl/crypto.h>
#include <openssl/x509.h>


std::string CSCUtils::m_reader;

namespace {
constexpr int kLanguageCount = 3;   // English, German, Swedish
constexpr int kNumSlots = 6;

ConfigSC::Settings& settings() { return kivo::cardSettings().m_settings; }
}  // namespace

CSCUtils::CSCUtils() : m_numSlots(kNumSlots) {}

CSCUtils::CSCUtils(const CSCUtils& other) = default;
CSCUtils& CSCUtils::operator=(const CSCUtils& other) = default;
CSCUtils::~CSCUtils() = default;

bool CSCUtils::InitLogging(std::string path, int level) {
    settings().m_traceFile = std::move(path);
    SetLogLevel(level);
    return true;
}

void CSCUtils::SetLogLevel(int level) {
    settings().m_traceLevel = level;
    settings().m_traceEnabled = level != 0;
}

int CSCUtils::GetLogLevel() { return settings().m_traceLevel; }

bool CSCUtils::SetLanguage(int language) {
    if (static_cast<unsigned>(language) >= kLanguageCount) return false;
    settings().m_language = language;
    kivo::pin::setMessageLanguage(language);
    return true;
}

int CSCUtils::GetLanguage() { return settings().m_language; }

void CSCUtils::SetIsService(bool isService) { settings().m_isService = isService; }
bool CSCUtils::GetIsService() { return settings().m_isService; }

void CSCUtils::SetUsePINDialogCallback(bool use) { settings().m_usePinDialogCallback = use; }
bool CSCUtils::GetUsePINDialogCallback() { return settings().m_usePinDialogCallback; }

void CSCUtils::SetPINDialogCallbackFunc(PINDialogCallbackFunc callback) {
    settings().m_pinDialogCallback = callback;
}
PINDialogCallbackFunc CSCUtils::GetPINDialogCallbackFunc() {
    return settings().m_pinDialogCallback;
}

void CSCUtils::freeOPENSSL(void* memory) { OPENSSL_free(memory); }
void CSCUtils::freeX509(void* certificate) { X509_free(static_cast<X509*>(certificate)); }

int CSCUtils::GetMaxReaders() { return cMaxReaders; }
int CSCUtils::getNumSlots() { return m_numSlots; }
