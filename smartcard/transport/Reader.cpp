#include "smartcard/transport/Reader.h"

#include "smartcard/transport/CardTrace.h"
#include "platform/PcscApi.h"
#include "smartcard/transport/SC_Pcsc.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace {
constexpr const char* kDefaultReaderGroup = "SCard$DefaultReaders";
constexpr DWORD kInfinite = 0xFFFFFFFF;
}  // namespace

CReader::CReader() {
    const kivo::PcscApi& api = kivo::pcscApi();
    if (api.EstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &m_context) != SCARD_S_SUCCESS) {
        m_context = 0;
        return;
    }
    m_hasContext = true;
    DWORD length = SCARD_AUTOALLOCATE;
    char* list = nullptr;
    if (api.ListReaders(m_context, kDefaultReaderGroup, reinterpret_cast<LPSTR>(&list),
                        &length) != SCARD_S_SUCCESS ||
        list == nullptr) {
        return;
    }
    m_readerList = list;
    m_readerListLength = length;
    // The multi-string: names ended by NUL, the list ended by an empty name.
    // The returned length bounds the walk even when the final NUL is missing.
    std::size_t at = 0;
    while (at < length && list[at] != '\0') {
        std::size_t end = at;
        while (end < length && list[end] != '\0') ++end;
        m_names.emplace_back(list + at, end - at);
        at = end + 1;
    }
}

CReader::~CReader() {
    m_detected.reset();
    FreeStates();
    const kivo::PcscApi& api = kivo::pcscApi();
    if (m_readerList != nullptr) api.FreeMemory(m_context, m_readerList);
    if (m_hasContext) api.ReleaseContext(m_context);
}

int CReader::GetReaderCount() const { return static_cast<int>(m_names.size()); }

std::string CReader::GetReaderName(int index) const {
    if (index < 0 || index >= GetReaderCount()) return {};
    return m_names[static_cast<std::size_t>(index)];
}

void CReader::FreeStates() {
    m_states.clear();
    m_stateNames.clear();
}

long CReader::RefreshReaderStates() {
    FreeStates();
    if (m_readerList == nullptr || m_names.empty()) return -1;
    m_stateNames = m_names;
    m_states.resize(m_stateNames.size());
    for (std::size_t i = 0; i < m_states.size(); ++i) {
        m_states[i] = SCARD_READERSTATE{};
        m_states[i].szReader = m_stateNames[i].c_str();
        m_states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    return kivo::pcscApi().GetStatusChange(m_context, kInfinite, m_states.data(),
                                           static_cast<DWORD>(m_states.size()));
}

const SCARD_READERSTATE* CReader::StateOf(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= m_states.size()) return nullptr;
    return &m_states[static_cast<std::size_t>(index)];
}

bool CReader::IsCardPresent(int index) {
    RefreshReaderStates();
    const SCARD_READERSTATE* state = StateOf(index);
    return state != nullptr && state->cbAtr != 0;
}

std::string CReader::GetATRText(int index) {
    RefreshReaderStates();
    const SCARD_READERSTATE* state = StateOf(index);
    if (state == nullptr || state->cbAtr == 0) return "---";
    const std::size_t length = std::min<std::size_t>(state->cbAtr, sizeof state->rgbAtr);
    std::string text;
    char hex[4];
    for (std::size_t i = 0; i < length; ++i) {
        if (i != 0) text += ':';
        std::snprintf(hex, sizeof hex, "%02X", state->rgbAtr[i]);
        text += hex;
    }
    return text;
}

bool CReader::IsPinPadReader(int index) {
    const std::string name = GetReaderName(index);
    if (name.empty()) return false;
    const kivo::PcscApi& api = kivo::pcscApi();
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (api.Connect(m_context, name.c_str(), SCARD_SHARE_SHARED,
                    SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol) != SCARD_S_SUCCESS) {
        return false;
    }
    const bool pinPad = CSC_Pcsc(card).isPinPad();
    api.Disconnect(card, SCARD_LEAVE_CARD);
    return pinPad;
}

namespace kivo::card {

std::string readerNameWithoutSlot(const std::string& name) {
    constexpr std::size_t kSuffixLength = 6;  // " 00 00"
    if (name.size() <= kSuffixLength) return name;
    const std::string_view tail = std::string_view(name).substr(name.size() - kSuffixLength);
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    const bool slot = tail[0] == ' ' && hex(tail[1]) && hex(tail[2]) && tail[3] == ' ' && hex(tail[4]) && hex(tail[5]);
    return slot ? name.substr(0, name.size() - kSuffixLength) : name;
}

}  // namespace kivo::card
