// A scripted PC/SC layer for the transport tests: readers with ATRs, a card that answers from a queue and
// records every APDU and control request exactly as the library hands them to PC/SC, and switches for failures
// and card removal. Installed for the lifetime of a ScriptedPcsc object.
#pragma once

#include "smartcard/key/ConfigSC.h"
#include "platform/PcscApi.h"

#include <PCSC/reader.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace kivo::test {

using Bytes = std::vector<std::uint8_t>;

// The send PCI's protocol, the APDU and the receive buffer size offered.
struct TransmitCall { DWORD protocol; Bytes apdu; DWORD receiveLength; };
struct ControlCall { DWORD code; Bytes input; bool inputIsNull; DWORD outputSize; };
struct ControlAnswer { LONG result; Bytes output; };

struct PcscScript {
    // Readers and the ATR of the card in each (empty: no card).
    std::vector<std::string> readers;
    std::map<std::string, Bytes> atrs;
    LONG establishResult = SCARD_S_SUCCESS;
    LONG listResult = SCARD_S_SUCCESS;
    // Raw multi-string to hand out instead of one built from `readers`.
    bool useRawList = false;
    std::string rawList;

    DWORD protocol = SCARD_PROTOCOL_T1;
    LONG connectResult = SCARD_S_SUCCESS;
    SCARDHANDLE nextHandle = 0x1234;
    std::deque<Bytes> answers;       // Transmit answers in order
    // When set, answers every Transmit instead of `answers` (a card model).
    std::function<Bytes(const Bytes&)> cardModel;
    LONG transmitResult = SCARD_S_SUCCESS;
    // Number of Transmit calls that succeed before the card is pulled; -1 keeps the card in. After removal
    // every card call reports it.
    int transmitsBeforeRemoval = -1;
    bool removed = false;
    std::deque<ControlAnswer> controlAnswers;
    LONG attribResult = SCARD_S_SUCCESS;
    std::string systemName = "vpcd 0";

    // What the library did.
    std::vector<TransmitCall> transmits;
    std::vector<ControlCall> controls;
    std::vector<DWORD> statusChangeTimeouts;
    std::vector<DWORD> statusChangeCurrentStates;
    std::vector<std::string> connectedReaders;
    std::vector<std::pair<DWORD, DWORD>> reconnects;  // protocol, initialisation
    std::vector<std::pair<SCARDHANDLE, DWORD>> disconnects;
    int statusCalls = 0, establishCalls = 0, releaseCalls = 0, freeCalls = 0;
};

inline PcscScript* g_script = nullptr;

namespace scripted {

inline LONG establishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    ++g_script->establishCalls;
    if (g_script->establishResult != SCARD_S_SUCCESS) return g_script->establishResult;
    *context = 0x77;
    return SCARD_S_SUCCESS;
}

inline LONG releaseContext(SCARDCONTEXT) { return ++g_script->releaseCalls, SCARD_S_SUCCESS; }

// Answers the automatic allocation the library asks for only.
inline LONG listReaders(SCARDCONTEXT, LPCSTR, LPSTR readers, LPDWORD length) {
    if (g_script->listResult != SCARD_S_SUCCESS) return g_script->listResult;
    if (*length != SCARD_AUTOALLOCATE) return SCARD_E_INVALID_PARAMETER;
    std::string list;
    for (const auto& name : g_script->readers) list += name + '\0';
    list = g_script->useRawList ? g_script->rawList : list + '\0';
    char* memory = static_cast<char*>(std::malloc(list.size() + 1));
    std::memcpy(memory, list.data(), list.size());
    *reinterpret_cast<char**>(readers) = memory;
    *length = static_cast<DWORD>(list.size());
    return SCARD_S_SUCCESS;
}

inline LONG freeMemory(SCARDCONTEXT, LPCVOID memory) {
    ++g_script->freeCalls;
    std::free(const_cast<void*>(memory));
    return SCARD_S_SUCCESS;
}

inline LONG getStatusChange(SCARDCONTEXT, DWORD timeout, SCARD_READERSTATE* states, DWORD count) {
    g_script->statusChangeTimeouts.push_back(timeout);
    for (DWORD i = 0; i < count; ++i) {
        g_script->statusChangeCurrentStates.push_back(states[i].dwCurrentState);
        const Bytes atr = g_script->atrs.count(states[i].szReader) ? g_script->atrs.at(states[i].szReader) : Bytes{};
        states[i].cbAtr = static_cast<DWORD>(atr.size());
        if (!atr.empty()) std::memcpy(states[i].rgbAtr, atr.data(), atr.size());
        states[i].dwEventState = atr.empty() ? SCARD_STATE_EMPTY : SCARD_STATE_PRESENT;
    }
    return SCARD_S_SUCCESS;
}

inline LONG connect(SCARDCONTEXT, LPCSTR reader, DWORD, DWORD, LPSCARDHANDLE card, LPDWORD protocol) {
    g_script->connectedReaders.emplace_back(reader);
    if (g_script->removed) return SCARD_E_NO_SMARTCARD;
    if (g_script->connectResult != SCARD_S_SUCCESS) return g_script->connectResult;
    *card = g_script->nextHandle++;
    *protocol = g_script->protocol;
    return SCARD_S_SUCCESS;
}

inline LONG reconnect(SCARDHANDLE, DWORD, DWORD preferred, DWORD initialization, LPDWORD active) {
    g_script->reconnects.emplace_back(preferred, initialization);
    *active = g_script->protocol = preferred;
    return SCARD_S_SUCCESS;
}

inline LONG disconnect(SCARDHANDLE card, DWORD disposition) {
    return g_script->disconnects.emplace_back(card, disposition), SCARD_S_SUCCESS;
}

inline LONG status(SCARDHANDLE, LPSTR, LPDWORD, LPDWORD state, LPDWORD protocol, LPBYTE, LPDWORD) {
    ++g_script->statusCalls;
    if (g_script->removed) return SCARD_W_REMOVED_CARD;
    if (state != nullptr) *state = SCARD_PRESENT | SCARD_POWERED;
    if (protocol != nullptr) *protocol = g_script->protocol;
    return SCARD_S_SUCCESS;
}

inline LONG transmit(SCARDHANDLE, const SCARD_IO_REQUEST* sendPci, LPCBYTE send, DWORD sendLength,
                     SCARD_IO_REQUEST*, LPBYTE recv, LPDWORD recvLength) {
    if (g_script->transmitsBeforeRemoval == 0) g_script->removed = true;
    if (g_script->removed) return SCARD_W_REMOVED_CARD;
    if (g_script->transmitsBeforeRemoval > 0) --g_script->transmitsBeforeRemoval;
    g_script->transmits.push_back(
        {sendPci != nullptr ? sendPci->dwProtocol : 0, Bytes(send, send + sendLength), *recvLength});
    if (g_script->transmitResult != SCARD_S_SUCCESS) return g_script->transmitResult;
    if (!g_script->cardModel && g_script->answers.empty()) return SCARD_E_NOT_TRANSACTED;
    Bytes answer = g_script->cardModel ? g_script->cardModel(Bytes(send, send + sendLength)) : g_script->answers.front();
    if (!g_script->cardModel) g_script->answers.pop_front();
    if (answer.size() > *recvLength) return SCARD_E_INSUFFICIENT_BUFFER;
    if (!answer.empty()) std::memcpy(recv, answer.data(), answer.size());
    *recvLength = static_cast<DWORD>(answer.size());
    return SCARD_S_SUCCESS;
}

inline LONG control(SCARDHANDLE, DWORD code, LPCVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                    LPDWORD returned) {
    const auto* input = static_cast<const std::uint8_t*>(in);
    g_script->controls.push_back({code, input != nullptr ? Bytes(input, input + inLength) : Bytes{},
                                  in == nullptr, outLength});
    if (g_script->removed) return SCARD_W_REMOVED_CARD;
    if (g_script->controlAnswers.empty()) return SCARD_E_UNSUPPORTED_FEATURE;
    const ControlAnswer answer = g_script->controlAnswers.front();
    g_script->controlAnswers.pop_front();
    if (answer.result != SCARD_S_SUCCESS) return answer.result;
    if (answer.output.size() > outLength) return SCARD_E_INSUFFICIENT_BUFFER;
    if (!answer.output.empty()) std::memcpy(out, answer.output.data(), answer.output.size());
    *returned = static_cast<DWORD>(answer.output.size());
    return SCARD_S_SUCCESS;
}

inline LONG getAttrib(SCARDHANDLE, DWORD id, LPBYTE attribute, LPDWORD length) {
    if (g_script->attribResult != SCARD_S_SUCCESS) return g_script->attribResult;
    if (id != SCARD_ATTR_DEVICE_SYSTEM_NAME_A) return SCARD_E_UNSUPPORTED_FEATURE;
    const std::string& name = g_script->systemName;
    if (name.size() + 1 > *length) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(attribute, name.c_str(), name.size() + 1);
    *length = static_cast<DWORD>(name.size() + 1);
    return SCARD_S_SUCCESS;
}

inline const PcscApi kTable = {establishContext, releaseContext, listReaders, freeMemory, getStatusChange, connect,
                               reconnect,        disconnect,     status,      transmit,   control,         getAttrib};

}  // namespace scripted

// Owns a script and installs the scripted table while it lives.
class ScriptedPcsc {
public:
    ScriptedPcsc() : m_guard(scripted::kTable) { g_script = &script; }
    ~ScriptedPcsc() { g_script = nullptr; }
    ScriptedPcsc(const ScriptedPcsc&) = delete;
    PcscScript script;

private:
    ScopedPcscApi m_guard;
};


// Points the card trace at a fresh file in a private folder while it lives.
class ScopedTraceFile {
public:
    explicit ScopedTraceFile(int level = 9) : m_saved(cardSettings().m_settings) {
        const auto base = std::filesystem::temp_directory_path() /
                          ("kivo-trace-" + std::to_string(::getpid()) + "-" + std::to_string(s_counter++));
        std::filesystem::create_directories(base);
        m_path = (m_folder = base) / "kv.log";
        auto& settings = cardSettings().m_settings;
        settings.m_traceFile = m_path.string();
        settings.m_traceLevel = level;
        settings.m_traceEnabled = level != 0;
    }
    ~ScopedTraceFile() {
        cardSettings().m_settings = m_saved;
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    ScopedTraceFile(const ScopedTraceFile&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    bool exists() const { return std::filesystem::exists(m_path); }
    std::string contents() const {
        std::ostringstream out;
        out << std::ifstream(m_path, std::ios::binary).rdbuf();
        return out.str();
    }

private:
    static inline int s_counter = 0;
    ConfigSC::Settings m_saved;
    std::filesystem::path m_folder, m_path;
};

// The part-10 feature list of a pin-pad reader as the scripted reader hands it out (verify and modify
// start/finish, optionally the key poll).
namespace pinpad {
inline constexpr std::uint32_t kVerifyStart = 0x42330001, kVerifyFinish = 0x42330002, kModifyStart = 0x42330003,
                               kModifyFinish = 0x42330004, kKeyPressed = 0x42330005;

inline Bytes feature(std::uint8_t tag, std::uint32_t code) {
    return {tag, 0x04, static_cast<std::uint8_t>(code >> 24), static_cast<std::uint8_t>(code >> 16),
            static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
}

inline Bytes pinPadFeatures(bool withKeys = true) {
    Bytes list;
    for (const Bytes& part : {feature(0x01, kVerifyStart), feature(0x02, kVerifyFinish), feature(0x03, kModifyStart),
                              feature(0x04, kModifyFinish), withKeys ? feature(0x05, kKeyPressed) : Bytes{}}) {
        list.insert(list.end(), part.begin(), part.end());
    }
    return list;
}
}  // namespace pinpad

}  // namespace kivo::test
