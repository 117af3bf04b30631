// A card in a reader as the module shows it: the detected card, held open
// for as long as it stays in the reader untouched, its objects, the keys'
// mechanisms, and the login state (which lives on the card: the module
// keeps no PIN).
#pragma once

#include "pkcs11/Mechanisms.h"
#include "pkcs11/Objects.h"

#include <memory>
#include <string>
#include <vector>

class CSCM_Interface;

namespace kivo::p11 {

class Token {
public:
    // Detects the card in the reader; null without a card of a known type.
    static std::unique_ptr<Token> open(const std::string& readerName, int readerIndex, bool pinPad);
    ~Token();
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;

    // Whether the card is still the one detected: not removed, not reset
    // by another program.
    bool stillThere() const;
    void fillInfo(CK_TOKEN_INFO& info) const;

    const std::vector<TokenObject>& objects() const { return m_objects; }
    // The mechanisms some key of the card runs, and their key sizes.
    std::vector<CK_MECHANISM_TYPE> mechanisms() const;
    bool mechanismInfo(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO& info) const;
    // Whether the key of the user entry runs the rule.
    bool keyRuns(std::size_t keyEntry, const MechanismRule& rule, bool decrypt) const;
    const KeyFacts* keyFacts(std::size_t keyEntry) const;

    // The user PIN (null on a pin-pad reader: the pad asks) for every key
    // under the card's first key PIN; CKU_CONTEXT_SPECIFIC verifies the PIN
    // of `keyEntry` for its next operation.
    CK_RV login(CK_USER_TYPE user, const std::uint8_t* pin, CK_ULONG length, std::optional<std::size_t> keyEntry);
    // Forgets every verification and resets the card, so that no PIN stays
    // verified on it for the next program.
    void logout();
    bool loggedIn() const { return m_loggedIn; }
    // Whether the key may be used now (its PIN verified for this operation).
    bool keyReady(std::size_t keyEntry) const;
    CK_RV setPin(const std::uint8_t* oldPin, CK_ULONG oldLength, const std::uint8_t* newPin, CK_ULONG newLength);

    CK_RV sign(std::size_t keyEntry, const HashToSign& hash, Bytes& signature);
    CK_RV decrypt(std::size_t keyEntry, const Bytes& cryptogram, Bytes& plain);
    // Random bytes from the card's GET CHALLENGE.
    CK_RV random(std::uint8_t* out, CK_ULONG length);

private:
    Token() = default;
    void buildObjects();
    bool verifyEntry(std::size_t keyEntry, const std::string& pin);
    CK_RV pinResult() const;
    CK_RV cardResult(int result) const;
    void spend(std::size_t keyEntry);

    std::unique_ptr<CSCM_Interface> m_key;
    std::string m_readerName;
    bool m_pinPad = false;
    bool m_loggedIn = false;
    std::int32_t m_triesLeft = -1;
    bool m_lastPinWrong = false;
    std::vector<TokenObject> m_objects;
    std::vector<KeyFacts> m_keys;                 // per user entry
    std::vector<SignatureKind> m_kinds;           // per user entry
    std::vector<bool> m_sharesUserPin;            // per user entry
    std::vector<bool> m_alwaysAuthenticate;       // per user entry: its PIN before each use
    std::vector<bool> m_contextReady;             // per user entry: CKU_CONTEXT_SPECIFIC login done
    std::vector<bool> m_unspent;                  // per user entry: the user login's VERIFY not yet used
};

}  // namespace kivo::p11
