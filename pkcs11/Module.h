// The module's state between C_Initialize and C_Finalize: one slot per
// PC/SC reader ever seen, the token of each slot while its card stays, and
// the sessions. Every call but C_WaitForSlotEvent runs under one lock, so
// one card operation runs at a time.
#pragma once

#include "pkcs11/Token.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CReader;

namespace kivo::p11 {

struct Slot {
    std::string reader;
    std::unique_ptr<Token> token;
    unsigned generation = 0;  // counts the tokens the slot has had
    // The reader's state as the last slot event told it.
    bool eventPresent = false;
    unsigned eventCounter = 0;
};

// A sign or decrypt operation of a session. What it collected and what it
// made (a deciphered message among them) is wiped when it goes, however
// the session ends.
struct Operation {
    enum class Kind { None, Sign, Decrypt } kind = Kind::None;
    std::size_t keyEntry = 0;
    const MechanismRule* rule = nullptr;
    int pssHash = -1;
    std::unique_ptr<DataHash> hash;  // the mechanisms that hash the data here
    Bytes input;                     // the others collect their input
    bool partsStarted = false;
    std::optional<Bytes> result;  // made, but not yet handed out

    Operation() = default;
    Operation(Operation&&) noexcept = default;
    Operation& operator=(Operation&& other) noexcept;
    ~Operation() { wipe(); }
    void wipe();
};

struct Session {
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    unsigned generation = 0;
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    std::size_t nextFound = 0;
    Operation operation;
};

class Module {
public:
    std::recursive_mutex lock;
    std::atomic<bool> initialized{false};
    // Counts C_Finalize calls: a C_WaitForSlotEvent begun before one ends.
    std::atomic<unsigned> finalizations{0};

    CK_RV initialize(const CK_C_INITIALIZE_ARGS* arguments);
    void finalize();

    // Looks at the readers again: new readers get a slot.
    void refreshSlots();
    CK_RV slotList(bool tokenPresent, CK_SLOT_ID* list, CK_ULONG* count);
    CK_RV slotInfo(CK_SLOT_ID id, CK_SLOT_INFO& info);
    CK_RV tokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO& info);
    // The slot's token, detected when it has none yet; `result` tells why
    // there is none.
    Token* token(CK_SLOT_ID id, CK_RV& result);
    // One look at the readers for a slot whose reader state changed since
    // the last event; true with its id.
    bool nextSlotEvent(CK_SLOT_ID& id);

    CK_RV openSession(CK_SLOT_ID id, CK_FLAGS flags, CK_SESSION_HANDLE& handle);
    CK_RV closeSession(CK_SESSION_HANDLE handle);
    CK_RV closeAllSessions(CK_SLOT_ID id);
    // The session and its token; `result` says why there is none.
    Session* session(CK_SESSION_HANDLE handle, Token*& token, CK_RV& result);
    CK_STATE sessionState(const Session& session, const Token& token) const;

    // The token object of a handle the session may see; null otherwise.
    const TokenObject* object(const Token& token, CK_OBJECT_HANDLE handle) const;
    CK_RV findInit(Session& session, const Token& token, const std::vector<Attribute>& search);

    CK_RV login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, const std::uint8_t* pin, CK_ULONG length);
    CK_RV logout(CK_SESSION_HANDLE handle);

    CK_RV operationInit(CK_SESSION_HANDLE handle, const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key,
                        Operation::Kind kind);
    CK_RV operationUpdate(CK_SESSION_HANDLE handle, const std::uint8_t* data, CK_ULONG length, Operation::Kind kind);
    // Runs (or hands out the kept result of) the session's operation; a
    // null output asks for the length and keeps the operation going.
    CK_RV operationFinal(CK_SESSION_HANDLE handle, const std::uint8_t* data, CK_ULONG length, bool single,
                         std::uint8_t* out, CK_ULONG* outLength, Operation::Kind kind);

private:
    Slot* slot(CK_SLOT_ID id);
    int readerIndex(CReader& readers, const std::string& reader) const;
    void dropToken(Slot& slot);
    // The sessions open on the slot's present token.
    std::size_t sessionCount(CK_SLOT_ID id, bool readWriteOnly) const;
    // The session with an operation of `kind` going; `result` says why there
    // is none.
    Session* operating(CK_SESSION_HANDLE handle, Operation::Kind kind, Token*& token, CK_RV& result);
    CK_RV runOperation(Session& session, Token& token, Bytes& result);
    CK_RV prepareOperation(Operation& operation, const Token& token, const CK_MECHANISM& mechanism,
                           const TokenObject& key);

    std::vector<Slot> m_slots;
    std::map<CK_SESSION_HANDLE, Session> m_sessions;
    CK_SESSION_HANDLE m_nextSession = 1;
};

Module& module();

}  // namespace kivo::p11
