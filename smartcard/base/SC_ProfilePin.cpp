// PIN verification, change and unblock: the command primitives with their
// status mapping, and the operations that take the PINs from the caller, a
// dialog, or the reader's pin pad.
#include "smartcard/base/SC_Profile_Base.h"
#include "smartcard/base/CardNumbers.h"
#include "smartcard/base/StatusWords.h"

#include "smartcard/transport/CardTrace.h"
#include "smartcard/key/ConfigSC.h"

#include <openssl/crypto.h>

#include <chrono>
#include <optional>

using kivo::CardTrace;
using kivo::pin::PinPadProgress;
using kivo::pin::PromptTexts;
using kivo::pin::Secret;
using kivo::pin::SecretKind;
namespace card = kivo::card;

namespace {

constexpr std::uint8_t kKeyOk = 0x0D;
constexpr std::uint8_t kKeyCancel = 0x1B;
constexpr std::uint8_t kKeyTimeout = 0x40;
constexpr std::size_t kVerifyStructReference = 22;
constexpr std::size_t kModifyStructReference = 27;
constexpr int kModifyPrompts = 3;
// The reader ends an entry after its own time-out (at most 255 s); a
// reader that keeps answering "no key" past this is given up on.
constexpr auto kKeyLoopLimit = std::chrono::seconds(300);

const std::uint8_t* bytesOf(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}
std::uint32_t lengthOf(const std::string& text) { return static_cast<std::uint32_t>(text.size()); }

bool runningAsService() { return kivo::cardSettings().m_settings.m_isService; }

// Asks through the dialogs. In service mode nobody can answer: nothing is
// asked and nothing counts as cancelled by the user.
std::optional<Secret> askUnlessService(SecretKind kind, const PromptTexts& prompts, bool& cancelled) {
    if (runningAsService()) return std::nullopt;
    std::optional<Secret> secret = kivo::pin::askSecret(kind, prompts);
    if (!secret) cancelled = true;
    return secret;
}

// Asks for a new PIN twice; nothing when cancelled or when the two differ.
std::optional<Secret> askNewPinTwice(const PromptTexts& prompts, bool& cancelled) {
    std::optional<Secret> first = askUnlessService(SecretKind::NewPin, prompts, cancelled);
    if (!first) return std::nullopt;
    std::optional<Secret> again = askUnlessService(SecretKind::NewPinAgain, prompts, cancelled);
    if (!again || first->text() != again->text()) return std::nullopt;
    return first;
}

}  // namespace

// --- status mapping and primitives -------------------------------------------------

CSC_Profile_Base::PinData::~PinData() { OPENSSL_cleanse(m_bytes.data(), m_bytes.size()); }

void CSC_Profile_Base::PinData::append(const std::uint8_t* bytes, std::uint32_t length) {
    if (bytes != nullptr && length != 0) m_bytes.insert(m_bytes.end(), bytes, bytes + length);
}

CardResult CSC_Profile_Base::returnResult() {
    CardTrace::write(CardTrace::cLevelInfo, "<--entering CSC_Profile_Base::returnResult\n");
    m_remainingTries = -1;
    const CardResult result = card::sw::mapStatus(card::sw::kPinCommandResults, StatusWord());
    CardTrace::logResult("CSC_Profile_Base::returnResult", result);
    return result;
}

CardResult CSC_Profile_Base::SendPinCommand(std::uint8_t ins, std::uint8_t p1,
                                            std::uint8_t reference, const Bytes& data) {
    if (!SetCommandWithoutAnswer(ins, p1, reference, data) || !SendToCard()) return card::cFailed;
    return returnResult();
}

bool CSC_Profile_Base::NewPinLengthAllowed(std::uint32_t length) {
    InitPinLengths();
    return length >= m_pinMinLength && length <= m_pinMaxLength;
}

CardResult CSC_Profile_Base::SCVerify(std::uint8_t reference, const std::uint8_t* pin,
                                      std::uint32_t length) {
    // No PIN: the bare VERIFY, which asks the card for the tries left.
    if (pin == nullptr && length != 0) return card::cFailed;
    PinData data;
    data.append(pin, length);
    return SendPinCommand(cInsVerify, 0x00, reference, data.bytes());
}

CardResult CSC_Profile_Base::SCChangeRef(std::uint8_t reference, const std::uint8_t* oldPin,
                                         std::uint32_t oldLength, const std::uint8_t* newPin,
                                         std::uint32_t newLength) {
    if (oldPin == nullptr || newPin == nullptr || !NewPinLengthAllowed(newLength)) {
        return card::cFailed;
    }
    PinData data;
    data.append(oldPin, oldLength);
    data.append(newPin, newLength);
    return SendPinCommand(cInsChangeReference, 0x00, reference, data.bytes());
}

CardResult CSC_Profile_Base::SCUnblockPin(std::uint8_t reference, const std::uint8_t* puk,
                                          std::uint32_t pukLength, const std::uint8_t* newPin,
                                          std::uint32_t newLength) {
    CardResult result = card::cFailed;
    if (puk != nullptr && newPin != nullptr && NewPinLengthAllowed(newLength)) {
        PinData data;
        data.append(puk, pukLength);
        data.append(newPin, newLength);
        result = SendPinCommand(cInsResetRetryCounter, 0x00, reference, data.bytes());
    }
    CardTrace::logResult("CSC_Profile_Base::SCUnblockPin", result);
    return result;
}

CardResult CSC_Profile_Base::SCUnblockPin2(std::uint8_t reference, const std::uint8_t* puk,
                                           std::uint32_t pukLength) {
    CardResult result = card::cFailed;
    if (puk != nullptr && pukLength != 0) {
        // The PUK followed by as many zero bytes as it is long.
        PinData data;
        data.append(puk, pukLength);
        data.appendZeros(pukLength);
        result = SendPinCommand(cInsResetRetryCounter, 0x00, reference, data.bytes());
    }
    CardTrace::logResult("CSC_Profile_Base::SCUnblockPin2", result);
    return result;
}

// --- Verify -------------------------------------------------------------------------------

CardResult CSC_Profile_Base::SelectForPinOperation(const std::string& path,
                                                   const std::string& altPath) {
    CardResult result = SelectPath(path);
    if (result != card::cOk) result = SelectPath(altPath);
    return result;
}

void CSC_Profile_Base::SetPinPadReference(std::uint8_t reference) {
    if (m_verifyStruct.size() > kVerifyStructReference) m_verifyStruct[kVerifyStructReference] = reference;
    if (m_modifyStruct.size() > kModifyStructReference) m_modifyStruct[kModifyStructReference] = reference;
}

PromptTexts CSC_Profile_Base::OnThisCard(const PromptTexts& prompts) const {
    PromptTexts onCard = prompts;
    onCard.card = Handle();
    onCard.readerName = ReaderSystemName();
    return onCard;
}

CardResult CSC_Profile_Base::Verify(const std::string& path, const std::string& altPath,
                                    bool selectFirst, std::uint8_t reference, bool usePinPad,
                                    const std::string& pin, const PromptTexts& givenPrompts) {
    const PromptTexts prompts = OnThisCard(givenPrompts);
    m_pinEntryCancelled = false;
    InitPinLengths();
    if (selectFirst || m_cardType == card::type::cStarCos37Dgn) {
        const CardResult selected = SelectForPinOperation(path, altPath);
        if (selected != card::cOk) {
            CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile_Base::Verify\n");
            return selected;
        }
    }
    const CardResult keySelected = SelectKeyAndAlgorithm(reference, 0);
    if (keySelected != card::cOk) {
        CardTrace::write(CardTrace::cLevelInfo,
                         "--leaving CSC_Profile_Base::Verify->SelectKeyAndAlgorithm\n");
        return keySelected;
    }
    const CardResult result = usePinPad ? VerifyWithPinPad(reference, prompts)
                                        : VerifyWithKeyboard(reference, pin, prompts);
    CardTrace::logResult("CSC_Profile_Base::Verify", result);
    return result;
}

CardResult CSC_Profile_Base::VerifyWithKeyboard(std::uint8_t reference, const std::string& pin,
                                                const PromptTexts& prompts) {
    CardTrace::write(CardTrace::cLevelDetail, "---CSC_Profile_Base::Verify -> use keyboard\n");
    if (!pin.empty()) return SCVerify(reference, bytesOf(pin), lengthOf(pin));
    if (runningAsService()) return card::cFailed;

    const bool callback = kivo::cardSettings().UsePinDialogCallback();
    CardTrace::write(CardTrace::cLevelDetail,
                     callback ? "---CSC_Profile_Base::Verify -> new CPIN_Window_Dialog_Callback \n"
                              : "---CSC_Profile_Base::Verify -> new CPIN_Window_Dialog \n");
    CardTrace::write(CardTrace::cLevelDetail, "---CSC_Profile_Base::Verify -> show Window Dialog \n");
    std::optional<Secret> entered = kivo::pin::askSecret(SecretKind::Pin, prompts);
    if (!entered || RepeatsRejectedPin(reference, *entered)) {
        m_pinEntryCancelled = true;
        return card::cFailed;
    }
    const CardResult result = SCVerify(reference, bytesOf(entered->text()), lengthOf(entered->text()));
    NoteVerifyOutcome(reference, result, std::move(*entered));
    return result;
}

// A host that fills the PIN dialog from a cache would hand the card the same
// wrong PIN at every retry until the card blocks it: a PIN the card has just
// rejected for this reference is not sent again, its repetition counts as a
// cancelled entry. Compared in constant time; both are wiped.
bool CSC_Profile_Base::RepeatsRejectedPin(std::uint8_t reference, const Secret& entered) const {
    if (!m_rejectedPin || m_rejectedReference != reference) return false;
    const std::string& rejected = m_rejectedPin->text();
    const bool same = rejected.size() == entered.text().size() &&
                      CRYPTO_memcmp(rejected.data(), entered.text().data(), rejected.size()) == 0;
    if (same) CardTrace::write(CardTrace::cLevelInfo, "---CSC_Profile_Base::Verify -> the rejected PIN again: not sent\n");
    return same;
}

void CSC_Profile_Base::NoteVerifyOutcome(std::uint8_t reference, CardResult result, Secret entered) {
    const bool rejected = result == card::cPinWrong || result == card::cCounterFailed || SW1() == 0x63;
    if (result != card::cOk && rejected) {
        m_rejectedPin = std::move(entered);
        m_rejectedReference = reference;
    } else {
        m_rejectedPin.reset();
    }
}

CardResult CSC_Profile_Base::VerifyWithPinPad(std::uint8_t reference, const PromptTexts& prompts) {
    CardTrace::write(CardTrace::cLevelDetail, "---CSC_Profile_Base::Verify -> usepinpad\n");
    SetPinPadReference(reference);

    std::unique_ptr<PinPadProgress> dialog;
    if (!runningAsService()) {
        const bool callback = kivo::cardSettings().UsePinDialogCallback();
        CardTrace::write(CardTrace::cLevelDetail,
                         callback ? "---CSC_Profile_Base::Verify -> new CPIN_PinPad_Dialog_Callback \n"
                                  : "---CSC_Profile_Base::Verify -> new CPIN_PinPad_Dialog \n");
        if (kivo::cardSettings().m_settings.m_pinDialogEnabled || callback) {
            CardTrace::write(CardTrace::cLevelDetail,
                             "---CSC_Profile_Base::Verify -> show PIN Pad Dialog \n");
            dialog = kivo::pin::openPinPad(prompts);
            if (dialog) dialog->show();
        } else {
            CardTrace::write(CardTrace::cLevelDetail,
                             "---CSC_Profile_Base::Verify -> no PIN Pad Dialog \n");
        }
    }
    Traced("ModifyVerifyStruct", [this] { ModifyVerifyStruct(); });

    // A reader that cannot take the PIN, or one that fails on the way, must
    // not leave the status word of an earlier command to be read as the
    // verdict: both end with 255.
    const CSC_Pcsc* features = PinPadFeatures();
    const bool canVerify = features != nullptr &&
                           (features->verifyPinStart() != 0 || features->verifyPinDirect() != 0);
    CardResult result = card::cFailed;
    if (!canVerify) {
        CardTrace::write(CardTrace::cLevelDetail,
                         "---CSC_Profile_Base::Verify -> can not startPinPadVerify\n");
    } else if (Traced("StartVerifyPinPad", [this] { return StartVerifyPinPad(); }) == 0) {
        if (features->getKeyPressed() == 0) {
            CardTrace::write(CardTrace::cLevelDetail,
                             "---CSC_Profile_Base::Verify -> m_pcsc->getKeyIoctl() == 0\n");
        } else {
            m_pinEntryCancelled = WaitForPinPadKeys(dialog.get(), 1) == kKeyCancel;
        }
        if (FinishVerifyPinPad()) result = returnResult();
    }
    if (dialog) dialog->close();
    return result;
}

std::uint8_t CSC_Profile_Base::WaitForPinPadKeys(PinPadProgress* dialog, int confirmations) {
    const auto deadline = std::chrono::steady_clock::now() + kKeyLoopLimit;
    int confirmed = 0;
    while (true) {
        const std::uint8_t key = GetKeyPressed();
        if (key == kKeyCancel || key == kKeyTimeout) return key;
        // A reader that can no longer be asked ends the entry as timed out.
        if (KeyPollFailed() || std::chrono::steady_clock::now() > deadline) return kKeyTimeout;
        if (key == kKeyOk) {
            if (++confirmed == confirmations) return key;
            if (dialog != nullptr) dialog->nextPrompt();
        } else if (key != 0 && dialog != nullptr) {
            dialog->advance(key);
        }
    }
}

// --- ChangeRef ------------------------------------------------------------------------------

CardResult CSC_Profile_Base::ChangeRef(const std::string& path, const std::string& altPath,
                                       std::uint8_t reference, bool usePinPad,
                                       const std::string& oldPin, const std::string& newPin,
                                       const PromptTexts& givenPrompts) {
    const PromptTexts prompts = OnThisCard(givenPrompts);
    m_pinEntryCancelled = false;
    const CardResult selected = SelectForPinOperation(path, altPath);
    if (selected != card::cOk) return selected;
    if (usePinPad) return ChangeWithPinPad(reference, prompts);

    // Both PINs given: used as they are. One of them alone is a caller's
    // mistake, not a request for dialogs: nothing is sent.
    if (!oldPin.empty() && !newPin.empty()) {
        return SCChangeRef(reference, bytesOf(oldPin), lengthOf(oldPin), bytesOf(newPin),
                           lengthOf(newPin));
    }
    if (!oldPin.empty() || !newPin.empty()) return card::cFailed;
    bool cancelled = false;
    std::optional<Secret> current = askUnlessService(SecretKind::CurrentPin, prompts, cancelled);
    std::optional<Secret> chosen;
    if (current) chosen = askNewPinTwice(prompts, cancelled);
    m_pinEntryCancelled = cancelled;
    if (!chosen) return card::cFailed;
    return SCChangeRef(reference, bytesOf(current->text()), lengthOf(current->text()),
                       bytesOf(chosen->text()), lengthOf(chosen->text()));
}

CardResult CSC_Profile_Base::ChangeWithPinPad(std::uint8_t reference, const PromptTexts& prompts) {
    SetPinPadReference(reference);
    Traced("ModifyModifyStruct", [this] { ModifyModifyStruct(); });
    const CSC_Pcsc* features = PinPadFeatures();
    CardResult result = card::cFailed;
    if (features != nullptr && features->modifyPinStart() != 0 &&
        Traced("StartModifyPinPad", [this] { return StartModifyPinPad(); }) == 0) {
        std::unique_ptr<PinPadProgress> dialog;
        if (!runningAsService()) dialog = kivo::pin::openPinPad(prompts);
        if (dialog) dialog->show();
        // OK moves through current PIN, new PIN and confirmation. A reader
        // that does not report its keys answers every poll with 1, which
        // would keep the loop going until its limit: the finish then waits
        // for the reader alone.
        if (features->getKeyPressed() != 0) {
            m_pinEntryCancelled = WaitForPinPadKeys(dialog.get(), kModifyPrompts) == kKeyCancel;
        }
        const bool finished = FinishModifyPinPad();
        if (dialog) dialog->close();
        if (finished) result = returnResult();
    }
    return result;
}

// --- UnblockRef -------------------------------------------------------------------------------

CardResult CSC_Profile_Base::UnblockRef(const std::string& path, const std::string& altPath,
                                        std::uint8_t reference, const std::string& puk,
                                        const std::string& newPin, const PromptTexts& givenPrompts) {
    m_pinEntryCancelled = false;
    InitUnblockMode();
    const CardResult result = SelectForPinOperation(path, altPath) == card::cOk
                                  ? UnblockSelected(reference, puk, newPin, OnThisCard(givenPrompts))
                                  : card::cFailed;
    CardTrace::logResult("CSC_Profile_Base::UnblockRef", result);
    return result;
}

CardResult CSC_Profile_Base::UnblockSelected(std::uint8_t reference, const std::string& puk,
                                             const std::string& newPin, const PromptTexts& prompts) {
    bool cancelled = false;
    const std::optional<Secret> givenPuk = puk.empty()
                                               ? askUnlessService(SecretKind::Puk, prompts, cancelled)
                                               : std::optional<Secret>(Secret(puk));
    if (!givenPuk) {
        m_pinEntryCancelled = cancelled;
        return card::cFailed;
    }
    const std::string& pukText = givenPuk->text();
    if (IsUnblockPukOnly() == 1) return SCUnblockPin2(reference, bytesOf(pukText), lengthOf(pukText));

    const std::optional<Secret> chosen =
        newPin.empty() ? askNewPinTwice(prompts, cancelled) : std::optional<Secret>(Secret(newPin));
    m_pinEntryCancelled = cancelled;
    if (!chosen) return card::cFailed;
    return SCUnblockPin(reference, bytesOf(pukText), lengthOf(pukText), bytesOf(chosen->text()),
                        lengthOf(chosen->text()));
}
