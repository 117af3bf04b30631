#include "smartcard/profiles/SC_Profile_TCOS30.h"
#include "smartcard/profiles/ControlReferenceTemplates.h"
#include "smartcard/transport/CardTrace.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>

using kivo::CardTrace;
namespace card = kivo::card;

namespace {

// FCP answers of up to 255 bytes (Le FF).
constexpr card::SelectForm kSelects{.p2 = card::kAnswerFcp, .le = 0xFF};

// Algorithm 0A (RSA, no padding by the card) and the key as 84 01 kk.
constexpr std::uint8_t kRawRsaAlgorithm = 0x0A;
// The padding indicator of PSO DECIPHER: 01 for the signature key 83.
constexpr std::uint8_t kSignatureKey = 0x83;

// The keys whose use needs secure messaging: the signature application.
const char* const kSmKeyPaths[] = {"3F00DF01C000", "3F00DF015344"};

bool needsSecureMessaging(const std::string& keyPath) {
    const std::string path = CSC_Profile_Base::CanonicalPath(keyPath);
    return std::any_of(std::begin(kSmKeyPaths), std::end(kSmKeyPaths),
                       [&](const char* prefix) { return path.rfind(prefix, 0) == 0; });
}

}  // namespace

std::string CSC_Profile_TCOS30::GetSerialNumber() { return SerialNumberFromGdo(); }
std::uint32_t CSC_Profile_TCOS30::GetFileLen() { return FileSizeFromResponse(card::kFcpSize80); }

CardResult CSC_Profile_TCOS30::GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out,
                                       std::uint16_t le) {
    return GetDataWithLe(0x00, p1, p2, out, le);
}

CardResult CSC_Profile_TCOS30::SCSelectMF() { return SelectMfIn(kSelects); }

CardResult CSC_Profile_TCOS30::SCSelectDF(const std::uint8_t* fid, std::uint32_t length) {
    return SelectDfIn(kSelects, fid, length);
}

CardResult CSC_Profile_TCOS30::SCSelectEF(const std::uint8_t* fid) {
    return SelectEfIn(kSelects, fid);
}

CardResult CSC_Profile_TCOS30::SetSecurityEnvironment(std::uint8_t keyReference) {
    const std::uint8_t data[] = {0x80, 0x01, kRawRsaAlgorithm, 0x84, 0x01, keyReference};
    return ManageSecurityEnvironment(cMseSet, card::crt::kConfidentiality, data);
}

// PSO DECIPHER 00 2A 80 86 (extended): the padding indicator, then the
// input with its least significant byte first, as the card reads numbers.
CardResult CSC_Profile_TCOS30::DecipherReversed(const Bytes& input, std::uint8_t keyReference,
                                                Bytes& out) {
    const CardResult result = SetSecurityEnvironment(keyReference);
    if (result != card::cOk) return result;
    Bytes data = AfterPaddingIndicator(keyReference == kSignatureKey ? 0x01 : 0x00, input.data(), input.size(), true);
    const CardResult sent = PerformDecipher(cEncipheredValue, data, 0x0000, out);
    OPENSSL_cleanse(data.data(), data.size());
    return sent;
}

// The card's private operation on the reversed PKCS#1 type-1 block gives
// the signature big-endian, as OpenSSL verifies it: the block is the number
// the card raises to its private exponent, and the answer is sent as is.
CardResult CSC_Profile_TCOS30::SCSignData(const std::string&, std::uint32_t keyBits,
                                          const std::uint8_t* data, std::uint32_t dataLength,
                                          Bytes& signature, std::uint32_t algorithm,
                                          std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCSignData");
    if (data == nullptr || dataLength == 0 || keyBits == 0 || keyBits / 8 > 0xFFFE) {
        return card::cFailed;
    }
    Bytes block;
    if (BuildSignBuffer(algorithm, keyBits, data, dataLength, block, true) != card::cOk ||
        block.empty()) {
        return card::cFailed;
    }
    return DecipherReversed(block, keyReference, signature);
}

CardResult CSC_Profile_TCOS30::SCDecipher(const std::string&, std::uint32_t,
                                          const std::uint8_t* data, std::uint32_t dataLength,
                                          Bytes& plain, std::uint32_t, std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCDecipher");
    if (data == nullptr || dataLength == 0 || dataLength > 0xFFFE) return card::cFailed;
    return DecipherReversed(Bytes(data, data + dataLength), keyReference, plain);
}

// The keys of the signature application work only under secure messaging,
// and this profile does not protect commands (DOs 87, 97 and 8E under the
// session keys that the device authentication of TcosDeviceAuthentication
// would agree): such a key is refused before anything is sent, and secure
// messaging is never reported active while commands would go in plain.
CardResult CSC_Profile_TCOS30::InitSM() {
    const TraceScope trace(*this, "InitSM");
    m_smActive = 0;
    if (!needsSecureMessaging(m_keyPath)) return card::cOk;
    CardTrace::write(CardTrace::cLevelInfo, "secure messaging is not available: key %s refused\n", m_keyPath.c_str());
    return card::cFailed;
}

CardResult CSC_Profile_TCOS30::InternalAuthenticate(const std::uint8_t* data, std::uint32_t length,
                                                    Bytes& answer) {
    const TraceScope trace(*this, "InternalAuthenticate");
    answer.clear();
    if (data == nullptr || length != 0x10) return card::cFailed;
    SetApdu(cCaseDataLe, 0x00, 0x88, 0x00, 0x00, 0x10, 0x00, data, 0x10);
    return OperationResult(SendToCard(), answer);
}

CardResult CSC_Profile_TCOS30::ExternalAuthenticate(const std::uint8_t* data, std::uint32_t length) {
    const TraceScope trace(*this, "ExternalAuthenticate");
    if (data == nullptr || length != 0x80) return card::cFailed;
    SetApdu(cCaseData, 0x00, 0x82, 0x00, 0x00, 0x80, 0, data, 0x80);
    Bytes ignored;
    return OperationResult(SendToCard(), ignored);
}

void CSC_Profile_TCOS30::CreateModifyStruct() { SetModifyStruct(BaseModifyStruct()); }
void CSC_Profile_TCOS30::CreateVerifyStruct() { SetVerifyStruct(BaseVerifyStruct()); }
