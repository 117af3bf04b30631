#include "smartcard/key/SCM_Interface.h"

#include "digest/DigestFactory.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/key/StatusThread.h"
#include "smartcard/pin/PinMessages.h"
#include "smartcard/pin/SystemDialogs.h"
#include "smartcard/transport/CardTrace.h"
#include "smartcard/transport/Reader.h"
#include "smartcard/transport/SC_Pcsc.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <cstring>

using kivo::CardTrace;
namespace card = kivo::card;
namespace pin = kivo::pin;

namespace {

constexpr int kCaptionError = 300;
constexpr int kBoxError = 0;
constexpr int kBoxRetryCancel = 5;
constexpr int kAnswerRetry = 2;
// The question after an unclear verification outcome, in every language.
constexpr const char* kRetryQuestion = "Falscher PIN. Neu eingegeb?";

// The digest and card algorithm of a hash code (0 SHA-1 .. 3 SHA-512).
struct HashCode {
    kivo::DigestAlgorithm digest;
    std::uint32_t cardAlgorithm;
};
constexpr std::array<HashCode, 4> kHashCodes = {{
    {kivo::DigestAlgorithm::Sha1, CSC_Profile_Base::cAlgSha1},
    {kivo::DigestAlgorithm::Sha256, CSC_Profile_Base::cAlgSha256},
    {kivo::DigestAlgorithm::Sha384, CSC_Profile_Base::cAlgSha384},
    {kivo::DigestAlgorithm::Sha512, CSC_Profile_Base::cAlgSha512},
}};

// The decimal index a certificate identifier names, -1 for other text.
long indexOf(const std::string& certId) {
    if (certId.empty() || certId.size() > 4 ||
        !std::all_of(certId.begin(), certId.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    return std::stol(certId);
}

// Hands a card result to the caller: into `out` when given, the length
// always. A non-zero `*outLength` on entry is the room `out` has; a result
// that does not fit is not copied (false), the length tells what it needs.
// Zero leaves the room to the caller, who sized `out` for the key.
bool handOver(const CSC_Profile_Base::Bytes& result, std::uint8_t* out, unsigned long* outLength) {
    const unsigned long room = outLength != nullptr ? *outLength : 0;
    const bool fits = room == 0 || result.size() <= room;
    if (out != nullptr && !result.empty() && fits) std::memcpy(out, result.data(), result.size());
    if (outLength != nullptr) *outLength = static_cast<unsigned long>(result.size());
    return out == nullptr || fits;
}

// The first pin-pad instruction of a PIN change: the current PIN alone
// (101) when the reader reports its keys, so that the dialog moves on to
// the new PIN (103) and its repetition (104) as the person confirms each;
// otherwise one instruction for all three entries (102).
int pinPadChangePrompt(const CSC_Profile_Base& card) {
    const CSC_Pcsc* features = card.PinPadFeatures();
    return features != nullptr && features->getKeyPressed() != 0 ? 101 : 102;
}

// Shows a text under the error caption, keeping `card` alive meanwhile;
// the box's answer.
int showError(SCARDHANDLE card, const std::string& text, int kind = kBoxError) {
    return pin::ShowMessageBox(text, pin::message(kCaptionError), kind, card);
}

}  // namespace

CSCM_Interface::CSCM_Interface(std::unique_ptr<card::DetectedCard> detected, int reader, int slot,
                               std::string certId, const void* module)
    : m_detected(std::move(detected)),
      m_layout(m_detected ? m_detected->layout() : nullptr),
      m_card(m_detected ? m_detected->card() : nullptr),
      m_reader(reader),
      m_slot(slot),
      m_certId(std::move(certId)),
      m_module(module) {
    if (m_layout != nullptr && m_card != nullptr) m_card->SetCardProfile(m_layout->CardProfile());
}

CSCM_Interface::~CSCM_Interface() = default;

bool CSCM_Interface::UsesPACE() const {
    return m_layout != nullptr && m_card != nullptr && m_card->GetPaceMode() > 0;
}

bool CSCM_Interface::InitPACE(const std::string& pacePin) {
    if (m_card == nullptr) return false;
    CardTrace::write(CardTrace::cLevelInfo, "Try to Init PACE.\n");
    m_paceReady = m_card->InitPACE(pacePin);
    return m_paceReady;
}

void CSCM_Interface::FreePACE() {
    if (m_card == nullptr) return;
    CardTrace::write(CardTrace::cLevelInfo, "finishig PACE.\n");
    m_card->FreePACE();
}

CSC_Profile::CertEntry* CSCM_Interface::FindEntry() const {
    if (m_layout == nullptr) return nullptr;
    const std::vector<CSC_Profile::CertEntry*> users = m_layout->UserCertificates();
    if (users.empty()) return nullptr;
    if (m_certId.empty()) return users.front();
    for (auto* entry : users) {
        if (!entry->id.empty() && entry->id == m_certId) return entry;
    }
    for (auto* entry : users) {
        if (entry->label == m_certId) return entry;
    }
    const long index = indexOf(m_certId);
    return index >= 0 && static_cast<std::size_t>(index) < users.size() ? users[static_cast<std::size_t>(index)]
                                                                         : nullptr;
}

std::vector<std::vector<std::uint8_t>> CSCM_Interface::Certificates() const {
    std::vector<std::vector<std::uint8_t>> certificates;
    if (m_layout == nullptr) return certificates;
    for (const auto* entry : m_layout->UserCertificates()) certificates.push_back(entry->certificate);
    return certificates;
}

CCertInfoSC::KeyAlgorithm CSCM_Interface::KeyAlgorithm(std::size_t index) const {
    const auto certificates = Certificates();
    if (index >= certificates.size()) return CCertInfoSC::KeyAlgorithm::Unknown;
    return CCertInfoSC(certificates[index]).GetKeyAlgorithm();
}

int CSCM_Interface::SignatureScheme() const {
    const CSC_Profile::CertEntry* entry = FindEntry();
    return entry != nullptr ? static_cast<int>(entry->signatureKind) : 0;
}

std::uint32_t CSCM_Interface::KeyBits(const CSC_Profile::CertEntry& entry) const {
    if (entry.keyBits != 0) return entry.keyBits;
    if (m_layout->RsaKeyLength() > 0) return static_cast<std::uint32_t>(m_layout->RsaKeyLength());
    return m_card->RsaKeyLength();
}

template <class Operation>
CardResult CSCM_Interface::RunKeyOperation(Operation&& operation) {
    CSC_Profile::CertEntry* entry = FindEntry();
    if (entry == nullptr || m_card == nullptr) return card::cFailed;
    m_card->SelectionMayHaveChanged();
    // A single-signature card spends the verification on one operation: the
    // next one asks the holder for the PIN again, through the pin pad or the
    // PIN entry (never by sending a PIN given before), unless no dialog can
    // be shown.
    if (!entry->pinVerified && m_layout->SingleCard() != 0 && !kivo::cardSettings().m_settings.m_isService) {
        VerifyPIN("", 0);
    }
    if (!entry->pinVerified) return card::cFailed;
    CardResult result = m_layout->SelectEntryApplication(*entry)
                            ? m_card->PreSigning(m_layout->CardProfile(), entry->keyPath)
                            : card::cFailed;
    if (result == card::cOk && !m_card->IsSMActive()) result = m_card->InitSM();
    if (result == card::cOk) {
        result = operation(*entry);
        m_card->PostSigning();
    }
    if (m_layout->SingleCard() != 0) {
        CardTrace::write(CardTrace::cLevelInfo, "singleSign Card found. Reseting PIN status.\n");
        entry->pinVerified = false;
    }
    return result;
}

CardResult CSCM_Interface::CardSignData(const std::uint8_t* data, unsigned long length, std::uint8_t* out,
                                        unsigned long* outLength, int hash, bool dataIsDigest, bool) {
    CSC_Profile_Base::Bytes signature;
    CardResult result = card::cFailed;
    if (data != nullptr && length > 0 && length <= UINT32_MAX && hash >= 0 &&
        static_cast<std::size_t>(hash) < kHashCodes.size()) {
        const HashCode& code = kHashCodes[static_cast<std::size_t>(hash)];
        std::vector<std::uint8_t> digest(data, data + length);
        if (!dataIsDigest) {
            auto hasher = kivo::newDigest(code.digest);
            kivo::updateDigest(*hasher, data, length);
            digest.assign(hasher->DigestLength(), 0);
            hasher->Final(digest.data());
        }
        result = RunKeyOperation([&](const CSC_Profile::CertEntry& entry) {
            return m_card->SignData(entry.keyPath, KeyBits(entry), digest.data(),
                                    static_cast<std::uint32_t>(digest.size()), signature,
                                    entry.CardAlgorithm(code.cardAlgorithm), entry.keyReference);
        });
    }
    if (!handOver(signature, out, outLength) && result == card::cOk) result = card::cFailed;
    CardTrace::logResult("CardSignData", result);
    return result;
}

CardResult CSCM_Interface::CardRSADecrypt(const std::uint8_t* in, int inLength, std::uint8_t* out,
                                          unsigned long* outLength) {
    CSC_Profile_Base::Bytes plain;
    CardResult result = card::cFailed;
    if (in != nullptr && inLength > 0) {
        result = RunKeyOperation([&](const CSC_Profile::CertEntry& entry) {
            return m_card->RSADecrypt(entry.keyPath, KeyBits(entry), in,
                                      static_cast<std::uint32_t>(inLength), plain, 0, entry.keyReference);
        });
    }
    if (!handOver(plain, out, outLength) && result == card::cOk) result = card::cFailed;
    OPENSSL_cleanse(plain.data(), plain.size());
    CardTrace::logResult("CardRSADecrypt", result);
    return result;
}

// The card profile's count where the profile keeps one; otherwise the
// warning 63Cx of the answer (x tries left), which cards give whatever
// result code their profile makes of it. Read from the answer the card
// already gave: asking the card again would be one more PIN command.
void CSCM_Interface::NoteRemainingTries() {
    m_remainingTries = m_card->RemainingTries();
    if (m_remainingTries < 0 && m_card->SW1() == 0x63 && (m_card->SW2() & 0xF0) == 0xC0) {
        m_remainingTries = m_card->SW2() & 0x0F;
    }
}

bool CSCM_Interface::PinEntryCancelled() const { return m_card != nullptr && m_card->PinEntryCancelled(); }

bool CSCM_Interface::PinPadReader() {
    return card::readerNameWithoutSlot(m_readerName) != cKeyboardOnlyReader && m_card->CheckPinPad();
}

bool CSCM_Interface::VerifyOnPinPad(bool pinGiven) {
    // A PACE card takes the pin pad once its PACE channel stands; without
    // one it is still a PACE card, and the keyboard asks.
    if (UsesPACE()) return m_paceReady && PinPadReader();
    return !kivo::cardSettings().m_settings.m_keyboardPIN && !pinGiven && PinPadReader();
}

pin::PromptTexts CSCM_Interface::Prompt(const CSC_Profile::CertEntry& entry, int messageId) const {
    const std::string pinName = pin::message(entry.pinName);
    return {m_layout->CardLabel(), pinName, pin::messageWithPinName(messageId, pinName)};
}

bool CSCM_Interface::ShowVerifyOutcome(CardResult result) const {
    switch (result) {
        case card::cAuthMethodBlocked: showError(m_card->Handle(), pin::message(301)); return false;
        case card::cPinWrong:
        case card::cCounterFailed: ShowPinStateOutcome(result); return false;
        case card::cPinPadAborted:
        case card::cAuthFailed:
        case card::cFailed: return showError(m_card->Handle(), kRetryQuestion, kBoxRetryCancel) == kAnswerRetry;
        default: return false;
    }
}

void CSCM_Interface::ShowPinStateOutcome(CardResult result) const {
    if (result == card::cPinWrong) showError(m_card->Handle(), pin::message(302));
    if (result == card::cCounterFailed) showError(m_card->Handle(), pin::message(303));
}

std::string CSCM_Interface::PinPathFor(const CSC_Profile::CertEntry& entry) {
    if (!entry.pinPathIsFolder || m_card->SelectPath(entry.pinPath, false, false, true) != card::cOk) {
        return entry.pinPath;
    }
    return std::string();
}

bool CSCM_Interface::VerifyPIN(const std::string& pin, int) {
    CSC_Profile::CertEntry* entry = FindEntry();
    if (entry != nullptr) entry->pinVerified = false;
    // The PIN path may be relative to the entry's application.
    if (entry == nullptr || m_card == nullptr || !m_layout->SelectEntryApplication(*entry)) {
        CardTrace::logResult("CSCM_Interface::VerifyPIN", card::cFailed);
        return false;
    }
    const bool pinPad = VerifyOnPinPad(!pin.empty());
    const pin::PromptTexts prompt = Prompt(*entry, pinPad ? 100 : 110);
    const bool service = kivo::cardSettings().m_settings.m_isService;
    CardResult result = card::cFailed;
    for (;;) {
        result = m_card->Verify(PinPathFor(*entry), "", true, entry->pinReference, pinPad, pin, prompt);
        NoteRemainingTries();
        if (service || m_card->PinEntryCancelled() || !pin.empty() || !ShowVerifyOutcome(result)) break;
    }
    if (m_card->PinEntryCancelled() && !service) {
        showError(m_card->Handle(), pin::message(pinPad ? 305 : 306));
    }
    entry->pinVerified = result == card::cOk;
    m_lastVerifyResult = result;
    CardTrace::logResult("CSCM_Interface::VerifyPIN", result);
    return entry->pinVerified;
}

CSC_Profile::CertEntry* CSCM_Interface::EntryForPinManagement() const {
    if (m_layout == nullptr || m_card == nullptr || kivo::cardSettings().m_settings.m_isService) return nullptr;
    CSC_Profile::CertEntry* entry = FindEntry();
    // The PIN paths of an application card are relative to the application.
    return entry != nullptr && m_layout->SelectEntryApplication(*entry) ? entry : nullptr;
}

CardResult CSCM_Interface::ChangePIN(const std::string& oldPin, const std::string& newPin) {
    CSC_Profile::CertEntry* entry = EntryForPinManagement();
    CardResult result = card::cFailed;
    if (entry != nullptr) {
        const bool pinPad =
            !kivo::cardSettings().m_settings.m_keyboardPIN && oldPin.empty() && newPin.empty() && PinPadReader();
        // The dialogs take the first instruction; they tell current, new
        // and repeated PIN apart themselves.
        const pin::PromptTexts prompt = Prompt(*entry, pinPad ? pinPadChangePrompt(*m_card) : 106);
        {
            const card::StatusThreadScope keptAlive(m_card->Handle());
            result = m_card->ChangeRef(PinPathFor(*entry), "", entry->pinReference, pinPad, oldPin, newPin, prompt);
            NoteRemainingTries();
        }
        ShowPinStateOutcome(result);
    }
    CardTrace::logResult("CSCM_Interface::ChangePIN", result);
    return result;
}

CardResult CSCM_Interface::UnblockPIN(const std::string& puk, const std::string& newPin) {
    CSC_Profile::CertEntry* entry = EntryForPinManagement();
    CardResult result = card::cFailed;
    if (entry != nullptr) {
        const pin::PromptTexts prompt = Prompt(*entry, 109);
        {
            const card::StatusThreadScope keptAlive(m_card->Handle());
            result = m_card->UnblockRef(PinPathFor(*entry), "", entry->pinReference, puk, newPin, prompt);
            NoteRemainingTries();
        }
        ShowPinStateOutcome(result);
    }
    CardTrace::logResult("CSCM_Interface::UnblockPIN", result);
    return result;
}
