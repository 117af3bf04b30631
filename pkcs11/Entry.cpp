// The PKCS#11 entry points of libkivocryptossl-pkcs11.so and its function
// list. Each runs under the module's lock and turns any exception into a
// result code; the functions a signature card cannot serve (creating
// objects, keys, symmetric operations, digests, verification) answer
// CKR_FUNCTION_NOT_SUPPORTED.

// The entry points are the module's only exported symbols.
#pragma GCC visibility push(default)
#include <p11-kit/pkcs11.h>
#pragma GCC visibility pop

#include "pkcs11/Module.h"
#include "pkcs11/Text.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

using kivo::p11::Module;
using kivo::p11::Operation;
using kivo::p11::module;

namespace {

template <class Call>
CK_RV guarded(Call&& call) {
    try {
        Module& state = module();
        const std::lock_guard lock(state.lock);
        if (!state.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
        return call(state);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

CK_RV unsupported() {
    return guarded([](Module&) { return CKR_FUNCTION_NOT_SUPPORTED; });
}

// Runs `call` with the session's token; the session's error otherwise.
template <class Call>
CK_RV withSession(CK_SESSION_HANDLE handle, Call&& call) {
    return guarded([&](Module& state) {
        kivo::p11::Token* token = nullptr;
        CK_RV result = CKR_OK;
        kivo::p11::Session* session = state.session(handle, token, result);
        return session == nullptr ? result : call(state, *session, *token);
    });
}

}  // namespace

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR arguments) {
    try {
        const std::lock_guard lock(module().lock);
        return module().initialize(static_cast<const CK_C_INITIALIZE_ARGS*>(arguments));
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

CK_RV C_Finalize(CK_VOID_PTR reserved) {
    if (reserved != nullptr) return CKR_ARGUMENTS_BAD;
    return guarded([](Module& state) {
        state.finalize();
        return CKR_OK;
    });
}

CK_RV C_GetInfo(CK_INFO_PTR info) {
    return guarded([&](Module&) {
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        info->cryptokiVersion = {2, 40};
        kivo::p11::putPadded(info->manufacturerID, sizeof info->manufacturerID, "KivoCryptoSSL");
        info->flags = 0;
        kivo::p11::putPadded(info->libraryDescription, sizeof info->libraryDescription, "KivoCryptoSSL signature cards");
        info->libraryVersion = {0, 1};
        return CKR_OK;
    });
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    return guarded([&](Module& state) { return state.slotList(tokenPresent != CK_FALSE, list, count); });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    return guarded([&](Module& state) { return info == nullptr ? CKR_ARGUMENTS_BAD : state.slotInfo(slot, *info); });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    return guarded([&](Module& state) { return info == nullptr ? CKR_ARGUMENTS_BAD : state.tokenInfo(slot, *info); });
}

CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot, CK_VOID_PTR reserved) {
    if (slot == nullptr || reserved != nullptr) return CKR_ARGUMENTS_BAD;
    // A C_Finalize (NSS cancels a wait with C_Finalize and C_Initialize at
    // once) ends the wait, however soon the module is initialized again.
    const unsigned finalizations = module().finalizations;
    for (;;) {
        bool happened = false;
        const CK_RV result = guarded([&](Module& state) {
            happened = state.nextSlotEvent(*slot);
            return CKR_OK;
        });
        if (result != CKR_OK) return result;
        if (module().finalizations != finalizations) return CKR_CRYPTOKI_NOT_INITIALIZED;
        if (happened) return CKR_OK;
        if ((flags & CKF_DONT_BLOCK) != 0) return CKR_NO_EVENT;
        // Outside the lock, so that other calls (and C_Finalize, which
        // ends the wait) go on meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

CK_RV C_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
    return guarded([&](Module& state) {
        if (count == nullptr) return CKR_ARGUMENTS_BAD;
        CK_RV result = CKR_OK;
        const kivo::p11::Token* token = state.token(slot, result);
        if (token == nullptr) return result;
        const std::vector<CK_MECHANISM_TYPE> types = token->mechanisms();
        const bool fits = list == nullptr || *count >= types.size();
        if (list != nullptr && fits) std::copy(types.begin(), types.end(), list);
        *count = types.size();
        return fits ? CKR_OK : CKR_BUFFER_TOO_SMALL;
    });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    return guarded([&](Module& state) {
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        CK_RV result = CKR_OK;
        const kivo::p11::Token* token = state.token(slot, result);
        if (token == nullptr) return result;
        return token->mechanismInfo(type, *info) ? CKR_OK : CKR_MECHANISM_INVALID;
    });
}

CK_RV C_InitToken(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) { return unsupported(); }
CK_RV C_InitPIN(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG) { return unsupported(); }

CK_RV C_SetPIN(CK_SESSION_HANDLE handle, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength, CK_UTF8CHAR_PTR newPin,
               CK_ULONG newLength) {
    return withSession(handle, [&](Module&, kivo::p11::Session& session, kivo::p11::Token& token) {
        if ((session.flags & CKF_RW_SESSION) == 0) return CKR_SESSION_READ_ONLY;
        return token.setPin(oldPin, oldLength, newPin, newLength);
    });
}

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR session) {
    return guarded([&](Module& state) {
        return session == nullptr ? CKR_ARGUMENTS_BAD : state.openSession(slot, flags, *session);
    });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE session) {
    return guarded([&](Module& state) { return state.closeSession(session); });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slot) {
    return guarded([&](Module& state) { return state.closeAllSessions(slot); });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info) {
    return withSession(handle, [&](Module& state, kivo::p11::Session& session, kivo::p11::Token& token) {
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        info->slotID = session.slot;
        info->state = state.sessionState(session, token);
        info->flags = session.flags;
        info->ulDeviceError = 0;
        return CKR_OK;
    });
}

CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
    return unsupported();
}

CK_RV C_Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    return guarded([&](Module& state) { return state.login(session, user, pin, length); });
}

CK_RV C_Logout(CK_SESSION_HANDLE session) {
    return guarded([&](Module& state) { return state.logout(session); });
}

CK_RV C_CreateObject(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) { return unsupported(); }
CK_RV C_CopyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return unsupported();
}
CK_RV C_DestroyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) { return unsupported(); }
CK_RV C_GetObjectSize(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR) { return unsupported(); }

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                          CK_ULONG count) {
    return withSession(handle, [&](Module& state, kivo::p11::Session&, kivo::p11::Token& token) {
        const kivo::p11::TokenObject* found = state.object(token, object);
        if (found == nullptr) return CKR_OBJECT_HANDLE_INVALID;
        return found->attributes.copyInto(attributes, count);
    });
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) { return unsupported(); }

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    return withSession(handle, [&](Module& state, kivo::p11::Session& session, kivo::p11::Token& token) {
        const auto search = kivo::p11::readTemplate(attributes, count);
        return search ? state.findInit(session, token, *search) : CKR_ARGUMENTS_BAD;
    });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG most, CK_ULONG_PTR count) {
    return withSession(handle, [&](Module&, kivo::p11::Session& session, kivo::p11::Token&) {
        if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
        if (count == nullptr || (objects == nullptr && most != 0)) return CKR_ARGUMENTS_BAD;
        CK_ULONG given = 0;
        while (given < most && session.nextFound < session.found.size()) objects[given++] = session.found[session.nextFound++];
        *count = given;
        return CKR_OK;
    });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE handle) {
    return withSession(handle, [&](Module&, kivo::p11::Session& session, kivo::p11::Token&) {
        if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
        session.finding = false;
        session.found.clear();
        return CKR_OK;
    });
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return unsupported(); }
CK_RV C_Encrypt(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_EncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_EncryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }

CK_RV C_DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    return guarded([&](Module& state) { return state.operationInit(session, mechanism, key, Operation::Kind::Decrypt); });
}

CK_RV C_Decrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR in, CK_ULONG inLength, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return guarded([&](Module& state) {
        return state.operationFinal(session, in, inLength, true, out, outLength, Operation::Kind::Decrypt);
    });
}

CK_RV C_DecryptUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR in, CK_ULONG inLength, CK_BYTE_PTR, CK_ULONG_PTR) {
    return guarded([&](Module& state) { return state.operationUpdate(session, in, inLength, Operation::Kind::Decrypt); });
}

CK_RV C_DecryptFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG_PTR) {
    return guarded([&](Module& state) { return state.operationUpdate(session, nullptr, 0, Operation::Kind::Decrypt); });
}

CK_RV C_DigestInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR) { return unsupported(); }
CK_RV C_Digest(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_DigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return unsupported(); }
CK_RV C_DigestKey(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) { return unsupported(); }
CK_RV C_DigestFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }

CK_RV C_SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    return guarded([&](Module& state) { return state.operationInit(session, mechanism, key, Operation::Kind::Sign); });
}

CK_RV C_Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return guarded([&](Module& state) {
        return state.operationFinal(session, data, length, true, out, outLength, Operation::Kind::Sign);
    });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length) {
    return guarded([&](Module& state) { return state.operationUpdate(session, data, length, Operation::Kind::Sign); });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return guarded([&](Module& state) {
        return state.operationFinal(session, nullptr, 0, false, out, outLength, Operation::Kind::Sign);
    });
}

CK_RV C_SignRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return unsupported(); }
CK_RV C_SignRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_VerifyInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return unsupported(); }
CK_RV C_Verify(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) { return unsupported(); }
CK_RV C_VerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return unsupported(); }
CK_RV C_VerifyFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return unsupported(); }
CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return unsupported(); }
CK_RV C_VerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return unsupported();
}
CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return unsupported();
}
CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return unsupported(); }
CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return unsupported();
}
CK_RV C_GenerateKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return unsupported();
}
CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG,
                        CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR) {
    return unsupported();
}
CK_RV C_WrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return unsupported();
}
CK_RV C_UnwrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
                  CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return unsupported();
}
CK_RV C_DeriveKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                  CK_OBJECT_HANDLE_PTR) {
    return unsupported();
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR, CK_ULONG) {
    return withSession(handle, [](Module&, kivo::p11::Session&, kivo::p11::Token&) { return CKR_RANDOM_SEED_NOT_SUPPORTED; });
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR out, CK_ULONG length) {
    return withSession(handle, [&](Module&, kivo::p11::Session&, kivo::p11::Token& token) {
        return out == nullptr && length != 0 ? CKR_ARGUMENTS_BAD : token.random(out, length);
    });
}

CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) {
    return guarded([](Module&) { return CKR_FUNCTION_NOT_PARALLEL; });
}

CK_RV C_CancelFunction(CK_SESSION_HANDLE) {
    return guarded([](Module&) { return CKR_FUNCTION_NOT_PARALLEL; });
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    static CK_FUNCTION_LIST functions = {
        {2, 40}, C_Initialize, C_Finalize, C_GetInfo, C_GetFunctionList, C_GetSlotList, C_GetSlotInfo,
        C_GetTokenInfo, C_GetMechanismList, C_GetMechanismInfo, C_InitToken, C_InitPIN, C_SetPIN,
        C_OpenSession, C_CloseSession, C_CloseAllSessions, C_GetSessionInfo, C_GetOperationState,
        C_SetOperationState, C_Login, C_Logout, C_CreateObject, C_CopyObject, C_DestroyObject, C_GetObjectSize,
        C_GetAttributeValue, C_SetAttributeValue, C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal,
        C_EncryptInit, C_Encrypt, C_EncryptUpdate, C_EncryptFinal, C_DecryptInit, C_Decrypt, C_DecryptUpdate,
        C_DecryptFinal, C_DigestInit, C_Digest, C_DigestUpdate, C_DigestKey, C_DigestFinal, C_SignInit, C_Sign,
        C_SignUpdate, C_SignFinal, C_SignRecoverInit, C_SignRecover, C_VerifyInit, C_Verify, C_VerifyUpdate,
        C_VerifyFinal, C_VerifyRecoverInit, C_VerifyRecover, C_DigestEncryptUpdate, C_DecryptDigestUpdate,
        C_SignEncryptUpdate, C_DecryptVerifyUpdate, C_GenerateKey, C_GenerateKeyPair, C_WrapKey, C_UnwrapKey,
        C_DeriveKey, C_SeedRandom, C_GenerateRandom, C_GetFunctionStatus, C_CancelFunction, C_WaitForSlotEvent,
    };
    if (list == nullptr) return CKR_ARGUMENTS_BAD;
    *list = &functions;
    return CKR_OK;
}

}  // extern "C"
