// The signing calls with a card key: a scripted card registered through the
// card-key seam signs with the test PKI's RSA key, so what comes out is
// checked by OpenSSL. Proven here is the dispatch: the key-kind flag picks
// the card path, the card's answers reach the caller, and a card key is
// closed by the card subsystem.

#include "src/signing/CardKeyOperations.h"
#include "tests/signing/SigningTestUtil.h"

#include <gtest/gtest.h>

using namespace kivo::test::signing;
using kivo::test::KeyKind;

namespace {

struct ScriptedCard {
    int kind = 0;
    int hashCheck = 0;
    int signResult = 0;
    int decryptResult = 0;
    int signCalls = 0;
    int closeCalls = 0;
    int lastHash = -1;
    bool lastDataIsDigest = true;
    bool lastPadding = true;
};

ScriptedCard* cardOf(CSCM_Interface* key) { return reinterpret_cast<ScriptedCard*>(key); }
EVP_PKEY* cardPrivateKey() { return TestPki::instance().signer(KeyKind::Rsa2048).key.get(); }

int scriptedSign(CSCM_Interface* key, const unsigned char* data, unsigned long length, unsigned char* out,
                 unsigned long* outLength, int hash, bool dataIsDigest, bool padding) {
    ScriptedCard* card = cardOf(key);
    ++card->signCalls;
    card->lastHash = hash;
    card->lastDataIsDigest = dataIsDigest;
    card->lastPadding = padding;
    if (card->signResult != 0) return card->signResult;
    const Bytes input(data, data + length);
    Bytes signature(512);
    std::size_t size = signature.size();
    if (dataIsDigest) {  // PKCS#1 type 1 over the bytes as given
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(cardPrivateKey(), nullptr);
        if (EVP_PKEY_sign_init(context) != 1 || EVP_PKEY_sign(context, signature.data(), &size, input.data(), input.size()) != 1) size = 0;
        EVP_PKEY_CTX_free(context);
        signature.resize(size);
    } else {
        signature = ct::digestSign(cardPrivateKey(), ct::mdForHashId(hash), input);
    }
    std::copy(signature.begin(), signature.end(), out);
    *outLength = static_cast<unsigned long>(signature.size());
    return signature.empty() ? 1 : 0;
}

const kivo::CardKeyOperations kScriptedCard{
    [](const char*, int, int, const char*, const char*, int) -> CSCM_Interface* { return nullptr; },
    [](CSCM_Interface* key) { ++cardOf(key)->closeCalls; },
    [](CSCM_Interface* key) { return cardOf(key)->kind; },
    [](CSCM_Interface* key, int) { return cardOf(key)->hashCheck; },
    scriptedSign,
    [](CSCM_Interface* key, const unsigned char*, int inLength, unsigned char* out, unsigned long* outLength) {
        std::fill(out, out + inLength, 0x42);
        *outLength = static_cast<unsigned long>(inLength);
        return cardOf(key)->decryptResult;
    },
};

class CardKeySigning : public ::testing::Test {
protected:
    void SetUp() override {
        kivo::registerCardKeyOperations(&kScriptedCard);
        CSignMessage::m_isP12 = false;  // as opening a card key leaves it
    }
    void TearDown() override {
        kivo::registerCardKeyOperations(nullptr);
        CSignMessage::m_isP12 = true;
    }
    unsigned long* handle() { return reinterpret_cast<unsigned long*>(&m_card); }
    X509* cert() { return SigningKeys::get().cert(KeyKind::Rsa2048); }

    int signBlob(int hash, Bytes* der = nullptr) {
        Bytes out(8192, 0);
        unsigned long length = 0;
        const int result = CSignMessage::SignBlobSSL(m_data.data(), static_cast<int>(m_data.size()), out.data(), &length,
                                                     nullptr, cert(), handle(), hash, true, nullptr, 0);
        if (der != nullptr) *der = Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(result == 0 ? length : 0));
        return result;
    }
    int signRaw(bool dataIsDigest, bool cardOption, Bytes* raw = nullptr) {
        Bytes out(512, 0);
        unsigned long length = 0;
        const int result = CSignMessage::SignBlobSSLRaw(m_data.data(), static_cast<int>(m_data.size()), out.data(), &length,
                                                        nullptr, nullptr, handle(), 1, false, dataIsDigest, cardOption);
        if (raw != nullptr) *raw = Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length));
        return result;
    }

    ScriptedCard m_card;
    Bytes m_data = kivo::test::randomBytes(100, 21);
};

// The card signs the signed attributes with the call's hash code, unpadded
// by the library and not as a digest; OpenSSL accepts the container.
TEST_F(CardKeySigning, ContainersSignedByTheCardVerify) {
    for (const int hash : {0, 1, 2, 3}) {
        Bytes der;
        ASSERT_EQ(signBlob(hash, &der), 0) << hash;
        EXPECT_EQ(cmsVerify(der, nullptr), 1) << hash;
        EXPECT_EQ(m_card.lastHash, hash);
        EXPECT_FALSE(m_card.lastDataIsDigest);
        EXPECT_FALSE(m_card.lastPadding);
    }
    EXPECT_EQ(CSignMessage::getSignAlgoFromPKey(handle()), 0);
    m_card.kind = 2;
    EXPECT_EQ(CSignMessage::getSignAlgoFromPKey(handle()), 2);
}

// Refusals and failures reach the caller with their codes; nothing is
// signed after a refused hash. A raw signature over bytes given as a
// digest: cardOption true asks the card not to pad.
TEST_F(CardKeySigning, CardAnswersReachTheCaller) {
    for (const int refusal : {-88, -89}) {
        m_card.hashCheck = refusal;
        EXPECT_EQ(CSignMessage::checkSignHashAlgoPKey(handle(), 4), refusal);
        EXPECT_EQ(signBlob(4), refusal);
        EXPECT_EQ(signRaw(false, false), refusal);
    }
    EXPECT_EQ(m_card.signCalls, 0);
    m_card.hashCheck = 0;
    m_card.signResult = 0x6982;
    EXPECT_EQ(signBlob(1), -24);
    EXPECT_EQ(signRaw(false, false), 255);

    m_card.signResult = 0;
    Bytes raw;
    ASSERT_EQ(signRaw(true, false, &raw), 0);
    EXPECT_TRUE(m_card.lastDataIsDigest);
    EXPECT_TRUE(m_card.lastPadding);
    ASSERT_EQ(signRaw(true, true, &raw), 0);
    EXPECT_FALSE(m_card.lastPadding);
    EVP_PKEY_CTX* check = EVP_PKEY_CTX_new(X509_get0_pubkey(cert()), nullptr);
    EXPECT_EQ(EVP_PKEY_verify_init(check), 1);
    EXPECT_EQ(EVP_PKEY_verify(check, raw.data(), raw.size(), m_data.data(), m_data.size()), 1);
    EVP_PKEY_CTX_free(check);
}

// Decryption goes to the card; a card key is closed by the card subsystem once.
TEST_F(CardKeySigning, DecryptionAndClosing) {
    Bytes in(256, 7);
    Bytes out(256, 0);
    unsigned long outLength = 0;
    EXPECT_EQ(CSignMessage::RSADecryptBlobSSL(in.data(), 256, nullptr, &outLength, nullptr, handle()), -301);
    EXPECT_EQ(CSignMessage::RSADecryptBlobSSL(nullptr, 256, out.data(), &outLength, nullptr, handle()), -24);
    EXPECT_EQ(CSignMessage::RSADecryptBlobSSL(in.data(), 256, out.data(), &outLength, nullptr, handle()), 0);
    EXPECT_EQ(out, Bytes(256, 0x42));
    m_card.decryptResult = 0x6A80;
    EXPECT_EQ(CSignMessage::RSADecryptBlobSSL(in.data(), 256, out.data(), &outLength, nullptr, handle()), 255);
    CSignMessage::CloseSSLKey(handle());
    EXPECT_EQ(m_card.closeCalls, 1);
}

}  // namespace
