#include "smartcard/transport/SC_Transport.h"

#include "smartcard/transport/ApduEncoding.h"
#include "smartcard/transport/CardTrace.h"
#include "platform/PcscApi.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

using kivo::CardTrace;

namespace {

constexpr std::size_t kReceiveBufferSize = 514;   // 512 data bytes + status word
constexpr DWORD kGetResponseReceiveLength = 258;  // 256 data bytes + status word
constexpr std::size_t kControlBufferSize = 0x10004;
constexpr std::uint32_t kControlLargeRequest = 0x10004;
constexpr DWORD kControlLargeSize = 0x10000;
constexpr DWORD kControlDefaultLimit = 258;
// Room for a PACE answer with EF.CardAccess and the chip identifier.
constexpr std::size_t kPaceAnswerCapacity = 4096;
constexpr std::uint8_t kStatusMoreData = 0x61;
constexpr std::uint8_t kInsSelect = 0xA4;
constexpr std::uint16_t kStatusOk = 0x9000;
constexpr std::uint32_t kResultOk = 0;
constexpr std::uint32_t kResultFailed = 255;
constexpr std::uint32_t kPinPadOk = 0;
constexpr std::uint32_t kPinPadFailed = 1;
constexpr std::uint8_t kFinishInput[2] = {0xFF, 0xFF};

const SCARD_IO_REQUEST kPciT0 = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST kPciT1 = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};

// PC/SC results as the 32-bit values the trace shows. pcsc-lite keeps no
// separate last-error value, so the result also stands where the trace line
// names "LastError".
unsigned long traceValue(long value) { return static_cast<unsigned long>(value) & 0xFFFFFFFFul; }

// A byte buffer that is wiped before it is freed: command APDUs and control
// inputs may carry a PIN or PUK.
class WipedBuffer {
public:
    explicit WipedBuffer(std::size_t size) : m_bytes(size, 0) {}
    ~WipedBuffer() { OPENSSL_cleanse(m_bytes.data(), m_bytes.size()); }
    WipedBuffer(const WipedBuffer&) = delete;
    WipedBuffer& operator=(const WipedBuffer&) = delete;
    std::uint8_t* data() { return m_bytes.data(); }
    std::uint8_t& operator[](std::size_t i) { return m_bytes[i]; }

private:
    std::vector<std::uint8_t> m_bytes;
};

// Reads the active protocol of a card; 0 when the status call fails.
LONG readProtocol(SCARDHANDLE card, DWORD& protocol) {
    DWORD readerLength = 0;
    DWORD state = 0;
    DWORD atrLength = 0;
    protocol = 0;
    return kivo::pcscApi().Status(card, nullptr, &readerLength, &state, &protocol, nullptr,
                                  &atrLength);
}

// Sizes of the command APDU per case; 0 for an unknown case.
}  // namespace

CSC_Transport::CSC_Transport() : m_response(256), m_dwResponseLen(256) {}

CSC_Transport::~CSC_Transport() {
    OPENSSL_cleanse(m_response.data(), m_response.size());
    if (m_hasOwnContext) kivo::pcscApi().ReleaseContext(m_ownContext);
}

void CSC_Transport::SetApdu(std::uint32_t apduCase, std::uint8_t cla, std::uint8_t ins,
                            std::uint8_t p1, std::uint8_t p2, std::uint16_t lc, std::uint16_t le,
                            const std::uint8_t* data, std::uint16_t dataLength) {
    m_dwApduCase = apduCase;
    m_bCla = cla;
    m_bIns = ins;
    m_bP1 = p1;
    m_bP2 = p2;
    m_wLc = lc;
    m_wLe = le;
    m_pData = data;
    m_wDataLen = dataLength;
    SetResponseCapacity(apduCase == cCaseExtended ? 512 : 256);
}

void CSC_Transport::SetResponseCapacity(std::uint32_t capacity) {
    // The last answer may be a deciphered key: it is wiped, not just freed.
    OPENSSL_cleanse(m_response.data(), m_response.size());
    m_dwResponseLen = capacity;
    m_response.assign(capacity, 0);
}

void CSC_Transport::CheckProtocol() {
    DWORD protocol = 0;
    if (readProtocol(m_hScard, protocol) == SCARD_S_SUCCESS && protocol == SCARD_PROTOCOL_T0) {
        m_useT1 = false;
    }
    CardTrace::write(CardTrace::cLevelDetail, m_useT1 ? "using T1 protocol\n" : "using T0 protocol\n");
    const LONG rc = readProtocol(m_hScard, protocol);
    CardTrace::write(CardTrace::cLevelDetail, "SendToCard (SCardStatus) lRet : 0x%08lX\n",
                     traceValue(rc));
}

bool CSC_Transport::GetResponse(std::uint8_t* recv, DWORD& recvLength) {
    const std::uint8_t getResponse[5] = {0x00, 0xC0, 0x00, 0x00, recv[1]};
    CardTrace::dump(CardTrace::cLevelApdu, "[data sent to card]", getResponse, sizeof getResponse);
    recvLength = kGetResponseReceiveLength;
    const LONG rc = kivo::pcscApi().Transmit(m_hScard, &kPciT0, getResponse, sizeof getResponse,
                                             nullptr, recv, &recvLength);
    if (rc != SCARD_S_SUCCESS) {
        CardTrace::write(CardTrace::cLevelInfo, "SCardTransmit failed (0x%08lX LastError:%lx)\n",
                         traceValue(rc), traceValue(rc));
        return false;
    }
    recvLength = std::min<DWORD>(recvLength, kGetResponseReceiveLength);
    return true;
}

void CSC_Transport::TakeResponse(const std::uint8_t* recv, std::size_t length, bool secretData) {
    const std::size_t dataLength = length - 2;
    if (m_response.size() < dataLength) m_response.resize(dataLength);
    std::copy(recv, recv + dataLength, m_response.begin());
    m_dwResponseLen = static_cast<std::uint32_t>(dataLength);
    m_wSW1 = recv[length - 2];
    m_wSW2 = recv[length - 1];
    CardTrace::dump(CardTrace::cLevelApdu, "[data received from card]", recv, length, 0,
                    secretData ? dataLength : 0);
}

bool CSC_Transport::SendToCard() {
    CardTrace::write(CardTrace::cLevelDetail, "--entering CSC_Profile_Base::SendToCard\n");
    CardTrace::write(CardTrace::cLevelDetail, "m_hScard : 0x%08lX\n", traceValue(m_hScard));

    if (m_dwApduCase == cCaseHeaderLe) m_wLc = m_wLe;
    const kivo::card::CommandApdu command{m_dwApduCase, m_bCla, m_bIns, m_bP1, m_bP2,
                                          m_wLc,        m_wLe,  m_pData, m_wDataLen};
    const std::size_t length = kivo::card::encodedLength(command);
    if (length == 0) {
        CardTrace::write(CardTrace::cLevelDetail, "leaving CSC_Profile_Base::SendToCard\n");
        return false;
    }
    if (!kivo::card::dataMatchesLc(command)) {
        CardTrace::write(CardTrace::cLevelInfo,
                         "SendToCard: command data (%u bytes) do not match Lc (%u)\n",
                         static_cast<unsigned>(m_wDataLen), static_cast<unsigned>(m_wLc));
        return false;
    }

    CheckProtocol();
    const SCARD_IO_REQUEST* pci = m_useT1 ? &kPciT1 : &kPciT0;

    m_lastSelect.clear();
    WipedBuffer apdu(length);
    kivo::card::encodeApdu(command, {apdu.data(), length});
    std::size_t maskFrom = 0;
    std::size_t maskLength = 0;
    kivo::secretDataRange(apdu.data(), length, maskFrom, maskLength);
    const bool secretAnswer = kivo::secretAnswer(apdu.data(), length);

    WipedBuffer recv(kReceiveBufferSize);
    // The capacity plus the status word; a 512-byte capacity receives at
    // most 510 data bytes unless the card operating system sends 512.
    std::uint64_t wanted = std::uint64_t{m_dwResponseLen} + 2;
    if (wanted == kReceiveBufferSize && !ReceivesFull512ByteAnswers()) wanted = 512;
    DWORD recvLength = static_cast<DWORD>(std::min<std::uint64_t>(wanted, kReceiveBufferSize));

    CardTrace::dump(CardTrace::cLevelApdu, "[data sent to card]", apdu.data(), length, maskFrom,
                    maskLength);
    const LONG rc = kivo::pcscApi().Transmit(m_hScard, pci, apdu.data(), static_cast<DWORD>(length),
                                             nullptr, recv.data(), &recvLength);
    if (rc != SCARD_S_SUCCESS) {
        CardTrace::write(CardTrace::cLevelInfo, "SCardTransmit failed (0x%08lX LastError:%lx)\n",
                         traceValue(rc), traceValue(rc));
        CardTrace::write(CardTrace::cLevelDetail, "leavingCSC_Profile_Base::SendToCard\n");
        return false;
    }
    // A reader claiming more than the buffer holds is not believed.
    recvLength = std::min<DWORD>(recvLength, kReceiveBufferSize);

    if (!m_useT1 && recvLength == 2 && recv[0] == kStatusMoreData) {
        if (!GetResponse(recv.data(), recvLength)) return false;
    }
    if (recvLength < 2) return true;
    TakeResponse(recv.data(), recvLength, secretAnswer);
    if (m_bIns == kInsSelect && StatusWord() == kStatusOk) m_lastSelect.assign(apdu.data(), apdu.data() + length);
    CardTrace::write(CardTrace::cLevelDetail, "--leaving CSC_Profile_Base::SendToCard\n");
    return true;
}

bool CSC_Transport::RepeatsLastSelect() const {
    if (m_lastSelect.empty() || m_bIns != kInsSelect) return false;
    const std::uint16_t lc = m_dwApduCase == cCaseHeaderLe ? m_wLe : m_wLc;
    const kivo::card::CommandApdu command{m_dwApduCase, m_bCla, m_bIns, m_bP1, m_bP2,
                                          lc,           m_wLe,  m_pData, m_wDataLen};
    const std::size_t length = kivo::card::encodedLength(command);
    if (length != m_lastSelect.size() || !kivo::card::dataMatchesLc(command)) return false;
    std::vector<std::uint8_t> encoded(length);
    kivo::card::encodeApdu(command, {encoded.data(), length});
    return encoded == m_lastSelect;
}

LONG CSC_Transport::CallControl(std::uint32_t controlCode, const std::uint8_t* input,
                                std::uint32_t inputLength, std::uint8_t* output, DWORD outputSize,
                                DWORD& returned) {
    m_lastSelect.clear();  // a reader request may send the card a command of its own
    const bool withInput = input != nullptr && inputLength != 0;
    WipedBuffer in(std::size_t{inputLength} + 2);
    if (withInput) {
        std::memcpy(in.data(), input, inputLength);
        // The PACE request carries the PACE secret in its input; it is traced masked.
        const bool secretInput = m_pcsc != nullptr && m_pcsc->executePace() != 0 &&
                                 controlCode == m_pcsc->executePace();
        CardTrace::dump(CardTrace::cLevelApdu, "[data sent to card]", input, inputLength, 0,
                        secretInput ? inputLength : 0);
    }
    returned = 0;
    const LONG rc = kivo::pcscApi().Control(m_hScard, controlCode, withInput ? in.data() : nullptr,
                                            withInput ? inputLength : 0, output, outputSize, &returned);
    if (rc != SCARD_S_SUCCESS) {
        CardTrace::write(CardTrace::cLevelInfo, "SCardControl failed 0x%lx\n", traceValue(rc));
        return rc;
    }
    returned = std::min<DWORD>(returned, outputSize);
    return rc;
}

bool CSC_Transport::TransmitControl(std::uint32_t controlCode, const std::uint8_t* input,
                                    std::uint32_t inputLength) {
    if (input == nullptr) inputLength = 0;
    const bool withInput = inputLength != 0;
    if (withInput) {
        CardTrace::write(CardTrace::cLevelDetail, "--entering CSC_Profile_Base::TransmitControl\n");
    }
    CheckProtocol();

    std::vector<std::uint8_t> output(kControlBufferSize, 0);
    const std::uint64_t requested = std::uint64_t{m_dwResponseLen} + 2;
    const DWORD outputSize = requested == kControlLargeRequest
                                 ? kControlLargeSize
                                 : static_cast<DWORD>(std::min<std::uint64_t>(requested, kControlDefaultLimit));
    DWORD returned = 0;
    if (CallControl(controlCode, input, inputLength, output.data(), outputSize, returned) !=
        SCARD_S_SUCCESS) {
        return false;
    }
    if (!withInput) {
        if (m_response.size() < returned) m_response.resize(returned);
        std::copy(output.begin(), output.begin() + returned, m_response.begin());
        m_dwResponseLen = returned;
        return true;
    }
    if (!m_useT1 && returned == 2 && output[0] == kStatusMoreData) {
        if (!GetResponse(output.data(), returned)) return false;
    }
    if (returned >= 2) TakeResponse(output.data(), returned, false);
    CardTrace::write(CardTrace::cLevelDetail, "--leaving CSC_Profile_Base::TransmitControl\n");
    return true;
}

bool CSC_Transport::ExecutePace(const std::vector<std::uint8_t>& request,
                                std::vector<std::uint8_t>& answer) {
    answer.clear();
    if (!IsPaceAvailable() || request.empty()) return false;
    std::vector<std::uint8_t> output(kPaceAnswerCapacity, 0);
    DWORD returned = 0;
    if (CallControl(m_pcsc->executePace(), request.data(), static_cast<std::uint32_t>(request.size()),
                    output.data(), static_cast<DWORD>(output.size()), returned) != SCARD_S_SUCCESS) {
        return false;
    }
    answer.assign(output.begin(), output.begin() + returned);
    CardTrace::dump(CardTrace::cLevelApdu, "[reader answer]", answer.data(), answer.size());
    return true;
}

std::uint32_t CSC_Transport::Connect(const char* readerName, SCARDCONTEXT context) {
    const kivo::PcscApi& api = kivo::pcscApi();
    if (context == 0) {
        if (!m_hasOwnContext) {
            if (api.EstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &m_ownContext) !=
                SCARD_S_SUCCESS) {
                return kResultFailed;
            }
            m_hasOwnContext = true;
        }
        context = m_ownContext;
    }
    m_lastSelect.clear();
    if (m_hScard != 0) {
        api.Disconnect(m_hScard, SCARD_LEAVE_CARD);
        m_hScard = 0;
    }
    if (readerName == nullptr) return kResultFailed;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    const LONG rc = api.Connect(context, readerName, SCARD_SHARE_SHARED,
                                SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    CardTrace::write(CardTrace::cLevelDetail, "SCardConnect lReturn : 0x%08lX\n", traceValue(rc));
    if (rc != SCARD_S_SUCCESS) {
        m_hScard = 0;
        return kResultFailed;
    }
    m_hScard = card;
    m_connectedReader = readerName;
    m_connectedContext = context;
    CardTrace::write(CardTrace::cLevelDetail, "m_hScard : 0x%08lX\n", traceValue(m_hScard));
    DWORD active = 0;
    const LONG status = readProtocol(m_hScard, active);
    CardTrace::write(CardTrace::cLevelDetail, "SCardStatus lReturn : 0x%08lX\n", traceValue(status));
    return kResultOk;
}

long CSC_Transport::ReconnectProtocol(DWORD protocol) {
    DWORD active = 0;
    LONG rc = readProtocol(m_hScard, active);
    if (rc != SCARD_S_SUCCESS || active == protocol) return rc;
    m_lastSelect.clear();
    rc = kivo::pcscApi().Reconnect(m_hScard, SCARD_SHARE_SHARED, protocol, SCARD_RESET_CARD, &active);
    return rc;
}

bool CSC_Transport::RefreshPinPadFeatures() {
    m_pcsc = std::make_unique<CSC_Pcsc>(m_hScard);
    char name[256] = {};
    DWORD length = sizeof name - 1;
    const LONG rc = kivo::pcscApi().GetAttrib(m_hScard, cAttrDeviceSystemName,
                                              reinterpret_cast<LPBYTE>(name), &length);
    if (rc == SCARD_S_SUCCESS && length <= sizeof name - 1) {
        // The attribute may or may not include its terminating NUL.
        m_readerSystemName.assign(name, strnlen(name, length));
    } else {
        m_readerSystemName = "UNKNOWN";
    }
    return m_pcsc->isPinPad();
}

std::uint32_t CSC_Transport::StartVerifyPinPad() { return StartVerifyPinPadWith(m_verifyStruct); }

std::uint32_t CSC_Transport::StartVerifyPinPadWith(const std::vector<std::uint8_t>& input) {
    SetResponseCapacity(256);
    if (m_pcsc == nullptr) return kPinPadFailed;
    const std::uint32_t code =
        m_pcsc->verifyPinStart() != 0 ? m_pcsc->verifyPinStart() : m_pcsc->verifyPinDirect();
    if (code == 0 || input.empty()) return kPinPadFailed;
    return TransmitControl(code, input.data(), static_cast<std::uint32_t>(input.size()))
               ? kPinPadOk
               : kPinPadFailed;
}

bool CSC_Transport::FinishVerifyPinPad() {
    SetResponseCapacity(256);
    if (m_pcsc == nullptr || m_pcsc->verifyPinStart() == 0) return true;
    return TransmitControl(m_pcsc->verifyPinFinish(), kFinishInput, sizeof kFinishInput);
}

std::uint32_t CSC_Transport::StartModifyPinPad() { return StartModifyPinPadWith(m_modifyStruct); }

std::uint32_t CSC_Transport::StartModifyPinPadWith(const std::vector<std::uint8_t>& input) {
    SetResponseCapacity(256);
    if (m_pcsc == nullptr) return kPinPadFailed;
    const std::uint32_t code =
        m_pcsc->modifyPinStart() != 0 ? m_pcsc->modifyPinStart() : m_pcsc->modifyPinDirect();
    if (code == 0 || input.empty()) return kPinPadFailed;
    return TransmitControl(code, input.data(), static_cast<std::uint32_t>(input.size()))
               ? kPinPadOk
               : kPinPadFailed;
}

bool CSC_Transport::FinishModifyPinPad() {
    SetResponseCapacity(256);
    if (m_pcsc == nullptr || m_pcsc->modifyPinStart() == 0) return true;
    return TransmitControl(m_pcsc->modifyPinFinish(), kFinishInput, sizeof kFinishInput);
}

std::uint8_t CSC_Transport::GetKeyPressed() {
    SetResponseCapacity(256);
    m_keyPollFailed = false;
    if (m_pcsc == nullptr || m_pcsc->getKeyPressed() == 0) return 1;
    if (!TransmitControl(m_pcsc->getKeyPressed(), nullptr, 0) || m_dwResponseLen != 1) {
        m_keyPollFailed = true;
        return 0;
    }
    return m_response[0];
}
