#include "smartcard/detect/DetectionCache.h"

#include "platform/PcscApi.h"
#include "smartcard/transport/CardTrace.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

using kivo::CardTrace;

namespace kivo::card {

namespace {

struct Kept {
    CardIdentity identity;
    SCARDHANDLE watch = 0;  // a connection of the cache's own, told of resets and removals
    std::shared_ptr<const CSC_Profile::Findings> findings;
};

class Cache {
public:
    ~Cache() { clear(); }

    std::shared_ptr<const CSC_Profile::Findings> find(const std::string& reader, const CardIdentity& identity) {
        const std::lock_guard lock(m_mutex);
        const auto it = m_kept.find(reader);
        if (it == m_kept.end()) return nullptr;
        if (it->second.identity == identity && untouched(it->second.watch)) return it->second.findings;
        CardTrace::write(CardTrace::cLevelInfo, "card in %s changed since its detection\n", reader.c_str());
        drop(it);
        return nullptr;
    }

    void keep(const std::string& reader, const CardIdentity& identity,
              std::shared_ptr<const CSC_Profile::Findings> findings) {
        const std::lock_guard lock(m_mutex);
        if (const auto it = m_kept.find(reader); it != m_kept.end()) drop(it);
        const SCARDHANDLE watch = connect(reader);
        if (watch == 0) return;
        m_kept[reader] = Kept{identity, watch, std::move(findings)};
    }

    void clear() {
        const std::lock_guard lock(m_mutex);
        while (!m_kept.empty()) drop(m_kept.begin());
        if (m_context != 0) pcscApi().ReleaseContext(m_context);
        m_context = 0;
    }

private:
    using Entries = std::map<std::string, Kept>;

    static bool untouched(SCARDHANDLE watch) {
        char reader[MAX_READERNAME] = {};
        std::uint8_t atr[MAX_ATR_SIZE] = {};
        DWORD readerLength = sizeof reader;
        DWORD atrLength = sizeof atr;
        DWORD state = 0;
        DWORD protocol = 0;
        return pcscApi().Status(watch, reader, &readerLength, &state, &protocol, atr, &atrLength) ==
               SCARD_S_SUCCESS;
    }

    SCARDHANDLE connect(const std::string& reader) {
        const PcscApi& api = pcscApi();
        if (m_context == 0 && api.EstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &m_context) != SCARD_S_SUCCESS) {
            m_context = 0;
            return 0;
        }
        SCARDHANDLE handle = 0;
        DWORD protocol = 0;
        if (api.Connect(m_context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                        &handle, &protocol) != SCARD_S_SUCCESS) {
            return 0;
        }
        return handle;
    }

    void drop(Entries::iterator it) {
        pcscApi().Disconnect(it->second.watch, SCARD_LEAVE_CARD);
        m_kept.erase(it);
    }

    std::mutex m_mutex;
    SCARDCONTEXT m_context = 0;
    Entries m_kept;
};

Cache& cache() {
    static Cache kept;
    return kept;
}

}  // namespace

std::optional<CardIdentity> identityOf(const CSC_Profile_Base& card) {
    const PcscApi& api = pcscApi();
    if (&api != &defaultPcscApi() || card.Handle() == 0 || card.ConnectedReader().empty()) return std::nullopt;
    CardIdentity identity;
    identity.atr.resize(MAX_ATR_SIZE);
    char readerName[MAX_READERNAME] = {};
    DWORD readerLength = sizeof readerName;
    DWORD atrLength = MAX_ATR_SIZE;
    DWORD state = 0;
    DWORD protocol = 0;
    if (api.Status(card.Handle(), readerName, &readerLength, &state, &protocol, identity.atr.data(), &atrLength) !=
            SCARD_S_SUCCESS ||
        atrLength == 0 || atrLength > MAX_ATR_SIZE) {
        return std::nullopt;
    }
    identity.atr.resize(atrLength);
    SCARD_READERSTATE reader{};
    reader.szReader = card.ConnectedReader().c_str();
    reader.dwCurrentState = SCARD_STATE_UNAWARE;
    if (api.GetStatusChange(card.ConnectedContext(), 0, &reader, 1) != SCARD_S_SUCCESS) return std::nullopt;
    identity.eventCounter = static_cast<std::uint32_t>(reader.dwEventState >> 16);
    return identity;
}

std::shared_ptr<const CSC_Profile::Findings> keptDetection(const CSC_Profile_Base& card,
                                                           const CardIdentity& identity) {
    return cache().find(card.ConnectedReader(), identity);
}

void keepDetection(const CSC_Profile_Base& card, const CardIdentity& identity,
                   std::shared_ptr<const CSC_Profile::Findings> findings) {
    cache().keep(card.ConnectedReader(), identity, std::move(findings));
}

void forgetDetections() { cache().clear(); }

}  // namespace kivo::card
