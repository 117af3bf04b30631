// Signing and deciphering through a session: the Init / Update / Final
// (or single-part) sequence of PKCS#11, with the length query that asks
// before the card is used and a result kept until the caller's buffer is
// large enough.
#include "pkcs11/Module.h"

#include <openssl/crypto.h>

#include <cstring>

namespace kivo::p11 {
namespace {

// More input than any hash-it-yourself mechanism takes (a DigestInfo, a
// hash, an RSA cryptogram of 16384 bits).
constexpr std::size_t kMaxCollected = 4096;

void endOperation(Operation& operation) { operation = Operation{}; }

bool feed(Operation& operation, const std::uint8_t* data, CK_ULONG length) {
    if (data == nullptr && length != 0) return false;
    if (operation.hash) return operation.hash->update(data, length);
    if (length > kMaxCollected - operation.input.size()) return false;
    if (length != 0) operation.input.insert(operation.input.end(), data, data + length);
    return true;
}

}  // namespace

void Operation::wipe() {
    OPENSSL_cleanse(input.data(), input.size());
    if (result) OPENSSL_cleanse(result->data(), result->size());
}

Operation& Operation::operator=(Operation&& other) noexcept {
    wipe();
    kind = other.kind;
    keyEntry = other.keyEntry;
    rule = other.rule;
    pssHash = other.pssHash;
    hash = std::move(other.hash);
    input = std::move(other.input);
    partsStarted = other.partsStarted;
    result = std::move(other.result);
    return *this;
}

CK_RV Module::prepareOperation(Operation& operation, const Token& token, const CK_MECHANISM& mechanism,
                               const TokenObject& key) {
    const bool decrypt = operation.kind == Operation::Kind::Decrypt;
    const KeyFacts* facts = token.keyFacts(*key.keyEntry);
    if (decrypt && (facts == nullptr || !facts->deciphers)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    operation.rule = mechanismRule(mechanism.mechanism);
    if (operation.rule == nullptr || !token.keyRuns(*key.keyEntry, *operation.rule, decrypt)) {
        return CKR_MECHANISM_INVALID;
    }
    if (!decrypt && operation.rule->kind == SignatureKind::RsaPss) {
        const std::optional<int> hash = pssHashCode(*operation.rule, mechanism.pParameter, mechanism.ulParameterLen);
        if (!hash) return CKR_MECHANISM_PARAM_INVALID;
        operation.pssHash = *hash;
    }
    if (!decrypt && operation.rule->hashCode >= 0) operation.hash = std::make_unique<DataHash>(operation.rule->hashCode);
    operation.keyEntry = *key.keyEntry;
    return CKR_OK;
}

CK_RV Module::operationInit(CK_SESSION_HANDLE handle, const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key,
                            Operation::Kind kind) {
    Token* current = nullptr;
    CK_RV result = CKR_OK;
    Session* open = session(handle, current, result);
    if (open == nullptr) return result;
    if (open->operation.kind != Operation::Kind::None) return CKR_OPERATION_ACTIVE;
    if (mechanism == nullptr) return CKR_ARGUMENTS_BAD;
    const TokenObject* found = object(*current, key);
    if (found == nullptr || !found->keyEntry) return CKR_KEY_HANDLE_INVALID;
    if (!current->loggedIn()) return CKR_USER_NOT_LOGGED_IN;
    Operation operation;
    operation.kind = kind;
    result = prepareOperation(operation, *current, *mechanism, *found);
    if (result == CKR_OK) open->operation = std::move(operation);
    return result;
}

Session* Module::operating(CK_SESSION_HANDLE handle, Operation::Kind kind, Token*& current, CK_RV& result) {
    Session* open = session(handle, current, result);
    if (open != nullptr && open->operation.kind != kind) {
        result = CKR_OPERATION_NOT_INITIALIZED;
        return nullptr;
    }
    return open;
}

CK_RV Module::operationUpdate(CK_SESSION_HANDLE handle, const std::uint8_t* data, CK_ULONG length,
                              Operation::Kind kind) {
    Token* current = nullptr;
    CK_RV result = CKR_OK;
    Session* open = operating(handle, kind, current, result);
    if (open == nullptr) return result;
    Operation& operation = open->operation;
    if (kind == Operation::Kind::Decrypt) {
        endOperation(operation);
        return CKR_FUNCTION_NOT_SUPPORTED;  // RSA deciphering takes the cryptogram whole
    }
    operation.partsStarted = true;
    if (feed(operation, data, length)) return CKR_OK;
    endOperation(operation);
    return data == nullptr ? CKR_ARGUMENTS_BAD : CKR_DATA_LEN_RANGE;
}

CK_RV Module::runOperation(Session& open, Token& current, Bytes& result) {
    Operation& operation = open.operation;
    if (!current.keyReady(operation.keyEntry)) return CKR_USER_NOT_LOGGED_IN;
    if (operation.kind == Operation::Kind::Decrypt) return current.decrypt(operation.keyEntry, operation.input, result);
    const std::optional<HashToSign> hash = operation.hash
                                               ? std::optional<HashToSign>(operation.hash->finish())
                                               : hashOfInput(*operation.rule, operation.input, operation.pssHash);
    if (!hash || hash->digest.empty()) return CKR_DATA_LEN_RANGE;
    return current.sign(operation.keyEntry, *hash, result);
}

CK_RV Module::operationFinal(CK_SESSION_HANDLE handle, const std::uint8_t* data, CK_ULONG length, bool single,
                             std::uint8_t* out, CK_ULONG* outLength, Operation::Kind kind) {
    Token* current = nullptr;
    CK_RV result = CKR_OK;
    Session* open = operating(handle, kind, current, result);
    if (open == nullptr) return result;
    Operation& operation = open->operation;
    if (outLength == nullptr || (single && operation.partsStarted)) {
        endOperation(operation);
        return CKR_ARGUMENTS_BAD;
    }
    // Before the card is asked: the length of a signature (and the upper
    // bound of a deciphered message) is the key's.
    const KeyFacts* facts = current->keyFacts(operation.keyEntry);
    const CK_ULONG expected = facts != nullptr ? facts->signatureBytes : 0;
    if (!operation.result && (out == nullptr || (kind == Operation::Kind::Sign && *outLength < expected))) {
        const bool query = out == nullptr;
        *outLength = expected;
        return query ? CKR_OK : CKR_BUFFER_TOO_SMALL;
    }
    if (!operation.result) {
        Bytes made;
        result = single && !feed(operation, data, length) ? CKR_DATA_LEN_RANGE : runOperation(*open, *current, made);
        if (result != CKR_OK) {
            endOperation(operation);
            return result;
        }
        operation.result = std::move(made);
    }
    const Bytes& made = *operation.result;
    if (out == nullptr || *outLength < made.size()) {
        const bool query = out == nullptr;
        *outLength = made.size();
        return query ? CKR_OK : CKR_BUFFER_TOO_SMALL;
    }
    if (!made.empty()) std::memcpy(out, made.data(), made.size());
    *outLength = made.size();
    endOperation(operation);
    return CKR_OK;
}

}  // namespace kivo::p11
