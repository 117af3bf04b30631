// CSCUtils: the process-wide card switches, the reader utilities and the
// operations on the card in the selected reader.

#include "SCMutils.h"

#include "smartcard/key/ConfigSC.h"
#include "smartcard/pin/MessageLanguage.h"
#include "smartcard/pin/PinSurfaces.h"
#include "smartcard/transport/Reader.h"
#include "src/card/DetectedReader.h"
#include "src/card/TextField.h"
#include "src/frame/Guarded.h"
#include "src/frame/LibraryMain.h"
#include "src/frame/Logging.h"

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using kivo::DetectedReader;
using kivo::guarded;

std::string CSCUtils::m_reader;
const void* CSCUtils::m_module = kivo::libraryModule().base;

namespace {

constexpr int kLanguageCount = 3;   // English, German, Swedish
constexpr int kNumSlots = 6;
constexpr int kNoReader = -1;

ConfigSC::Settings& settings() { return kivo::cardSettings().m_settings; }

// What a leaving record shows of a result.
template <class Result>
const Result& outcome(const Result& result) { return result; }
const char* outcome(x509_st* certificate) { return certificate != nullptr ? "OK" : "NULL"; }

// Runs a member behind the exception barrier, between its entering and
// leaving records at DEBUG; the work has a barrier of its own, so that the
// leaving record shows the failure value when it threw.
template <class Result, class Body>
Result logged(const char* method, Result failure, Body&& body,
              kivo::logging::Caller where = kivo::logging::Caller::current()) {
    return guarded(failure, [&] {
        LOG4CXX_DEBUG(CSCUtils::m_logger, "entering " << method);
        const Result result = guarded(failure, body);
        LOG4CXX_DEBUG(CSCUtils::m_logger, "leaving " << method << ": " << outcome(result));
        return result;
    }, where);
}

// The shared bodies of the members that do nothing.
void doNothing() {}
int answerZero() { return 0; }
bool answerTrue() { return true; }
int loggedZero(const char* method) { return logged(method, 0, answerZero); }
bool loggedTrue(const char* method) { return logged(method, true, answerTrue); }

// Detection on the selected reader; `operation` runs with the detected
// reader of a known card, `failure` is the answer otherwise.
template <class Result, class Operation>
Result onSelectedCard(int reader, Result failure, Operation&& operation) {
    if (reader < 0) return failure;
    DetectedReader detected(reader);
    if (detected.layout() == nullptr) return failure;
    return operation(detected);
}

template <class Entries>
bool isSlotOf(const Entries& entries, int slot) {
    return slot >= 0 && static_cast<std::size_t>(slot) < entries.size();
}

// `operation` runs on the card key of the slot's entry (the slot number in
// decimal selects it), which goes afterwards.
template <class Result, class Operation>
Result onSlotKey(int reader, int slot, Result failure, Operation&& operation) {
    LOG4CXX_DEBUG(CSCUtils::m_logger, "iSlot : " << slot);
    return onSelectedCard(reader, failure, [&](DetectedReader& detected) {
        const std::vector<CSC_Profile::CertEntry*> users = detected.layout()->UserCertificates();
        if (!isSlotOf(users, slot)) return failure;
        const std::unique_ptr<CSCM_Interface> key = detected.takeCardKey(slot, std::to_string(slot));
        // The card key takes an iD or label equal to the text before an
        // index; a slot that would reach another entry so is refused.
        if (key->FindEntry() != users[static_cast<std::size_t>(slot)]) return failure;
        return operation(*key);
    });
}

// A PIN the caller gave (empty for none), held so that it is wiped.
kivo::pin::Secret secretOf(const char* text) {
    std::string value = text != nullptr ? text : "";
    return kivo::pin::takeSecret(value);
}

}  // namespace

CSCUtils::CSCUtils()
    : m_numCerts(0), m_certs{}, m_selectedReader(kNoReader), m_numSlots(kNumSlots), m_word1(0), m_word2(0) {}

CSCUtils::CSCUtils(const CSCUtils& other) = default;
CSCUtils& CSCUtils::operator=(const CSCUtils& other) = default;
CSCUtils::~CSCUtils() = default;

// ---- process-wide switches ---------------------------------------------

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

void CSCUtils::SetPINDialogBoxKind(bool tell) { settings().m_callbackBoxKind = tell; }
bool CSCUtils::GetPINDialogBoxKind() { return settings().m_callbackBoxKind; }

void CSCUtils::freeOPENSSL(void* memory) { OPENSSL_free(memory); }
void CSCUtils::freeX509(void* certificate) { X509_free(static_cast<X509*>(certificate)); }

// ---- readers -------------------------------------------------------------

int CSCUtils::GetNumReaders() {
    return guarded(0, [] { return CReader().GetReaderCount(); });
}

int CSCUtils::GetMaxReaders() { return cMaxReaders; }

std::string CSCUtils::GetReaderName(int reader) {
    return guarded(std::string(CSCM_Interface::cNotConnected), [&] {
        m_reader = kivo::readerNameOrNotConnected(CReader(), reader);
        return m_reader;
    });
}

int CSCUtils::getPINPADSupport(int reader) {
    return guarded(0, [&] {
        kivo::cardSettings().Load(true);
        if (reader < 0 || settings().m_keyboardPIN) return 0;
        return CReader().IsPinPadReader(reader) ? 1 : 0;
    });
}

void CSCUtils::setReader(int reader) { m_selectedReader = reader; }

int CSCUtils::getNumSlots() { return m_numSlots; }

// ---- the card in the selected reader -------------------------------------

int CSCUtils::GetCertIDs() {
    return logged("GetCertIDs", 0, [&] {
        std::memset(m_certs, 0, sizeof m_certs);
        m_numCerts = onSelectedCard(m_selectedReader, 0, [&](DetectedReader& detected) {
            const auto entries = detected.layout()->AllCertificates();
            const int count = std::min(static_cast<int>(entries.size()), cMaxCerts);
            for (int slot = 0; slot < count; ++slot) {
                kivo::copyToField(m_certs[slot].id, std::to_string(slot));
                kivo::copyToField(m_certs[slot].label, entries[static_cast<std::size_t>(slot)]->label);
            }
            return count;
        });
        return m_numCerts;
    });
}

int CSCUtils::GetNumCerts() {
    return logged("GetNumCerts", 0, [&] {
        return onSelectedCard(m_selectedReader, 0, [](DetectedReader& detected) {
            return static_cast<int>(detected.layout()->AllCertificates().size());
        });
    });
}

std::string CSCUtils::GetCertID(int slot) {
    if (slot < 0 || slot >= cMaxCerts) return {};
    return guarded(std::string(), [&] { return std::string(m_certs[slot].id); });
}

x509_st* CSCUtils::GetX509(int slot) {
    return logged("GetX509", static_cast<x509_st*>(nullptr), [&] {
        LOG4CXX_DEBUG(m_logger, "iSlot : " << slot);
        return onSelectedCard(m_selectedReader, static_cast<X509*>(nullptr), [&](DetectedReader& detected) {
            const auto entries = detected.layout()->AllCertificates();
            if (!isSlotOf(entries, slot)) return static_cast<X509*>(nullptr);
            const std::vector<std::uint8_t>& der = entries[static_cast<std::size_t>(slot)]->certificate;
            const unsigned char* next = der.data();
            return d2i_X509(nullptr, &next, static_cast<long>(der.size()));
        });
    });
}

bool CSCUtils::VerifyPIN(int slot, const char* pin) {
    return logged("VerifyPIN", false, [&] {
        const kivo::pin::Secret given = secretOf(pin);
        return onSlotKey(m_selectedReader, slot, false,
                         [&](CSCM_Interface& key) { return key.VerifyPIN(given.text(), 0); });
    });
}

int CSCUtils::ChangePIN(int slot, const char* oldPin, const char* newPin) {
    constexpr int kFailed = static_cast<int>(kivo::card::cFailed);
    return logged("ChangePIN", kFailed, [&] {
        const kivo::pin::Secret current = secretOf(oldPin);
        const kivo::pin::Secret next = secretOf(newPin);
        return onSlotKey(m_selectedReader, slot, kFailed, [&](CSCM_Interface& key) {
            return static_cast<int>(key.ChangePIN(current.text(), next.text()));
        });
    });
}

// ---- members that do nothing ---------------------------------------------

void CSCUtils::setCertID(const char*) { doNothing(); }
void CSCUtils::setMODULE_PATH(const char*) { doNothing(); }
void CSCUtils::setSO_PATH(const char*) { doNothing(); }
void CSCUtils::setSlot(int) { doNothing(); }

int CSCUtils::CheckReader(int) { return answerZero(); }
int CSCUtils::CheckTCOSStausPW() { return answerZero(); }
int CSCUtils::CheckTCOSStausSigPW() { return answerZero(); }

int CSCUtils::SendAPDU(const unsigned char*, unsigned long, unsigned char*, unsigned long*) { return answerZero(); }
int CSCUtils::InitTCOSCard() { return answerZero(); }
int CSCUtils::InitTCOSCardSig() { return answerZero(); }

int CSCUtils::EstablishContext() { return answerZero(); }
int CSCUtils::ExitSCardEngine() { return answerZero(); }
int CSCUtils::InitSCardEngine() { return answerZero(); }
int CSCUtils::ResetCard() { return answerZero(); }
int CSCUtils::GetCardType() { return answerZero(); }
int CSCUtils::DES_retail_mac(const unsigned char*, const unsigned char*, unsigned long, unsigned char*) {
    return answerZero();
}
int CSCUtils::DES_cbc_cksum_3des(const unsigned char*, const unsigned char*, unsigned long, unsigned char*) {
    return answerZero();
}

bool CSCUtils::CheckPermanentLogin() { return answerTrue(); }
bool CSCUtils::PermanentLogin() { return answerTrue(); }

void CSCUtils::InitCerts() { doNothing(); }

int CSCUtils::ConnectCard() { return loggedZero("ConnectCard"); }
int CSCUtils::DisconnectCard() { return loggedZero("DisconnectCard"); }
int CSCUtils::ReleaseContext() { return loggedZero("ReleaseContext"); }

bool CSCUtils::FreeTCOSCardObject() { return loggedTrue("FreeTCOSCardObject"); }
bool CSCUtils::ReadTCOSCardCert() { return loggedTrue("ReadTCOSCardCert"); }
bool CSCUtils::ReadTCOSCardPubkey() { return loggedTrue("ReadTCOSCardPubkey"); }
bool CSCUtils::CheckTCOSIFDPubkey() { return loggedTrue("CheckTCOSIFDPubkey"); }
bool CSCUtils::WriteTCOSIFDPubkey() { return loggedTrue("WriteTCOSIFDPubkey"); }
bool CSCUtils::Tmp() { return loggedTrue("Tmp"); }

bool CSCUtils::GetSessionKeys() {
    return guarded(false, [] {
        LOG4CXX_INFO(m_logger, "entering GetSessionKeys()");
        LOG4CXX_DEBUG(m_logger, "leaving GetSessionKeys()");
        return false;
    });
}
