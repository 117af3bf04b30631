// Construction, card identity, the operations whose base version is a fixed
// answer, and the pin-pad structures of the base profile.
#include "smartcard/base/SC_Profile_Base.h"
#include "smartcard/base/CardNumbers.h"

#include "smartcard/transport/CardTrace.h"
#include "smartcard/key/ConfigSC.h"

#include <openssl/crypto.h>

#include <algorithm>

using kivo::CardTrace;
namespace card = kivo::card;

namespace {

struct CardTypeEntry {
    std::int32_t type;
    const char* name;
};

constexpr CardTypeEntry kCardTypeNames[] = {
    {card::type::cTcos20, "TCOS 2.0"},
    {card::type::cTcos30, "TCOS 3.0"},
    {card::type::cMicardo21, "Micardo 2.1"},
    {card::type::cCardOs43b, "CardOS 4.3b"},
    {card::type::cStarCos30, "Starcos 3.0"},
    {card::type::cSecCos, "Seccos"},
    {card::type::cSetCos, "Setcos"},
    {card::type::cStarCos32, "Starcos 3.2"},
    {card::type::cSetCos442, "Setcos 4.4.2"},
    {card::type::cCardOs44, "CardOS 4.4"},
    {card::type::cStarCos34, "Starcos 3.4"},
    {card::type::cTcos30v2, "TCOS 3.0v2"},
    {card::type::cStarCos35, "Starcos 3.5"},
    {card::type::cCardOs50, "CardOS 5.0"},
    {card::type::cCardOs54, "CardOS 5.4"},
    {card::type::cStarCos37Dgn, "Starcos 3.7 DGN"},
    {card::type::cCardOs60, "CardOS 6.0"},
    {card::type::cStarCos37DTrust, "Starcos 3.7 D-Trust"},
};
constexpr std::uint8_t kMfId[2] = {0x3F, 0x00};
constexpr std::uint8_t kPinPadTimeout = 0x1E;  // seconds

std::uint16_t blockSizeSetting() {
    const std::int32_t configured = kivo::cardSettings().m_settings.m_blockSize;
    return static_cast<std::uint16_t>(configured);
}

}  // namespace

CSC_Profile_Base::CSC_Profile_Base() : m_blockSize(blockSizeSetting()) {
    m_useT1 = true;
    ResetSelectionToMf();
}

CSC_Profile_Base::~CSC_Profile_Base() {
    OPENSSL_cleanse(m_smKey1.data(), m_smKey1.size());
    OPENSSL_cleanse(m_smKey2.data(), m_smKey2.size());
}

void CSC_Profile_Base::ResetSelectionToMf() {
    std::copy(std::begin(kMfId), std::end(kMfId), m_currDfPath.begin());
    m_currDfPathLength = sizeof kMfId;
    m_currEfLength = 0;
}

// --- identity ---------------------------------------------------------------

CSC_Profile_Base::TraceScope::TraceScope(const CSC_Profile_Base& profile, const char* operation)
    : m_profile(profile.ProfileName()), m_operation(operation) {
    CardTrace::write(CardTrace::cLevelInfo, "--entering %s::%s\n", m_profile, m_operation);
}

CSC_Profile_Base::TraceScope::~TraceScope() {
    CardTrace::write(CardTrace::cLevelInfo, "--leaving %s::%s\n", m_profile, m_operation);
}

const char* CSC_Profile_Base::CardTypeName(std::int32_t type) {
    for (const CardTypeEntry& entry : kCardTypeNames) {
        if (entry.type == type) return entry.name;
    }
    return "unknown smartcard";
}

void CSC_Profile_Base::SetCardType(std::int32_t type) {
    m_cardType = type;
    m_cardOsName = CardTypeName(type);
}

void CSC_Profile_Base::SetCardProfile(std::int32_t profile) {
    m_cardProfile = profile;
    m_cardProfileCopy = profile;
    InitPinLengths();
    InitKeyLengths();
}

void CSC_Profile_Base::SetSerialNumber(const std::uint8_t* bytes, std::uint32_t length) {
    if (bytes == nullptr) length = 0;
    m_serialNumber = hex2str(bytes, length);
    m_cardIdTail.fill(0);
    const std::uint32_t tail = std::min<std::uint32_t>(length, cCardIdTailLength);
    std::copy(bytes + (length - tail), bytes + length, m_cardIdTail.end() - tail);
}

std::string CSC_Profile_Base::GetSerialNumber() { return m_serialNumber; }

std::string CSC_Profile_Base::hex2str(const std::uint8_t* bytes, std::uint32_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    if (bytes == nullptr) return text;
    text.reserve(std::size_t{length} * 2);
    for (std::uint32_t i = 0; i < length; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

// --- lengths and modes --------------------------------------------------------

void CSC_Profile_Base::InitPinLengths() {
    m_pinMinLength = 4;
    m_pinMaxLength = 8;
}

void CSC_Profile_Base::InitKeyLengths() {
    m_rsaKeyLength = 2048;
    m_secondKeyLength = 2048;
}

std::uint32_t CSC_Profile_Base::IsUnblockPukOnly() { return m_unblockPukOnly; }
void CSC_Profile_Base::InitUnblockMode() { m_unblockPukOnly = 0; }

// --- fixed answers of the base --------------------------------------------------

CardResult CSC_Profile_Base::EraseFile(const std::string&) {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile_Base::EraseFile\n");
    return card::cOk;
}

CardResult CSC_Profile_Base::GenRSAKeyPair(std::uint8_t, std::uint32_t) {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile_Base::GenRSAKeyPair\n");
    return card::cOk;
}

CardResult CSC_Profile_Base::InitSM() {
    m_smActive = 1;
    return card::cOk;
}

bool CSC_Profile_Base::IsSMActive() { return m_smActive != 0; }

CardResult CSC_Profile_Base::InternalAuthenticate(const std::uint8_t*, std::uint32_t, Bytes&) {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile_Base::InternalAuthenticate\n");
    return card::cOk;
}

CardResult CSC_Profile_Base::ExternalAuthenticate(const std::uint8_t*, std::uint32_t) {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile_Base::ExternalAuthenticate\n");
    return card::cOk;
}

CardResult CSC_Profile_Base::GetPubKey(std::uint8_t, Bytes&) {
    CardTrace::logResult("CSC_Profile_Base::GetPubKey", card::cFailed);
    return card::cFailed;
}

bool CSC_Profile_Base::IsKeyTypeAllowed(std::int32_t, std::int32_t) { return true; }
bool CSC_Profile_Base::InitPACE(const std::string&) { return true; }
void CSC_Profile_Base::FreePACE() {}
std::int32_t CSC_Profile_Base::GetPaceMode() { return -1; }
bool CSC_Profile_Base::IsPaceReader(const std::string&) { return false; }
void CSC_Profile_Base::HasPaceReader() {}
bool CSC_Profile_Base::IsTrustedChannelActive() { return false; }
std::uint8_t CSC_Profile_Base::GetTrustedChannelCla() { return 0; }

bool CSC_Profile_Base::EncryptTrustedChannelData(const std::uint8_t*, std::uint32_t, Bytes&) {
    return false;
}

bool CSC_Profile_Base::DecryptTrustedChannelData(const std::uint8_t*, std::uint32_t, Bytes&) {
    return false;
}

CardResult CSC_Profile_Base::SelectKeyAndAlgorithm(std::uint8_t, std::uint32_t) {
    return card::cOk;
}

CardResult CSC_Profile_Base::SCSelectAID(const std::uint8_t*, std::uint32_t) { return card::cOk; }

// --- pin pad ---------------------------------------------------------------------

std::uint32_t CSC_Profile_Base::StartVerifyPinPad() { return CSC_Transport::StartVerifyPinPad(); }
bool CSC_Profile_Base::FinishVerifyPinPad() { return CSC_Transport::FinishVerifyPinPad(); }
std::uint32_t CSC_Profile_Base::StartModifyPinPad() { return CSC_Transport::StartModifyPinPad(); }
bool CSC_Profile_Base::FinishModifyPinPad() { return CSC_Transport::FinishModifyPinPad(); }
std::uint8_t CSC_Profile_Base::GetKeyPressed() { return CSC_Transport::GetKeyPressed(); }
void CSC_Profile_Base::ModifyVerifyStruct() {}
void CSC_Profile_Base::ModifyModifyStruct() {}

bool CSC_Profile_Base::CheckPinPad() {
    const bool pinPad = RefreshPinPadFeatures();
    // The structures carry the PIN lengths, so those come first.
    InitPinLengths();
    Traced("CreateVerifyStruct", [this] { CreateVerifyStruct(); });
    Traced("CreateModifyStruct", [this] { CreateModifyStruct(); });
    return pinPad;
}

CSC_Profile_Base::Bytes CSC_Profile_Base::BaseVerifyStruct() const {
    return Bytes{
        kPinPadTimeout, kPinPadTimeout,
        0x02,                          // bmFormatString: ASCII
        0x00,                          // bmPINBlockString
        0x00,                          // bmPINLengthFormat
        m_pinMaxLength, m_pinMinLength,  // wPINMaxExtraDigit (little-endian: max, min)
        0x02,                          // bEntryValidationCondition: validation key
        0x01,                          // bNumberMessage
        0x00, 0x00,                    // wLangId
        0x00,                          // bMsgIndex
        0x00, 0x00, 0x00,              // bTeoPrologue
        0x04, 0x00, 0x00, 0x00,        // ulDataLength
        0x00, 0x20, 0x00, 0x00,        // VERIFY header; P2 is the PIN reference
    };
}

CSC_Profile_Base::Bytes CSC_Profile_Base::BaseModifyStruct() const {
    return Bytes{
        kPinPadTimeout, kPinPadTimeout,
        0x02,                          // bmFormatString
        0x00,                          // bmPINBlockString
        0x00,                          // bmPINLengthFormat
        0x00,                          // bInsertionOffsetOld
        0x00,                          // bInsertionOffsetNew
        m_pinMaxLength, m_pinMinLength,  // wPINMaxExtraDigit
        0x03,                          // bConfirmPIN: current PIN asked, new PIN twice
        0x02,                          // bEntryValidationCondition
        0x03,                          // bNumberMessage
        0x00, 0x00,                    // wLangId
        0x00, 0x01, 0x02,              // bMsgIndex1..3
        0x00, 0x00, 0x00,              // bTeoPrologue
        0x04, 0x00, 0x00, 0x00,        // ulDataLength
        0x00, 0x24, 0x00, 0x00,        // CHANGE REFERENCE DATA header
    };
}
