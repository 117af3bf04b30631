#include "pkcs11/Token.h"

#include "pkcs11/Text.h"

#include "platform/PcscApi.h"
#include "smartcard/key/SCM_Interface.h"
#include "smartcard/pin/PinPrompt.h"
#include "smartcard/pkcs15/Pkcs15.h"
#include "smartcard/transport/Reader.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

namespace kivo::p11 {
namespace {

namespace card = kivo::card;
namespace pin = kivo::pin;

// Some cards hand back the whole deciphered block (00 02, at least eight
// non-zero padding bytes, 00, the message), with or without its leading
// zero byte; the message is what CKM_RSA_PKCS gives. False for a block that
// starts so and is no valid padding.
bool removeEncryptionPadding(Bytes& plain, std::size_t modulusBytes) {
    const std::size_t start = plain.size() == modulusBytes ? 1 : 0;
    const bool whole = plain.size() + 1 >= modulusBytes && plain.size() > start + 10 &&
                       (start == 0 || plain[0] == 0x00) && plain[start] == 0x02;
    if (!whole) return true;
    const auto separator = std::find(plain.begin() + static_cast<long>(start) + 1, plain.end(), 0x00);
    if (separator == plain.end() || separator - plain.begin() < static_cast<long>(start) + 9) return false;
    const std::size_t skip = static_cast<std::size_t>(separator - plain.begin()) + 1;
    OPENSSL_cleanse(plain.data(), skip);
    plain.erase(plain.begin(), plain.begin() + static_cast<long>(skip));
    return true;
}

// The caller's PIN bytes, for a secret that wipes its copy.
std::string_view pinView(const std::uint8_t* pin, CK_ULONG length) {
    return pin == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(pin), length);
}

bool samePin(const CSC_Profile::CertEntry& one, const CSC_Profile::CertEntry& other) {
    return one.pinReference == other.pinReference && one.pinPath == other.pinPath &&
           one.application == other.application;
}

}  // namespace

std::unique_ptr<Token> Token::open(const std::string& readerName, int readerIndex, bool pinPad) {
    CReader readers;
    if (readers.GetReaderName(readerIndex) != readerName || readers.GetSCProfile(readerIndex) == nullptr) {
        return nullptr;
    }
    std::unique_ptr<Token> token(new Token);
    token->m_key = std::make_unique<CSCM_Interface>(readers.TakeDetectedCard(), readerIndex, 0, "", nullptr);
    token->m_key->SetReaderName(readerName);
    token->m_readerName = readerName;
    token->m_pinPad = pinPad;
    token->buildObjects();
    return token;
}

// A program that ends without C_Finalize leaves no PIN verified either.
Token::~Token() {
    if (m_loggedIn) logout();
}

void Token::buildObjects() {
    CSC_Profile& layout = *m_key->Layout();
    const std::vector<CSC_Profile::CertEntry*> users = layout.UserCertificates();
    const std::vector<const CSC_Profile::CertEntry*> all = layout.AllCertificates();
    for (std::size_t i = 0; i < all.size(); ++i) {
        const CSC_Profile::CertEntry& entry = *all[i];
        CardCertificate certificate{entry.certificate, entry.label, card::octetsOfHex(entry.id), std::nullopt, false};
        if (i < users.size()) {
            m_keys.push_back(keyFactsOf(entry.certificate).value_or(KeyFacts{}));
            m_kinds.push_back(entry.signatureKind);
            m_sharesUserPin.push_back(samePin(entry, *users.front()));
            m_alwaysAuthenticate.push_back(layout.SingleCard() != 0 || !m_sharesUserPin.back());
            certificate.keyEntry = i;
            certificate.alwaysAuthenticate = m_alwaysAuthenticate.back();
        }
        for (TokenObject& object : objectsOf(certificate)) m_objects.push_back(std::move(object));
    }
    m_contextReady.assign(users.size(), false);
    m_unspent.assign(users.size(), false);
}

bool Token::stillThere() const {
    char reader[MAX_READERNAME] = {};
    DWORD readerLength = sizeof reader;
    DWORD state = 0;
    DWORD protocol = 0;
    BYTE atr[MAX_ATR_SIZE] = {};
    DWORD atrLength = sizeof atr;
    return m_key->Card() != nullptr &&
           pcscApi().Status(m_key->Card()->Handle(), reader, &readerLength, &state, &protocol, atr, &atrLength) ==
               SCARD_S_SUCCESS;
}

void Token::fillInfo(CK_TOKEN_INFO& info) const {
    const CSC_Profile& layout = *m_key->Layout();
    const CSC_Profile_Base& card = *m_key->Card();
    putPadded(info.label, sizeof info.label, layout.CardLabel());
    putPadded(info.manufacturerID, sizeof info.manufacturerID, card.CardOsName());
    putPadded(info.model, sizeof info.model, "profile " + std::to_string(layout.CardProfile()));
    // The card's own serial number, else the one of its PKCS#15 token.
    std::string serial = layout.SerialNumber();
    if (serial.empty() && layout.Pkcs15() != nullptr) serial = layout.Pkcs15()->tokenInfo().serialNumber();
    putPadded(info.serialNumber, sizeof info.serialNumber,
              serial.size() > sizeof info.serialNumber ? serial.substr(serial.size() - sizeof info.serialNumber) : serial);
    info.flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED | CKF_WRITE_PROTECTED;
    if (m_pinPad) info.flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    if (m_triesLeft == 0) info.flags |= CKF_USER_PIN_LOCKED;
    if (m_triesLeft == 1) info.flags |= CKF_USER_PIN_FINAL_TRY;
    if (m_lastPinWrong && m_triesLeft != 0) info.flags |= CKF_USER_PIN_COUNT_LOW;
    info.ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info.ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info.ulMaxPinLen = card.PinMaxLength();
    info.ulMinPinLen = card.PinMinLength();
    info.ulTotalPublicMemory = info.ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulTotalPrivateMemory = info.ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info.hardwareVersion = {0, 0};
    info.firmwareVersion = {0, 0};
    std::memset(info.utcTime, ' ', sizeof info.utcTime);
}

bool Token::keyRuns(std::size_t keyEntry, const MechanismRule& rule, bool decrypt) const {
    if (keyEntry >= m_keys.size() || m_keys[keyEntry].bits == 0) return false;
    if (decrypt) return rule.deciphers && m_keys[keyEntry].deciphers;
    if (m_kinds[keyEntry] != rule.kind || !m_keys[keyEntry].signs) return false;
    if (rule.hashCode >= 0) return m_key->IsHashAllowed(rule.hashCode);
    for (int code = 0; code < 4; ++code) {
        if (m_key->IsHashAllowed(code)) return true;
    }
    return false;
}

bool Token::mechanismInfo(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO& info) const {
    const MechanismRule* rule = mechanismRule(type);
    if (rule == nullptr) return false;
    info = CK_MECHANISM_INFO{~CK_ULONG{0}, 0, CKF_HW};
    for (std::size_t key = 0; key < m_keys.size(); ++key) {
        const bool signs = keyRuns(key, *rule, false);
        const bool deciphers = keyRuns(key, *rule, true);
        if (!signs && !deciphers) continue;
        info.flags |= (signs ? CKF_SIGN : 0) | (deciphers ? CKF_DECRYPT : 0);
        if (rule->kind == SignatureKind::Ecdsa) info.flags |= CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS;
        info.ulMinKeySize = std::min(info.ulMinKeySize, m_keys[key].bits);
        info.ulMaxKeySize = std::max(info.ulMaxKeySize, m_keys[key].bits);
    }
    return (info.flags & (CKF_SIGN | CKF_DECRYPT)) != 0;
}

std::vector<CK_MECHANISM_TYPE> Token::mechanisms() const {
    std::vector<CK_MECHANISM_TYPE> types;
    CK_MECHANISM_INFO info{};
    for (const MechanismRule& rule : mechanismRules()) {
        if (mechanismInfo(rule.type, info)) types.push_back(rule.type);
    }
    return types;
}

const KeyFacts* Token::keyFacts(std::size_t keyEntry) const {
    return keyEntry < m_keys.size() ? &m_keys[keyEntry] : nullptr;
}

bool Token::verifyEntry(std::size_t keyEntry, const std::string& pin) {
    m_key->SetCertId(std::to_string(keyEntry));
    const bool verified = m_key->VerifyPIN(pin, 0);
    m_triesLeft = m_key->RemainingTries();
    m_lastPinWrong = !verified;
    if (verified) m_triesLeft = -1;
    return verified;
}

// A refused PIN, by what the card said: the tries it has left where it
// told them, else the profile's reading of its answer.
CK_RV Token::pinResult() const {
    if (m_key->PinEntryCancelled()) return CKR_FUNCTION_CANCELED;
    const int result = m_key->LastVerifyResult();
    if (result != card::cOk && m_triesLeft >= 0) return m_triesLeft == 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
    return cardResult(result);
}

CK_RV Token::cardResult(int result) const {
    switch (result) {
        case card::cOk: return CKR_OK;
        case card::cPinWrong: return m_triesLeft == 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
        case card::cCounterFailed:
        case card::cAuthMethodBlocked: return CKR_PIN_LOCKED;
        case card::cPinPadAborted: return CKR_FUNCTION_CANCELED;
        case card::cSecurityStatus: return CKR_USER_NOT_LOGGED_IN;
        default: return stillThere() ? CKR_DEVICE_ERROR : CKR_DEVICE_REMOVED;
    }
}

CK_RV Token::login(CK_USER_TYPE user, const std::uint8_t* pin, CK_ULONG length,
                   std::optional<std::size_t> keyEntry) {
    if (pin == nullptr && !m_pinPad) return CKR_ARGUMENTS_BAD;
    // An empty PIN would have the card layer ask for one on the keyboard:
    // the application asks, the module does not.
    if (pin != nullptr && length == 0) return CKR_PIN_LEN_RANGE;
    // The profile's PIN lengths are told in the token information and bound
    // what a pin pad accepts; a PIN typed elsewhere is the card's to judge.
    if (m_keys.empty()) return CKR_USER_PIN_NOT_INITIALIZED;
    const std::size_t entry = user == CKU_CONTEXT_SPECIFIC && keyEntry ? *keyEntry : 0;
    if (user == CKU_CONTEXT_SPECIFIC && entry < m_unspent.size() && m_unspent[entry]) {
        // The card still holds the verification of the user login, which no
        // operation has spent: it serves this key's next operation, so a
        // single-signature card sees one VERIFY per signature.
        m_unspent[entry] = false;
        m_contextReady[entry] = true;
        return CKR_OK;
    }
    const pin::Secret text(pinView(pin, length));
    if (!verifyEntry(entry, text.text())) return pinResult();
    if (user == CKU_CONTEXT_SPECIFIC) {
        m_contextReady[entry] = true;
        return CKR_OK;
    }
    std::fill(m_unspent.begin(), m_unspent.end(), false);
    std::vector<CSC_Profile::CertEntry*> users = m_key->Layout()->UserCertificates();
    for (std::size_t i = 0; i < users.size() && i < m_sharesUserPin.size(); ++i) {
        if (m_sharesUserPin[i]) users[i]->pinVerified = m_unspent[i] = true;
    }
    m_loggedIn = true;
    return CKR_OK;
}

void Token::logout() {
    for (CSC_Profile::CertEntry* entry : m_key->Layout()->UserCertificates()) entry->pinVerified = false;
    m_contextReady.assign(m_contextReady.size(), false);
    m_unspent.assign(m_unspent.size(), false);
    m_loggedIn = false;
    DWORD protocol = 0;
    pcscApi().Reconnect(m_key->Card()->Handle(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                        SCARD_RESET_CARD, &protocol);
    m_key->Card()->SelectionMayHaveChanged();
}

// An operation spends a single-signature card's verification, whichever
// key it used, and every context-specific login.
void Token::spend(std::size_t keyEntry) {
    m_contextReady[keyEntry] = false;
    std::fill(m_unspent.begin(), m_unspent.end(), false);
}

bool Token::keyReady(std::size_t keyEntry) const {
    const std::vector<CSC_Profile::CertEntry*> users = m_key->Layout()->UserCertificates();
    if (keyEntry >= users.size() || keyEntry >= m_alwaysAuthenticate.size() || !users[keyEntry]->pinVerified) return false;
    return !m_alwaysAuthenticate[keyEntry] || m_contextReady[keyEntry];
}

CK_RV Token::setPin(const std::uint8_t* oldPin, CK_ULONG oldLength, const std::uint8_t* newPin, CK_ULONG newLength) {
    if ((oldPin == nullptr || newPin == nullptr) && !m_pinPad) return CKR_ARGUMENTS_BAD;
    if ((oldPin != nullptr && oldLength == 0) || (newPin != nullptr && newLength == 0)) return CKR_PIN_LEN_RANGE;
    if (m_keys.empty()) return CKR_USER_PIN_NOT_INITIALIZED;
    const pin::Secret oldText(pinView(oldPin, oldLength));
    const pin::Secret newText(pinView(newPin, newLength));
    m_key->SetCertId("0");
    const int result = m_key->ChangePIN(oldText.text(), newText.text());
    m_triesLeft = m_key->RemainingTries();
    m_lastPinWrong = result != card::cOk;
    if (result != card::cOk && m_triesLeft >= 0 && !m_key->PinEntryCancelled()) {
        return m_triesLeft == 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
    }
    return m_key->PinEntryCancelled() ? CKR_FUNCTION_CANCELED : cardResult(result);
}

CK_RV Token::sign(std::size_t keyEntry, const HashToSign& hash, Bytes& signature) {
    if (keyEntry >= m_keys.size()) return CKR_KEY_HANDLE_INVALID;
    if (!m_key->IsHashAllowed(hash.hashCode)) return CKR_DATA_INVALID;
    m_key->SetCertId(std::to_string(keyEntry));
    signature.assign(std::max<std::size_t>(m_keys[keyEntry].signatureBytes, 1024), 0);
    unsigned long length = signature.size();
    const int result = m_key->CardSignData(hash.digest.data(), hash.digest.size(), signature.data(), &length,
                                           hash.hashCode, true, false);
    spend(keyEntry);
    signature.resize(result == card::cOk ? length : 0);
    return cardResult(result);
}

CK_RV Token::decrypt(std::size_t keyEntry, const Bytes& cryptogram, Bytes& plain) {
    if (keyEntry >= m_keys.size()) return CKR_KEY_HANDLE_INVALID;
    if (cryptogram.size() != m_keys[keyEntry].signatureBytes) return CKR_ENCRYPTED_DATA_LEN_RANGE;
    m_key->SetCertId(std::to_string(keyEntry));
    plain.assign(cryptogram.size(), 0);
    unsigned long length = plain.size();
    const int result = m_key->CardRSADecrypt(cryptogram.data(), static_cast<int>(cryptogram.size()), plain.data(),
                                             &length);
    spend(keyEntry);
    plain.resize(result == card::cOk ? length : plain.size());
    if (result == card::cOk && removeEncryptionPadding(plain, m_keys[keyEntry].signatureBytes)) return CKR_OK;
    OPENSSL_cleanse(plain.data(), plain.size());
    plain.clear();
    return result == card::cOk ? CKR_ENCRYPTED_DATA_INVALID : cardResult(result);
}

CK_RV Token::random(std::uint8_t* out, CK_ULONG length) {
    // Each GET CHALLENGE gives 8 bytes: a bound keeps one call from holding
    // the card for long.
    constexpr CK_ULONG kMostBytes = 1024;
    if (length == 0) return CKR_OK;
    if (length > kMostBytes) return CKR_ARGUMENTS_BAD;
    const int result = m_key->Card()->GetChallange(out, static_cast<std::uint32_t>(length));
    return result == card::cChallengeRefused ? CKR_RANDOM_NO_RNG : cardResult(result);
}

}  // namespace kivo::p11
