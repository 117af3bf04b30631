#include "tests/support/card/EmulatedPinPad.h"

#include <PCSC/reader.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

namespace kivo::test {

namespace {

EmulatedPinPad* g_pad = nullptr;

constexpr std::uint8_t kTagVerifyStart = 0x01, kTagVerifyFinish = 0x02, kTagModifyStart = 0x03,
                       kTagModifyFinish = 0x04, kTagKeyPressed = 0x05, kTagVerifyDirect = 0x06,
                       kTagModifyDirect = 0x07, kTagExecutePace = 0x20;
// Key events of GET_KEY_PRESSED: a digit, OK, cancel, time-out.
constexpr std::uint8_t kKeyDigit = 0x2B, kKeyOk = 0x0D, kKeyCancel = 0x1B, kKeyTimeout = 0x40;
// Reader status words ending an entry without a card command.
constexpr std::uint16_t kSwTimedOut = 0x6400, kSwCancelled = 0x6401, kSwPinsDiffer = 0x6402, kSwLengthWrong = 0x6403;

// Where the fields sit in the two structures.
struct Layout {
    std::size_t maxDigit;       // wPINMaxExtraDigit: maximum, then minimum
    std::size_t dataLength;     // ulDataLength
    std::size_t data;           // abData
};
constexpr Layout kVerifyLayout = {5, 15, 19};
constexpr Layout kModifyLayout = {7, 20, 24};
constexpr std::size_t kFormatString = 2, kBlockString = 3, kLengthFormat = 4, kOffsetOld = 5, kOffsetNew = 6,
                      kConfirmPin = 9, kHeaderLength = 4;
constexpr std::uint8_t kConfirmAsksCurrent = 0x02, kConfirmAsksTwice = 0x01;

// A PIN field as bmFormatString, bmPINBlockString and bmPINLengthFormat
// describe it, positions in bits from the first bit of the block.
struct BlockFormat {
    std::size_t pinBit;
    std::size_t digitBits;  // 4 for BCD, 8 for ASCII and binary
    bool ascii;
    bool rightJustified;
    std::size_t blockBytes;
    std::size_t lengthBits;
    std::size_t lengthBit;
};

BlockFormat blockFormat(const PadBytes& structure) {
    const std::uint8_t format = structure[kFormatString];
    const std::uint8_t block = structure[kBlockString];
    const std::uint8_t lengthFormat = structure[kLengthFormat];
    const std::size_t pinUnit = (format & 0x80) != 0 ? 8 : 1;
    const std::size_t lengthUnit = (lengthFormat & 0x10) != 0 ? 8 : 1;
    const std::uint8_t type = format & 0x03;
    return {static_cast<std::size_t>((format >> 3) & 0x0F) * pinUnit,
            type == 0x01 ? 4u : 8u,
            type == 0x02,
            (format & 0x04) != 0,
            static_cast<std::size_t>(block & 0x0F),
            static_cast<std::size_t>(block >> 4),
            static_cast<std::size_t>(lengthFormat & 0x0F) * lengthUnit};
}

// Writes the low `bits` bits of `value` at bit `at` (most significant bit
// first) of `data`; the caller has checked the range.
void putBits(PadBytes& data, std::size_t at, std::size_t bits, unsigned value) {
    for (std::size_t i = 0; i < bits; ++i) {
        const std::size_t bit = at + i;
        const auto mask = static_cast<std::uint8_t>(0x80 >> (bit % 8));
        if (((value >> (bits - 1 - i)) & 1u) != 0) {
            data[bit / 8] |= mask;
        } else {
            data[bit / 8] &= static_cast<std::uint8_t>(~mask);
        }
    }
}

bool allDigits(const std::string& pin) {
    return !pin.empty() && std::all_of(pin.begin(), pin.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Fills one PIN into the block at byte `offset` of the command data: the
// digits at the PIN position, the length in the length field; the rest of
// the template stays as the library sent it.
bool fillBlock(PadBytes& data, std::size_t offset, const BlockFormat& format, const std::string& pin) {
    const std::size_t blockBits = format.blockBytes * 8;
    if (offset > data.size() || format.blockBytes > data.size() - offset) return false;
    const std::size_t pinBits = pin.size() * format.digitBits;
    if (format.pinBit > blockBits || pinBits > blockBits - format.pinBit) return false;
    if (format.lengthBits > 16 || format.lengthBit > blockBits ||
        format.lengthBits > blockBits - format.lengthBit) {
        return false;
    }
    const std::size_t base = offset * 8;
    std::size_t at = base + (format.rightJustified ? blockBits - pinBits : format.pinBit);
    for (const char digit : pin) {
        putBits(data, at, format.digitBits, format.ascii ? static_cast<unsigned>(digit)
                                                         : static_cast<unsigned>(digit - '0'));
        at += format.digitBits;
    }
    if (format.lengthBits != 0) {
        putBits(data, base + format.lengthBit, format.lengthBits, static_cast<unsigned>(pin.size()));
    }
    return true;
}

// A block size of 0: the reader appends the PINs' characters to a bare
// header and sets Lc to their length.
std::optional<PadBytes> appendedPins(const PadBytes& header, const BlockFormat& format,
                                     const std::vector<std::string>& pins) {
    if (header.size() != kHeaderLength || format.digitBits != 8) return std::nullopt;
    PadBytes data;
    for (const std::string& pin : pins) {
        for (const char digit : pin) {
            data.push_back(format.ascii ? static_cast<std::uint8_t>(digit)
                                        : static_cast<std::uint8_t>(digit - '0'));
        }
    }
    if (data.empty() || data.size() > 0xFF) return std::nullopt;
    PadBytes apdu = header;
    apdu.push_back(static_cast<std::uint8_t>(data.size()));
    apdu.insert(apdu.end(), data.begin(), data.end());
    OPENSSL_cleanse(data.data(), data.size());
    return apdu;
}

// The APDU template of a structure: exactly ulDataLength bytes after it.
std::optional<PadBytes> apduTemplate(const PadBytes& structure, const Layout& layout) {
    if (structure.size() < layout.data) return std::nullopt;
    std::size_t length = 0;
    for (int i = 3; i >= 0; --i) length = (length << 8) | structure[layout.dataLength + i];
    if (length < kHeaderLength || length != structure.size() - layout.data) return std::nullopt;
    return PadBytes(structure.begin() + static_cast<std::ptrdiff_t>(layout.data), structure.end());
}

// EXECUTE_PACE functions, the card access number's PinID, and the reader
// results the pad gives: success, the user's cancel and time-out, the
// card's status word when it refuses the last GENERAL AUTHENTICATE step
// (6300 when the passwords differ: the two sides' tokens do), and a card
// that does not answer.
constexpr std::uint8_t kPaceEstablish = 0x02, kPaceDestroy = 0x03, kPasswordCan = 0x02;
constexpr std::uint32_t kResultOk = 0x00000000, kResultCancelled = 0xF0200001, kResultTimedOut = 0xF0200002,
                        kResultCardStatusLastStep = 0xF0040000, kResultCommunicationAbort = 0xF0100001;
// An EF.CardAccess with one PACE info (id-PACE-ECDH-GM-AES-CBC-CMAC-128,
// version 2, brainpoolP256r1).
const PadBytes kCardAccess = {0x31, 0x14, 0x30, 0x12, 0x06, 0x0A, 0x04, 0x00, 0x7F, 0x00, 0x07, 0x02,
                              0x02, 0x04, 0x02, 0x02, 0x02, 0x01, 0x02, 0x02, 0x01, 0x0D};

// A reader answer: result, wLengthOutputData, output (little-endian).
PadBytes paceAnswer(std::uint32_t result, const PadBytes& output) {
    PadBytes answer = {static_cast<std::uint8_t>(result), static_cast<std::uint8_t>(result >> 8),
                       static_cast<std::uint8_t>(result >> 16), static_cast<std::uint8_t>(result >> 24),
                       static_cast<std::uint8_t>(output.size()),
                       static_cast<std::uint8_t>(output.size() >> 8)};
    answer.insert(answer.end(), output.begin(), output.end());
    return answer;
}

PadBytes statusWord(std::uint16_t sw) {
    return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)};
}

LONG emulatedControl(SCARDHANDLE card, DWORD code, LPCVOID in, DWORD inLength, LPVOID out,
                     DWORD outLength, LPDWORD returned) {
    const auto* input = static_cast<const std::uint8_t*>(in);
    const PadBytes bytes = input != nullptr ? PadBytes(input, input + inLength) : PadBytes{};
    return g_pad->control(card, code, bytes, out, outLength, returned);
}

LONG emulatedGetAttrib(SCARDHANDLE card, DWORD id, LPBYTE attribute, LPDWORD length) {
    if (id == SCARD_ATTR_DEVICE_SYSTEM_NAME_A) return g_pad->systemName(attribute, length);
    return g_pad->lower().GetAttrib(card, id, attribute, length);
}

}  // namespace

std::uint32_t pinPadControlCode(std::uint8_t featureTag) { return 0x42330000u | featureTag; }

std::optional<PadBytes> pinPadApdu(const PadBytes& structure, bool modify,
                                   const std::vector<std::string>& pins) {
    const Layout& layout = modify ? kModifyLayout : kVerifyLayout;
    const std::optional<PadBytes> apdu = apduTemplate(structure, layout);
    if (!apdu || pins.empty() || pins.size() > 2) return std::nullopt;
    if (!std::all_of(pins.begin(), pins.end(), allDigits)) return std::nullopt;
    const BlockFormat format = blockFormat(structure);
    if (format.blockBytes == 0) return appendedPins(*apdu, format, pins);
    if (apdu->size() <= kHeaderLength + 1 || (*apdu)[kHeaderLength] != apdu->size() - kHeaderLength - 1) {
        return std::nullopt;
    }
    PadBytes data(apdu->begin() + kHeaderLength + 1, apdu->end());
    // Verify: the block at the start; modify: at the insertion offsets.
    const std::size_t newOffset = modify ? structure[kOffsetNew] : 0;
    const bool withCurrent = pins.size() == 2;
    const bool filled = (!withCurrent || fillBlock(data, structure[kOffsetOld], format, pins[0])) &&
                        fillBlock(data, newOffset, format, pins.back());
    PadBytes command;
    if (filled) {
        command.assign(apdu->begin(), apdu->begin() + kHeaderLength + 1);
        command.insert(command.end(), data.begin(), data.end());
    }
    OPENSSL_cleanse(data.data(), data.size());
    if (!filled) return std::nullopt;
    return command;
}

EmulatedPinPad::EmulatedPinPad(PinPadFeatures features, std::string systemName)
    : m_lower(pcscApi()), m_table(pcscApi()), m_features(features), m_systemName(std::move(systemName)) {
    m_table.Control = emulatedControl;
    m_table.GetAttrib = emulatedGetAttrib;
    m_previous = &pcscApi();
    g_pad = this;
    setPcscApi(&m_table);
}

EmulatedPinPad::~EmulatedPinPad() {
    setPcscApi(m_previous);
    g_pad = nullptr;
    if (m_pending) OPENSSL_cleanse(m_pending->apdu.data(), m_pending->apdu.size());
}

void EmulatedPinPad::type(std::vector<std::string> pins, std::vector<std::uint8_t> keys) {
    m_entries.push_back({std::move(pins), PinPadEntry::End::Confirmed, std::move(keys)});
}
void EmulatedPinPad::cancel() { m_entries.push_back({{}, PinPadEntry::End::Cancelled, {}}); }
void EmulatedPinPad::timeOut() { m_entries.push_back({{}, PinPadEntry::End::TimedOut, {}}); }

PadBytes EmulatedPinPad::featureList() const {
    PadBytes list;
    const auto offer = [&list](bool offered, std::uint8_t tag) {
        if (!offered) return;
        const std::uint32_t code = pinPadControlCode(tag);
        list.insert(list.end(), {tag, 0x04, static_cast<std::uint8_t>(code >> 24),
                                 static_cast<std::uint8_t>(code >> 16),
                                 static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)});
    };
    offer(m_features.verifyStartFinish, kTagVerifyStart);
    offer(m_features.verifyStartFinish, kTagVerifyFinish);
    offer(m_features.modifyStartFinish, kTagModifyStart);
    offer(m_features.modifyStartFinish, kTagModifyFinish);
    offer(m_features.keyPressed, kTagKeyPressed);
    offer(m_features.verifyDirect, kTagVerifyDirect);
    offer(m_features.modifyDirect, kTagModifyDirect);
    offer(m_features.executePace, kTagExecutePace);
    return list;
}

// Takes the next scripted entry for a structure: the APDU to send, or the
// reader's own answer (cancel, time-out, new PINs that differ, a PIN
// outside the structure's length range), and the key events of the entry.
std::optional<EmulatedPinPad::Pending> EmulatedPinPad::startEntry(const PadBytes& structure,
                                                                  bool modify) {
    const Layout& layout = modify ? kModifyLayout : kVerifyLayout;
    if (m_entries.empty() || structure.size() < layout.data) return std::nullopt;
    PinPadEntry entry = std::move(m_entries.front());
    m_entries.pop_front();
    Pending pending{modify, entry.end, {}, 0, {}};
    if (entry.end != PinPadEntry::End::Confirmed) {
        pending.refusal = entry.end == PinPadEntry::End::Cancelled ? kSwCancelled : kSwTimedOut;
        pending.keys.push_back(entry.end == PinPadEntry::End::Cancelled ? kKeyCancel : kKeyTimeout);
        return pending;
    }
    const std::uint8_t confirm = modify ? structure[kConfirmPin] : 0;
    const std::size_t expected = 1 + ((confirm & kConfirmAsksCurrent) != 0 ? 1 : 0) +
                                 ((confirm & kConfirmAsksTwice) != 0 ? 1 : 0);
    if (entry.pins.size() != expected) return std::nullopt;
    pending.keys.assign(entry.keys.begin(), entry.keys.end());
    if (entry.keys.empty()) {
        for (const std::string& pin : entry.pins) {
            pending.keys.insert(pending.keys.end(), pin.size(), kKeyDigit);
            pending.keys.push_back(kKeyOk);
        }
    }
    const std::size_t maximum = structure[layout.maxDigit];
    const std::size_t minimum = structure[layout.maxDigit + 1];
    std::vector<std::string> pins = entry.pins;
    if ((confirm & kConfirmAsksTwice) != 0) {
        if (pins.back() != pins[pins.size() - 2]) pending.refusal = kSwPinsDiffer;
        pins.pop_back();
    }
    for (const std::string& pin : pins) {
        if (pin.size() < minimum || pin.size() > maximum) pending.refusal = kSwLengthWrong;
    }
    if (pending.refusal != 0) return pending;
    std::optional<PadBytes> apdu = pinPadApdu(structure, modify, pins);
    if (!apdu) return std::nullopt;
    pending.apdu = std::move(*apdu);
    return pending;
}

PadBytes EmulatedPinPad::finishEntry(SCARDHANDLE card, Pending& entry) {
    if (entry.refusal != 0) return statusWord(entry.refusal);
    PadBytes answer = transmitToCard(card, entry.apdu);
    OPENSSL_cleanse(entry.apdu.data(), entry.apdu.size());
    return answer;
}

PadBytes EmulatedPinPad::transmitToCard(SCARDHANDLE card, const PadBytes& apdu) {
    char names[256];
    DWORD namesLength = sizeof names;
    DWORD state = 0;
    DWORD protocol = SCARD_PROTOCOL_T1;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    m_lower.Status(card, names, &namesLength, &state, &protocol, atr, &atrLength);
    const SCARD_IO_REQUEST pci = {protocol, sizeof(SCARD_IO_REQUEST)};
    PadBytes answer(258);
    DWORD length = static_cast<DWORD>(answer.size());
    if (m_lower.Transmit(card, &pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr,
                         answer.data(), &length) != SCARD_S_SUCCESS) {
        return {};
    }
    answer.resize(length);
    return answer;
}

LONG EmulatedPinPad::answer(const PadBytes& output, LPVOID out, DWORD outLength, LPDWORD returned) {
    if (returned == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (output.size() > outLength || (out == nullptr && !output.empty())) {
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (!output.empty()) std::memcpy(out, output.data(), output.size());
    *returned = static_cast<DWORD>(output.size());
    return SCARD_S_SUCCESS;
}

LONG EmulatedPinPad::refuse() {
    ++m_refusals;
    if (m_pending) OPENSSL_cleanse(m_pending->apdu.data(), m_pending->apdu.size());
    m_pending.reset();
    return SCARD_E_INVALID_PARAMETER;
}

LONG EmulatedPinPad::control(SCARDHANDLE card, DWORD code, const PadBytes& input, LPVOID out,
                             DWORD outLength, LPDWORD returned) {
    const bool verifyStart = code == pinPadControlCode(kTagVerifyStart) && m_features.verifyStartFinish;
    const bool modifyStart = code == pinPadControlCode(kTagModifyStart) && m_features.modifyStartFinish;
    const bool verifyDirect = code == pinPadControlCode(kTagVerifyDirect) && m_features.verifyDirect;
    const bool modifyDirect = code == pinPadControlCode(kTagModifyDirect) && m_features.modifyDirect;
    const bool finish = (code == pinPadControlCode(kTagVerifyFinish) && m_features.verifyStartFinish) ||
                        (code == pinPadControlCode(kTagModifyFinish) && m_features.modifyStartFinish);
    if (code == CM_IOCTL_GET_FEATURE_REQUEST) return answer(featureList(), out, outLength, returned);
    if (verifyStart || modifyStart || verifyDirect || modifyDirect) {
        m_pending = startEntry(input, modifyStart || modifyDirect);
        if (!m_pending) return refuse();
        if (verifyStart || modifyStart) return answer({}, out, outLength, returned);
        const PadBytes result = finishEntry(card, *m_pending);
        m_pending.reset();
        return answer(result, out, outLength, returned);
    }
    if (finish) {
        const bool modify = code == pinPadControlCode(kTagModifyFinish);
        if (!m_pending || m_pending->modify != modify) return refuse();
        const PadBytes result = finishEntry(card, *m_pending);
        m_pending.reset();
        return answer(result, out, outLength, returned);
    }
    if (code == pinPadControlCode(kTagKeyPressed) && m_features.keyPressed) {
        // No entry under way, or every key already told: the reader has
        // nothing more to say, which ends the library's key loop.
        if (!m_pending || m_pending->keys.empty()) return refuse();
        const std::uint8_t key = m_pending->keys.front();
        m_pending->keys.pop_front();
        return answer({key}, out, outLength, returned);
    }
    if (code == pinPadControlCode(kTagExecutePace) && m_features.executePace) {
        m_paceRequests.push_back(input);
        const PadBytes result = executePace(card, input);
        return result.empty() ? refuse() : answer(result, out, outLength, returned);
    }
    return m_lower.Control(card, code, input.empty() ? nullptr : input.data(),
                           static_cast<DWORD>(input.size()), out, outLength, returned);
}

// EXECUTE_PACE: bIdxFunction, wLengthInputData (little-endian), input.
// Nothing for a request that is not well formed.
PadBytes EmulatedPinPad::executePace(SCARDHANDLE card, const PadBytes& input) {
    if (input.size() < 3 || input.size() != 3u + (input[1] | (input[2] << 8))) return {};
    if (input[0] == kPaceEstablish) return establishChannel(card, input);
    if (input[0] != kPaceDestroy || input.size() != 3) return {};
    transmitToCard(card, {0x80, 0xF0, 0x01, 0x00});
    m_channel = false;
    return paceAnswer(kResultOk, {});
}

// PinID, lengthCHAT, CHAT, lengthPIN, PIN, lengthCertificateDescription (2),
// certificate description.
PadBytes EmulatedPinPad::establishChannel(SCARDHANDLE card, const PadBytes& input) {
    const std::size_t pinAt = 5;
    if (input.size() < pinAt + 2 || input[3] != kPasswordCan ||
        input[4] != 0 || input.size() != pinAt + 1 + input[pinAt] + 2 ||
        input[input.size() - 2] != 0 || input.back() != 0) {
        return {};
    }
    std::string password(input.begin() + pinAt + 1, input.end() - 2);
    if (password.empty()) {
        if (m_entries.empty()) return {};
        const PinPadEntry entry = std::move(m_entries.front());
        m_entries.pop_front();
        if (entry.end != PinPadEntry::End::Confirmed) {
            return paceAnswer(entry.end == PinPadEntry::End::Cancelled ? kResultCancelled
                                                                       : kResultTimedOut,
                              {});
        }
        if (entry.pins.size() != 1) return {};
        password = entry.pins.front();
    }
    // The card's side of the protocol: vcard's PACE hook with the password.
    PadBytes hook = {0x80, 0xF0, 0x00, 0x00, static_cast<std::uint8_t>(password.size())};
    hook.insert(hook.end(), password.begin(), password.end());
    OPENSSL_cleanse(password.data(), password.size());
    const PadBytes cardAnswer = transmitToCard(card, hook);
    OPENSSL_cleanse(hook.data(), hook.size());
    if (cardAnswer.size() < 2) return paceAnswer(kResultCommunicationAbort, {});
    const auto sw = static_cast<std::uint32_t>(cardAnswer[cardAnswer.size() - 2] << 8 | cardAnswer.back());
    m_channel = sw == 0x9000;
    if (!m_channel) return paceAnswer(kResultCardStatusLastStep | sw, {});
    // MSE SET AT answered 9000, EF.CardAccess, no CARs, no IDicc.
    PadBytes output = {0x90, 0x00, static_cast<std::uint8_t>(kCardAccess.size()), 0x00};
    output.insert(output.end(), kCardAccess.begin(), kCardAccess.end());
    output.insert(output.end(), {0x00, 0x00, 0x00, 0x00});
    return paceAnswer(kResultOk, output);
}

LONG EmulatedPinPad::systemName(LPBYTE attribute, LPDWORD length) const {
    if (length == nullptr) return SCARD_E_INVALID_PARAMETER;
    const DWORD needed = static_cast<DWORD>(m_systemName.size() + 1);
    if (attribute == nullptr || *length < needed) {
        *length = needed;
        return attribute == nullptr ? SCARD_S_SUCCESS : SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(attribute, m_systemName.c_str(), needed);
    *length = needed;
    return SCARD_S_SUCCESS;
}

}  // namespace kivo::test
