// CSCM_Interface: the card key. It owns the detected card (its card layout
// object and card object), knows the reader and the certificate entry it
// works with, and runs on the card what a signing session and the utility
// class need: PACE, PIN verification, change and unblock, signing and
// deciphering.
//
// The certificate identifier selects the entry among the user entries of
// the layout (those with a key): empty for the first one; otherwise the
// first entry whose PKCS#15 iD (hex, as the card stores it) equals it,
// else whose label equals it, else the entry of that decimal index
// ("0", "1", ...).
#pragma once

#include "smartcard/base/CardResult.h"
#include "smartcard/detect/SC_Profile.h"
#include "smartcard/key/CertInfoSC.h"
#include "smartcard/pin/PinPrompt.h"
#include "smartcard/transport/DetectedCard.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CSCM_Interface {
public:
    static constexpr const char* cNotConnected = "---not connected---";
    // The reader that is never asked to take the PIN on its keypad.
    static constexpr const char* cKeyboardOnlyReader = "ACS CCID USB Reader";

    // Takes the detected card (layout destroyed before the card object) and
    // gives the card object the card profile of the layout.
    CSCM_Interface(std::unique_ptr<kivo::card::DetectedCard> detected, int reader, int slot,
                   std::string certId, const void* module);
    ~CSCM_Interface();
    CSCM_Interface(const CSCM_Interface&) = delete;
    CSCM_Interface& operator=(const CSCM_Interface&) = delete;

    void SetReaderName(const std::string& name) { m_readerName = name; }
    const std::string& ReaderName() const { return m_readerName; }
    int Reader() const { return m_reader; }
    int Slot() const { return m_slot; }
    const std::string& CertId() const { return m_certId; }
    // Makes the key work on the entry `certId` names (as the constructor's
    // identifier): one open card serves each of its keys in turn.
    void SetCertId(std::string certId) { m_certId = std::move(certId); }
    // The module handle the dialogs take their resources from.
    const void* Module() const { return m_module; }
    CSC_Profile* Layout() const { return m_layout; }
    CSC_Profile_Base* Card() const { return m_card; }

    // Whether the card runs PACE: both objects there and the card reports a
    // PACE mode.
    bool UsesPACE() const;
    bool InitPACE(const std::string& pacePin);
    void FreePACE();

    // Verifies the PIN of the selected entry, in its application: `pin` as
    // given, or asked for on the reader's keypad or in a dialog when
    // empty. The PIN mode is accepted for the signing layer's call and not
    // used. True when the card accepted the PIN.
    bool VerifyPIN(const std::string& pin, int pinMode);
    // The card's result of the last VerifyPIN (cFailed before the first).
    CardResult LastVerifyResult() const { return m_lastVerifyResult; }
    // The tries the card said are left for the PIN after the last PIN
    // command (verify, change, unblock); -1 when the card did not say.
    std::int32_t RemainingTries() const { return m_remainingTries; }
    // Whether the person cancelled the last PIN entry (keyboard or pad).
    bool PinEntryCancelled() const;
    // Changes the PIN of the selected entry (asked for when empty); the
    // card's result.
    CardResult ChangePIN(const std::string& oldPin, const std::string& newPin);
    // Unblocks the PIN of the selected entry with the PUK, setting the new
    // PIN (both asked for when empty); the card's result.
    CardResult UnblockPIN(const std::string& puk, const std::string& newPin);

    // Signs with the key of the selected entry once its PIN is verified.
    // `hash` is the hash code (0 SHA-1, 1 SHA-256, 2 SHA-384, 3 SHA-512);
    // with `dataIsDigest` the data is that hash, otherwise it is hashed
    // here first. The card signs it under the entry's signature kind
    // (PKCS#1 v1.5 of the DigestInfo, RSASSA-PSS, ECDSA) and pads it
    // itself; `padding` is taken for the signing layer's call and not used. The
    // signature goes to `out` when given (room for the key's size) and its
    // length to `outLength`. 0 or the card's failure code.
    CardResult CardSignData(const std::uint8_t* data, unsigned long length, std::uint8_t* out,
                            unsigned long* outLength, int hash, bool dataIsDigest, bool padding);
    // Deciphers an RSA cryptogram with the key of the selected entry; as
    // CardSignData for the result.
    CardResult CardRSADecrypt(const std::uint8_t* in, int inLength, std::uint8_t* out,
                              unsigned long* outLength);

    // The signature scheme of the selected entry's key in the signing
    // layer's numbering: 0 RSA PKCS#1 v1.5, 1 RSASSA-PSS, 2 ECDSA; 0 without
    // an entry. The layout records the card's key as RSA (1) or EC (2),
    // numbers that mean PSS and ECDSA to the signing layer; the scheme the
    // card signs with is the entry's, so that a container names the
    // signature the card made.
    int SignatureScheme() const;
    // Whether the card may sign a hash of this code; false without a layout.
    bool IsHashAllowed(int hash) const { return m_layout != nullptr && m_layout->IsHashAllowed(hash); }

    // The certificates (DER) of the user entries, in the layout's order.
    std::vector<std::vector<std::uint8_t>> Certificates() const;
    // The key algorithm of the index-th user entry's certificate; Unknown
    // for an index out of range.
    CCertInfoSC::KeyAlgorithm KeyAlgorithm(std::size_t index) const;

    // The entry the certificate identifier selects, null without one.
    CSC_Profile::CertEntry* FindEntry() const;

private:
    // The pin-pad choice of VerifyPIN for a PIN given or not.
    bool VerifyOnPinPad(bool pinGiven);
    // A reader whose keypad may take the PIN.
    bool PinPadReader();
    // Shows the outcome of a failed verification; true when the person
    // chose to try again.
    bool ShowVerifyOutcome(CardResult result) const;
    // Shows a wrong or blocked PIN after a change or unblock.
    void ShowPinStateOutcome(CardResult result) const;
    // The path the PIN commands of `entry` select. A PIN path that names
    // the PIN's DF is selected here as a DF, and the commands get an empty
    // path (the DF current, no EF) rather than trying the DF as an EF.
    std::string PinPathFor(const CSC_Profile::CertEntry& entry);
    // The entry a PIN change or unblock works on, its application selected:
    // null without a layout, in service mode, without an entry, or when its
    // application cannot be selected.
    CSC_Profile::CertEntry* EntryForPinManagement() const;
    // The PIN dialogs' texts for a message with the entry's PIN name.
    kivo::pin::PromptTexts Prompt(const CSC_Profile::CertEntry& entry, int messageId) const;
    // Runs one key operation under the signing sequence (the entry's
    // application, PreSigning, secure messaging, the operation,
    // PostSigning) and the PIN state rules; nothing is sent unless the
    // entry's PIN is verified.
    template <class Operation>
    CardResult RunKeyOperation(Operation&& operation);
    std::uint32_t KeyBits(const CSC_Profile::CertEntry& entry) const;
    // Keeps the tries left that the card's answer to a PIN command told.
    void NoteRemainingTries();

    std::unique_ptr<kivo::card::DetectedCard> m_detected;
    CSC_Profile* m_layout;
    CSC_Profile_Base* m_card;
    int m_reader;
    std::string m_readerName = cNotConnected;
    int m_slot;
    std::string m_certId;
    const void* m_module;
    CardResult m_lastVerifyResult = kivo::card::cFailed;
    std::int32_t m_remainingTries = -1;
    // Whether InitPACE set up the card's PACE channel.
    bool m_paceReady = false;
};
