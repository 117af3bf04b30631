#include "tests/support/card/EmulatedPinPad.h"

#include <PCSC/reader.h>
#include <openssl/crypto.h>

#include <cstring>

namespace kivo::test {

namespace {

EmulatedPinPad* g_pad = nullptr;

constexpr std::uint8_t kTagExecutePace = 0x20, kPaceEstablish = 0x02, kPaceDestroy = 0x03, kPasswordCan = 0x02;
constexpr DWORD kExecutePaceCode = 0x42330000u | kTagExecutePace;
// The card's status word when it refuses the last GENERAL AUTHENTICATE step (6300 when the numbers differ), and
// a card that does not answer.
constexpr std::uint32_t kCardStatusLastStep = 0xF0040000, kCommunicationAbort = 0xF0100001;
// MSE SET AT answered 9000, an EF.CardAccess with one PACE info (id-PACE-ECDH-GM-AES-CBC-CMAC-128, version 2,
// brainpoolP256r1), no CARs, no IDicc.
const PadBytes kEstablished = {0x90, 0x00, 0x16, 0x00, 0x31, 0x14, 0x30, 0x12, 0x06, 0x0A, 0x04, 0x00, 0x7F, 0x00,
                               0x07, 0x02, 0x02, 0x04, 0x02, 0x02, 0x02, 0x01, 0x02, 0x02, 0x01, 0x0D, 0, 0, 0, 0};

// A reader answer: result, wLengthOutputData, output (little-endian).
PadBytes paceAnswer(std::uint32_t result, const PadBytes& output = {}) {
    PadBytes answer;
    for (int shift : {0, 8, 16, 24}) answer.push_back(static_cast<std::uint8_t>(result >> shift));
    for (int shift : {0, 8}) answer.push_back(static_cast<std::uint8_t>(output.size() >> shift));
    answer.insert(answer.end(), output.begin(), output.end());
    return answer;
}

LONG emulatedControl(SCARDHANDLE card, DWORD code, LPCVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                     LPDWORD returned) {
    const auto* input = static_cast<const std::uint8_t*>(in);
    return g_pad->control(card, code, input != nullptr ? PadBytes(input, input + inLength) : PadBytes{}, out,
                          outLength, returned);
}

LONG emulatedGetAttrib(SCARDHANDLE card, DWORD id, LPBYTE attribute, LPDWORD length) {
    if (id == SCARD_ATTR_DEVICE_SYSTEM_NAME_A) return g_pad->systemName(attribute, length);
    return g_pad->lower().GetAttrib(card, id, attribute, length);
}

}  // namespace

EmulatedPinPad::EmulatedPinPad(PinPadFeatures features, std::string systemName)
    : m_lower(pcscApi()), m_table(pcscApi()), m_features(features), m_systemName(std::move(systemName)),
      m_previous(&pcscApi()) {
    m_table.Control = emulatedControl;
    m_table.GetAttrib = emulatedGetAttrib;
    g_pad = this;
    setPcscApi(&m_table);
}

EmulatedPinPad::~EmulatedPinPad() {
    setPcscApi(m_previous);
    g_pad = nullptr;
}

PadBytes EmulatedPinPad::transmitToCard(SCARDHANDLE card, const PadBytes& apdu) {
    char names[256];
    BYTE atr[MAX_ATR_SIZE];
    DWORD namesLength = sizeof names, state = 0, protocol = SCARD_PROTOCOL_T1, atrLength = sizeof atr;
    m_lower.Status(card, names, &namesLength, &state, &protocol, atr, &atrLength);
    const SCARD_IO_REQUEST pci = {protocol, sizeof(SCARD_IO_REQUEST)};
    PadBytes answer(258);
    DWORD length = static_cast<DWORD>(answer.size());
    const LONG rc = m_lower.Transmit(card, &pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr,
                                     answer.data(), &length);
    answer.resize(rc == SCARD_S_SUCCESS ? length : 0);
    return answer;
}

// The feature list offers EXECUTE_PACE; its answer goes out as a reader's.
LONG EmulatedPinPad::control(SCARDHANDLE card, DWORD code, const PadBytes& input, LPVOID out, DWORD outLength,
                             LPDWORD returned) {
    PadBytes output;
    if (code == CM_IOCTL_GET_FEATURE_REQUEST && m_features.executePace) {
        output = {kTagExecutePace, 0x04, 0x42, 0x33, 0x00, kTagExecutePace};
    } else if (code == kExecutePaceCode && m_features.executePace) {
        m_paceRequests.push_back(input);
        output = executePace(card, input);
        if (output.empty()) return SCARD_E_INVALID_PARAMETER;
    } else {
        return m_lower.Control(card, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                               out, outLength, returned);
    }
    if (returned == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (output.size() > outLength || out == nullptr) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(out, output.data(), output.size());
    *returned = static_cast<DWORD>(output.size());
    return SCARD_S_SUCCESS;
}

// bIdxFunction, wLengthInputData (little-endian), input; to establish: PinID, lengthCHAT (0), lengthPIN, PIN,
// lengthCertificateDescription (0000). Nothing for a request that is not well formed.
PadBytes EmulatedPinPad::executePace(SCARDHANDLE card, const PadBytes& input) {
    if (input.size() < 3 || input.size() != 3u + (input[1] | (input[2] << 8))) return {};
    if (input[0] == kPaceDestroy && input.size() == 3) {
        transmitToCard(card, {0x80, 0xF0, 0x01, 0x00});
        return paceAnswer(kOk);
    }
    constexpr std::size_t pinAt = 5;
    if (input[0] != kPaceEstablish || input.size() < pinAt + 2 || input[3] != kPasswordCan || input[4] != 0 ||
        input.size() != pinAt + 1 + input[pinAt] + 2 || input[input.size() - 2] != 0 || input.back() != 0) {
        return {};
    }
    std::string password(input.begin() + pinAt + 1, input.end() - 2);
    if (password.empty()) {
        if (m_entries.empty()) return {};
        const auto [result, typed] = m_entries.front();
        m_entries.pop_front();
        if (result != kOk) return paceAnswer(result);
        password = typed;
    }
    // The card's side of the protocol: vcard's PACE hook with the number.
    PadBytes hook = {0x80, 0xF0, 0x00, 0x00, static_cast<std::uint8_t>(password.size())};
    hook.insert(hook.end(), password.begin(), password.end());
    OPENSSL_cleanse(password.data(), password.size());
    const PadBytes cardAnswer = transmitToCard(card, hook);
    OPENSSL_cleanse(hook.data(), hook.size());
    if (cardAnswer.size() < 2) return paceAnswer(kCommunicationAbort);
    const auto sw = static_cast<std::uint32_t>(cardAnswer[cardAnswer.size() - 2] << 8 | cardAnswer.back());
    return sw == 0x9000 ? paceAnswer(kOk, kEstablished) : paceAnswer(kCardStatusLastStep | sw);
}

LONG EmulatedPinPad::systemName(LPBYTE attribute, LPDWORD length) const {
    if (length == nullptr) return SCARD_E_INVALID_PARAMETER;
    const DWORD needed = static_cast<DWORD>(m_systemName.size() + 1);
    const bool fits = attribute != nullptr && *length >= needed;
    if (fits) std::memcpy(attribute, m_systemName.c_str(), needed);
    *length = needed;
    return fits || attribute == nullptr ? SCARD_S_SUCCESS : SCARD_E_INSUFFICIENT_BUFFER;
}

}  // namespace kivo::test
