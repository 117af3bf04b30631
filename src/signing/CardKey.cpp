// The signing key on a signature card: every operation goes to the
// installed card operations.

#include "src/signing/SigningKey.h"

#include "SignMessageSSLM.h"
#include "src/frame/Logging.h"
#include "src/signing/CardKeyOperations.h"
#include "src/signing/SigningResults.h"

#include <atomic>

namespace kivo {
namespace {
std::atomic<const CardKeyOperations*>& installed() {
    static std::atomic<const CardKeyOperations*> operations{&smartCardKeyOperations()};
    return operations;
}
}  // namespace

void registerCardKeyOperations(const CardKeyOperations* operations) {
    installed().store(operations != nullptr ? operations : &smartCardKeyOperations());
}

const CardKeyOperations* cardKeyOperations() { return installed().load(); }

namespace signing {
namespace {

class CardKey final : public SigningKey {
public:
    explicit CardKey(CSCM_Interface* key) : m_key(key), m_card(cardKeyOperations()) {}

    int signatureKind() const override { return CSignMessage::getSignAlgoFromPKeySCM(m_key); }

    int checkHash(int hash) const override { return CSignMessage::checkSignHashAlgoSCM(m_key, hash); }

    // The signed attributes go to the card with the hash code; the card
    // digests and pads them itself.
    bool signInput(const unsigned char* input, std::size_t length, int hash, bool, unsigned char* out,
                   std::size_t* outLength) const override {
        unsigned long cardLength = static_cast<unsigned long>(*outLength);
        if (m_card->sign(m_key, input, length, out, &cardLength, hash, false, false) != 0) return false;
        *outLength = cardLength;
        return true;
    }

    int signRaw(const unsigned char* data, std::size_t length, int hash, bool dataIsDigest,
                bool cardOption, unsigned char* out, unsigned long* outLength) const override {
        if (data == nullptr) return kSignFailed;
        unsigned long cardLength = 0;
        const int result =
            m_card->sign(m_key, data, length, out, &cardLength, hash, dataIsDigest, !cardOption);
        if (outLength != nullptr) *outLength = cardLength;
        return result == 0 ? 0 : kCardFailure;
    }

    int decrypt(const unsigned char* in, int inLength, unsigned char* out,
                unsigned long* outLength) const override {
        if (out == nullptr) return kNullOutput;
        if (in == nullptr || inLength < 0) return kSignFailed;
        unsigned long length = 0;
        const int result = m_card->decrypt(m_key, in, inLength, out, &length);
        if (outLength != nullptr) *outLength = length;
        return result == 0 ? 0 : kCardFailure;
    }

    void close() const override {
        try {
            m_card->close(m_key);
        } catch (...) {
            LOG4CXX_ERROR(CSignMessage::m_logger, "closing the card key failed");
        }
    }

private:
    CSCM_Interface* m_key;
    const CardKeyOperations* m_card;
};

}  // namespace

std::unique_ptr<SigningKey> cardKey(CSCM_Interface* key) { return std::make_unique<CardKey>(key); }

}  // namespace signing
}  // namespace kivo
