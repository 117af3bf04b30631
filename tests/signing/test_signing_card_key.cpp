// The signing calls with a card key: a scripted card subsystem registered
// through the card-key seam signs with the test PKI's RSA key, so every
// container and signature that comes out is checked by OpenSSL. What is
// proven here is the dispatch: the key-kind flag picks the card path once,
// the card's answers (kind, hash refusal, failure) reach the caller, and a
// card key is closed by the card subsystem, never freed as an EVP_PKEY.

#include "src/signing/CardKeyOperations.h"
#include "tests/signing/SigningTestUtil.h"

#include <gtest/gtest.h>

using namespace kivo::test::signing;
using kivo::test::KeyKind;

namespace {

// What the scripted card answers and what it was asked.
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
    Bytes signature;
    if (dataIsDigest) {  // PKCS#1 type 1 over the bytes as given
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(cardPrivateKey(), nullptr);
        std::size_t size = 512;
        signature.resize(size);
        if (EVP_PKEY_sign_init(context) != 1 ||
            EVP_PKEY_sign(context, signature.data(), &size, input.data(), input.size()) != 1) {
            size = 0;
        }
        EVP_PKEY_CTX_free(context);
        signature.resize(size);
    } else {
        signature = ct::digestSign(cardPrivateKey(), ct::mdForHashId(hash), input);
    }
    std::copy(signature.begin(), signature.end(), out);
    *outLength = static_cast<unsigned long>(signature.size());
    return signature.empty() ? 1 : 0;
}

int scriptedDecrypt(CSCM_Interface* key, const unsigned char*, int inLength, unsigned char* out,
                    unsigned long* outLength) {
    std::fill(out, out + inLength, 0x42);
    *outLength = static_cast<unsigned long>(inLength);
    return cardOf(key)->decryptResult;
}

const kivo::CardKeyOperations kScriptedCard{
    [](const char*, int, int, const char*, const char*, int) -> CSCM_Interface* { return nullptr; },
    [](CSCM_Interface* key) { ++cardOf(key)->closeCalls; },
    [](CSCM_Interface* key) { return cardOf(key)->kind; },
    [](CSCM_Interface* key, int) { return cardOf(key)->hashCheck; },
    scriptedSign,
    scriptedDecrypt,
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
    X509* cert() { return TestPki::instance().signer(KeyKind::Rsa2048).cert.get(); }

    int signBlob(const Bytes& data, int hash, Bytes* der) {
        Bytes out(8192, 0);
        unsigned long length = 0;
        const int result =
            CSignMessage::SignBlobSSL(const_cast<unsigned char*>(data.data()), static_cast<int>(data.size()),
                                      out.data(), &length, nullptr, cert(), handle(), hash, true, nullptr, 0);
        out.resize(result == 0 ? length : 0);
        *der = std::move(out);
        return result;
    }

    ScriptedCard m_card;
};

// The card signs the signed attributes with the call's hash code, unpadded
// by the library and not as a digest; OpenSSL accepts the container.
TEST_F(CardKeySigning, ContainersSignedByTheCardVerify) {
    const Bytes data = kivo::test::randomBytes(500, 21);
    for (const int hash : {0, 1, 2, 3}) {
        Bytes der;
        ASSERT_EQ(signBlob(data, hash, &der), 0) << "hash " << hash;
        EXPECT_EQ(cmsVerify(der, nullptr), 1) << "hash " << hash;
        EXPECT_EQ(m_card.lastHash, hash);
        EXPECT_FALSE(m_card.lastDataIsDigest);
        EXPECT_FALSE(m_card.lastPadding);
    }
    EXPECT_EQ(CSignMessage::getSignAlgoFromPKey(handle()), 0);
    m_card.kind = 2;
    EXPECT_EQ(CSignMessage::getSignAlgoFromPKey(handle()), 2);
}

// The card's refusals and failures reach the caller with the described
// codes, and nothing is signed after a refused hash.
TEST_F(CardKeySigning, CardAnswersReachTheCaller) {
    const Bytes data = kivo::test::randomBytes(100, 22);
    Bytes der;
    Bytes raw(512, 0);
    unsigned long rawLength = 0;
    auto signRaw = [&](bool dataIsDigest, bool cardOption) {
        return CSignMessage::SignBlobSSLRaw(const_cast<unsigned char*>(data.data()), static_cast<int>(data.size()),
                                            raw.data(), &rawLength, nullptr, nullptr, handle(), 1, false,
                                            dataIsDigest, cardOption);
    };
    for (const int refusal : {-88, -89}) {
        m_card.hashCheck = refusal;
        EXPECT_EQ(CSignMessage::checkSignHashAlgoPKey(handle(), 4), refusal);
        EXPECT_EQ(signBlob(data, 4, &der), refusal);
        EXPECT_EQ(signRaw(false, false), refusal);
    }
    EXPECT_EQ(m_card.signCalls, 0);

    m_card.hashCheck = 0;
    m_card.signResult = 0x6982;
    EXPECT_EQ(signBlob(data, 1, &der), -24);
    EXPECT_EQ(signRaw(false, false), 255);

    // A raw signature over bytes given as a digest: cardOption true asks
    // the card not to pad; the value is PKCS#1 over the bytes as given.
    m_card.signResult = 0;
    ASSERT_EQ(signRaw(true, false), 0);
    EXPECT_TRUE(m_card.lastDataIsDigest);
    EXPECT_TRUE(m_card.lastPadding);
    ASSERT_EQ(signRaw(true, true), 0);
    EXPECT_FALSE(m_card.lastPadding);
    raw.resize(rawLength);
    EVP_PKEY_CTX* check = EVP_PKEY_CTX_new(X509_get0_pubkey(cert()), nullptr);
    EXPECT_EQ(EVP_PKEY_verify_init(check), 1);
    EXPECT_EQ(EVP_PKEY_verify(check, raw.data(), raw.size(), data.data(), data.size()), 1);
    EVP_PKEY_CTX_free(check);
}

// Decryption goes to the card; a card key is closed by the card subsystem
// once, and with the flag on file keys the same calls never reach the card.
TEST_F(CardKeySigning, DecryptionAndClosing) {
    Bytes in(256, 7);
    Bytes out(256, 0);
    unsigned long outLength = 0;
    EXPECT_EQ(CSignMessage::RSADecryptBlobSSL(in.data(), 256, nullptr, &outLength, nullptr, handle()), -301);
    EXPECT_EQ(CSignMessage::RSADecryptBlobSSL(nullptr, 256, out.data(), &outLength, nullptr, handle()), -24);
    EXPECT_EQ(CSignMessage::RSADecryptBlobSSL(in.data(), 256, out.data(), &outLength, nullptr, handle()), 0);
    EXPECT_EQ(outLength, 256u);
    m_card.decryptResult = 0x6A80;
    EXPECT_EQ(CSignMessage::RSADecryptBlobSSL(in.data(), 256, out.data(), &outLength, nullptr, handle()), 255);
    EXPECT_EQ(CSignMessage::RSADecryptBlobSSL(in.data(), 256, nullptr, &outLength, nullptr, nullptr), -301);

    CSignMessage::CloseSSLKey(handle());
    EXPECT_EQ(m_card.closeCalls, 1);
}

}  // namespace
