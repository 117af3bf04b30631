// The card key operations of signing on the smart-card subsystem: opening
// a card key (detection, PACE, PIN verification), its signature scheme and
// hash rule, signing, deciphering and closing.

#include "SignMessageSSLM.h"
#include "smartcard/key/SCM_Interface.h"
#include "smartcard/pin/PinPrompt.h"
#include "src/card/DetectedReader.h"
#include "src/frame/Logging.h"
#include "src/signing/CardKeyOperations.h"
#include "src/signing/SigningResults.h"

#include <memory>
#include <string>

namespace kivo {
namespace {

std::string textOrEmpty(const char* text) { return text != nullptr ? text : ""; }

void closeCardKey(CSCM_Interface* key) {
    if (key == nullptr) return;
    if (key->UsesPACE()) key->FreePACE();
    delete key;
}

using OwnedCardKey = std::unique_ptr<CSCM_Interface, void (*)(CSCM_Interface*)>;

// Detection on the reader, then the card key for its card; null (logged)
// when the reader holds no card of a known type.
OwnedCardKey keyOnReader(int reader, int slot, const char* certId) {
    DetectedReader detected(reader);
    OwnedCardKey key(detected.takeCardKey(slot, textOrEmpty(certId)).release(), closeCardKey);
    if (!key) LOG4CXX_DEBUG(CSignMessage::m_logger, "leaving OpenSSLKey: NULL");
    return key;
}

CSCM_Interface* openCardKey(const char* pin, int reader, int slot, const char* certId, const char* pacePin,
                            int pinMode) {
    if (reader == -1) return nullptr;
    OwnedCardKey key = keyOnReader(reader, slot, certId);
    if (!key) return nullptr;
    // The copies of the secrets are wiped when they go.
    const pin::Secret paceSecret(pacePin);
    const pin::Secret pinSecret(pin);
    if (key->UsesPACE() && !key->InitPACE(paceSecret.text())) {
        LOG4CXX_ERROR(CSignMessage::m_logger, "leaving OpenSSLKey.InitPACE: NULL");
        return nullptr;
    }
    if (!key->VerifyPIN(pinSecret.text(), pinMode)) {
        LOG4CXX_ERROR(CSignMessage::m_logger, "leaving OpenSSLKey.VerifyPIN: NULL");
        return nullptr;
    }
    return key.release();
}

int signatureScheme(CSCM_Interface* key) { return key->SignatureScheme(); }

// 0 for a hash the card signs (and for a key without a layout); else -88
// when the card signs SHA-256, so that the caller can retry with it.
int checkHash(CSCM_Interface* key, int hash) {
    if (key->Layout() == nullptr || key->IsHashAllowed(hash)) return 0;
    return key->IsHashAllowed(1) ? signing::kHashNotSupported : signing::kHashNotSupportedNoSha256;
}

int sign(CSCM_Interface* key, const unsigned char* data, unsigned long length, unsigned char* out,
         unsigned long* outLength, int hash, bool dataIsDigest, bool padding) {
    return key->CardSignData(data, length, out, outLength, hash, dataIsDigest, padding);
}

int decrypt(CSCM_Interface* key, const unsigned char* in, int inLength, unsigned char* out,
            unsigned long* outLength) {
    return key->CardRSADecrypt(in, inLength, out, outLength);
}

constexpr CardKeyOperations kSmartCardOperations = {openCardKey, closeCardKey, signatureScheme,
                                                    checkHash,   sign,         decrypt};

}  // namespace

const CardKeyOperations& smartCardKeyOperations() { return kSmartCardOperations; }

}  // namespace kivo
