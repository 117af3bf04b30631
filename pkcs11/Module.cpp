#include "pkcs11/Module.h"

#include "pkcs11/Text.h"

#include "platform/PcscApi.h"
#include "smartcard/detect/DetectionCache.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/transport/Reader.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

namespace kivo::p11 {
namespace {

// Whether a card is in the reader and pcsc-lite's event counter for it.
struct ReaderState {
    bool present = false;
    unsigned counter = 0;
};

ReaderState stateOf(SCARDCONTEXT context, const std::string& reader) {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (pcscApi().GetStatusChange(context, 0, &state, 1) != SCARD_S_SUCCESS) return {};
    return {(state.dwEventState & SCARD_STATE_PRESENT) != 0, static_cast<unsigned>(state.dwEventState >> 16)};
}

}  // namespace

Module& module() {
    static Module instance;
    return instance;
}

CK_RV Module::initialize(const CK_C_INITIALIZE_ARGS* arguments) {
    if (arguments != nullptr) {
        if (arguments->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
        const bool someLocks = arguments->CreateMutex != nullptr || arguments->DestroyMutex != nullptr ||
                               arguments->LockMutex != nullptr || arguments->UnlockMutex != nullptr;
        const bool allLocks = arguments->CreateMutex != nullptr && arguments->DestroyMutex != nullptr &&
                              arguments->LockMutex != nullptr && arguments->UnlockMutex != nullptr;
        if (someLocks && !allLocks) return CKR_ARGUMENTS_BAD;
        // The module locks with the system's primitives; an application
        // that offers only its own ones cannot have them used.
        if (allLocks && (arguments->flags & CKF_OS_LOCKING_OK) == 0) return CKR_CANT_LOCK;
    }
    if (initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    kivo::cardSettings().Load(false);
    refreshSlots();
    initialized = true;
    return CKR_OK;
}

void Module::finalize() {
    initialized = false;
    ++finalizations;
    m_sessions.clear();
    for (Slot& slot : m_slots) {
        if (slot.token && slot.token->loggedIn()) slot.token->logout();
    }
    m_slots.clear();
    kivo::card::forgetDetections();
}

void Module::refreshSlots() {
    CReader readers;
    for (int i = 0; i < readers.GetReaderCount(); ++i) {
        const std::string name = readers.GetReaderName(i);
        if (std::any_of(m_slots.begin(), m_slots.end(), [&](const Slot& known) { return known.reader == name; })) {
            continue;
        }
        Slot added;
        added.reader = name;
        const ReaderState state = stateOf(readers.Context(), name);
        added.eventPresent = state.present;
        added.eventCounter = state.counter;
        m_slots.push_back(std::move(added));
    }
}

Slot* Module::slot(CK_SLOT_ID id) { return id < m_slots.size() ? &m_slots[id] : nullptr; }

int Module::readerIndex(CReader& readers, const std::string& reader) const {
    for (int i = 0; i < readers.GetReaderCount(); ++i) {
        if (readers.GetReaderName(i) == reader) return i;
    }
    return -1;
}

CK_RV Module::slotList(bool tokenPresent, CK_SLOT_ID* list, CK_ULONG* count) {
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    refreshSlots();
    CReader readers;
    std::vector<CK_SLOT_ID> ids;
    for (CK_SLOT_ID id = 0; id < m_slots.size(); ++id) {
        const ReaderState state = stateOf(readers.Context(), m_slots[id].reader);
        const bool connected = readerIndex(readers, m_slots[id].reader) >= 0;
        if (connected && (!tokenPresent || state.present)) ids.push_back(id);
    }
    if (list == nullptr) {
        *count = ids.size();
        return CKR_OK;
    }
    if (*count < ids.size()) {
        *count = ids.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(ids.begin(), ids.end(), list);
    *count = ids.size();
    return CKR_OK;
}

CK_RV Module::slotInfo(CK_SLOT_ID id, CK_SLOT_INFO& info) {
    const Slot* known = slot(id);
    if (known == nullptr) return CKR_SLOT_ID_INVALID;
    CReader readers;
    putPadded(info.slotDescription, sizeof info.slotDescription, known->reader);
    putPadded(info.manufacturerID, sizeof info.manufacturerID, "");
    info.flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    if (readerIndex(readers, known->reader) >= 0 && stateOf(readers.Context(), known->reader).present) {
        info.flags |= CKF_TOKEN_PRESENT;
    }
    info.hardwareVersion = {0, 0};
    info.firmwareVersion = {0, 0};
    return CKR_OK;
}

void Module::dropToken(Slot& slot) {
    slot.token.reset();
    ++slot.generation;
}

Token* Module::token(CK_SLOT_ID id, CK_RV& result) {
    Slot* known = slot(id);
    if (known == nullptr) {
        result = CKR_SLOT_ID_INVALID;
        return nullptr;
    }
    if (known->token && !known->token->stillThere()) dropToken(*known);
    if (known->token) return known->token.get();
    CReader readers;
    const int index = readerIndex(readers, known->reader);
    if (index < 0 || !readers.IsCardPresent(index)) {
        result = CKR_TOKEN_NOT_PRESENT;
        return nullptr;
    }
    known->token = Token::open(known->reader, index, readers.IsPinPadReader(index));
    result = known->token ? CKR_OK : CKR_TOKEN_NOT_RECOGNIZED;
    return known->token.get();
}

bool Module::nextSlotEvent(CK_SLOT_ID& id) {
    refreshSlots();
    CReader readers;
    for (id = 0; id < m_slots.size(); ++id) {
        Slot& known = m_slots[id];
        const ReaderState state = stateOf(readers.Context(), known.reader);
        // A token whose card another program reset is gone as well: its
        // login state and the selection went with the reset.
        const bool tokenLost = known.token && !known.token->stillThere();
        if (tokenLost) dropToken(known);
        if (!tokenLost && state.present == known.eventPresent && state.counter == known.eventCounter) continue;
        known.eventPresent = state.present;
        known.eventCounter = state.counter;
        return true;
    }
    return false;
}

CK_RV Module::openSession(CK_SLOT_ID id, CK_FLAGS flags, CK_SESSION_HANDLE& handle) {
    if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    CK_RV result = CKR_OK;
    if (token(id, result) == nullptr) return result;
    Session session;
    session.slot = id;
    session.flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
    session.generation = m_slots[id].generation;
    handle = m_nextSession++;
    m_sessions.emplace(handle, std::move(session));
    return CKR_OK;
}

std::size_t Module::sessionCount(CK_SLOT_ID id, bool readWriteOnly) const {
    return static_cast<std::size_t>(std::count_if(m_sessions.begin(), m_sessions.end(), [&](const auto& open) {
        return open.second.slot == id && open.second.generation == m_slots[id].generation &&
               (!readWriteOnly || (open.second.flags & CKF_RW_SESSION) != 0);
    }));
}

CK_RV Module::tokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO& info) {
    CK_RV result = CKR_OK;
    const Token* current = token(id, result);
    if (current == nullptr) return result;
    current->fillInfo(info);
    info.ulSessionCount = sessionCount(id, false);
    info.ulRwSessionCount = sessionCount(id, true);
    return CKR_OK;
}

CK_RV Module::closeSession(CK_SESSION_HANDLE handle) {
    const auto found = m_sessions.find(handle);
    if (found == m_sessions.end()) return CKR_SESSION_HANDLE_INVALID;
    const CK_SLOT_ID id = found->second.slot;
    const bool sameToken = found->second.generation == m_slots[id].generation;
    m_sessions.erase(found);
    // The login ends with the application's last session on the token.
    Token* current = m_slots[id].token.get();
    if (sameToken && current != nullptr && current->loggedIn() && sessionCount(id, false) == 0) current->logout();
    return CKR_OK;
}

CK_RV Module::closeAllSessions(CK_SLOT_ID id) {
    if (slot(id) == nullptr) return CKR_SLOT_ID_INVALID;
    std::vector<CK_SESSION_HANDLE> handles;
    for (const auto& [handle, open] : m_sessions) {
        if (open.slot == id) handles.push_back(handle);
    }
    for (CK_SESSION_HANDLE handle : handles) closeSession(handle);
    return CKR_OK;
}

Session* Module::session(CK_SESSION_HANDLE handle, Token*& current, CK_RV& result) {
    const auto found = m_sessions.find(handle);
    if (found == m_sessions.end()) {
        result = CKR_SESSION_HANDLE_INVALID;
        return nullptr;
    }
    Session& open = found->second;
    Slot& known = m_slots[open.slot];
    if (known.token && !known.token->stillThere()) dropToken(known);
    if (!known.token || open.generation != known.generation) {
        result = CKR_DEVICE_REMOVED;
        return nullptr;
    }
    current = known.token.get();
    result = CKR_OK;
    return &open;
}

CK_STATE Module::sessionState(const Session& open, const Token& current) const {
    const bool readWrite = (open.flags & CKF_RW_SESSION) != 0;
    if (current.loggedIn()) return readWrite ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    return readWrite ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
}

const TokenObject* Module::object(const Token& current, CK_OBJECT_HANDLE handle) const {
    if (handle == 0 || handle > current.objects().size()) return nullptr;
    const TokenObject& found = current.objects()[handle - 1];
    return found.isPrivate && !current.loggedIn() ? nullptr : &found;
}

CK_RV Module::findInit(Session& open, const Token& current, const std::vector<Attribute>& search) {
    if (open.finding) return CKR_OPERATION_ACTIVE;
    open.found.clear();
    open.nextFound = 0;
    for (CK_OBJECT_HANDLE handle = 1; handle <= current.objects().size(); ++handle) {
        const TokenObject* candidate = object(current, handle);
        if (candidate != nullptr && candidate->attributes.matches(search)) open.found.push_back(handle);
    }
    open.finding = true;
    return CKR_OK;
}

CK_RV Module::login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, const std::uint8_t* pin, CK_ULONG length) {
    Token* current = nullptr;
    CK_RV result = CKR_OK;
    Session* open = session(handle, current, result);
    if (open == nullptr) return result;
    if (user == CKU_SO) return CKR_USER_TYPE_INVALID;  // the cards have no officer PIN here
    if (user == CKU_CONTEXT_SPECIFIC) {
        if (open->operation.kind == Operation::Kind::None) return CKR_OPERATION_NOT_INITIALIZED;
        if (!current->loggedIn()) return CKR_USER_NOT_LOGGED_IN;
        return current->login(user, pin, length, open->operation.keyEntry);
    }
    if (user != CKU_USER) return CKR_USER_TYPE_INVALID;
    if (current->loggedIn()) return CKR_USER_ALREADY_LOGGED_IN;
    return current->login(user, pin, length, std::nullopt);
}

CK_RV Module::logout(CK_SESSION_HANDLE handle) {
    Token* current = nullptr;
    CK_RV result = CKR_OK;
    if (session(handle, current, result) == nullptr) return result;
    if (!current->loggedIn()) return CKR_USER_NOT_LOGGED_IN;
    current->logout();
    return CKR_OK;
}

}  // namespace kivo::p11
