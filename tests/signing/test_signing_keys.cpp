// PKCS#12 key handles, SignBlobSSLRaw checked by OpenSSL, and the card path
// with a scripted card (signing on the card models: tests/smartcard/key).

#include "src/signing/CardKeyOperations.h"
#include "tests/signing/SigningTestUtil.h"

#include <gtest/gtest.h>

using namespace kivo::test::signing;
using kivo::test::KeyKind;

namespace {

EVP_PKEY* asKey(unsigned long* handle) { return reinterpret_cast<EVP_PKEY*>(handle); }

// SignBlobSSLRaw; the certificate, signing time and embed flag are unused.
Bytes signRaw(KeyKind kind, Bytes data, int hash, bool dataIsDigest) {
    Bytes out(1024, 0xEE);
    unsigned long length = 0;
    const int size = static_cast<int>(data.size());
    EXPECT_EQ(CSignMessage::SignBlobSSLRaw(data.data(), size, out.data(), &length, nullptr, nullptr, SigningKeys::get().key(kind), hash, false, dataIsDigest, false), 0);
    out.resize(std::min<std::size_t>(length, out.size()));
    return out;
}

struct SigningKeyFiles : ::testing::TestWithParam<KeyKind> {
    void TearDown() override { CSignMessage::m_isP12 = true; }
};

// Both openers give the file's private key and set the flag; OpenSSLKey's card arguments
// do not matter. The kind is 1 for RSA-PSS, 2 for EC, else 0; every hash code passes.
TEST_P(SigningKeyFiles, OpenersKindAndHashCheck) {
    const KeyKind kind = GetParam();
    const std::string file = SigningKeys::get().p12(kind);
    CSignMessage::m_isP12 = false;
    unsigned long* viaP12 = CSignMessage::OpenSSLKey_P12(file.c_str(), kP12Password, "123456", 3, 7, "4711");
    const bool flagOfP12 = std::exchange(CSignMessage::m_isP12, false);
    unsigned long* viaOpen = CSignMessage::OpenSSLKey(file.c_str(), kP12Password, "123456", 5, 2, "cert-01", "654321", 1);
    EXPECT_TRUE(flagOfP12 && CSignMessage::m_isP12);
    const int expected = kind == KeyKind::RsaPss2048 ? 1 : isEc(kind) ? 2 : 0;
    for (unsigned long* handle : {viaP12, viaOpen}) {
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(EVP_PKEY_eq(asKey(handle), X509_get0_pubkey(SigningKeys::get().cert(kind))), 1);
        EXPECT_EQ(CSignMessage::getSignAlgoFromPKey(handle), expected);
        EXPECT_EQ(CSignMessage::getSignAlgoFromPKeyP12(asKey(handle)), expected);
        for (const int hash : {-1, 0, 3, 5, 7, 100}) EXPECT_EQ(CSignMessage::checkSignHashAlgoPKey(handle, hash), 0) << hash;
        CSignMessage::CloseSSLKey(handle);
    }
}

// The data is digested with the hash code's digest and signed (RSA-PSS with any salt length); with
// dataIsDigest the bytes are signed as given: the message hash for RSA-PSS and EC, in PKCS#1 v1.5 for RSA.
TEST_P(SigningKeyFiles, RawSignatures) {
    const KeyKind kind = GetParam();
    X509* cert = SigningKeys::get().cert(kind);
    const Bytes data = kivo::test::randomBytes(777, 21);
    for (const int hash : {0, 1, 2, 3, 4, 5}) {
        const Bytes signature = signRaw(kind, data, hash, false);
        EXPECT_EQ(digestVerify(cert, ct::mdForHashId(hash), signature, data, RSA_PSS_SALTLEN_AUTO), 1) << hash;
        EXPECT_NE(digestVerify(cert, ct::mdForHashId(hash), signature, ct::tamper(data, data, 7), RSA_PSS_SALTLEN_AUTO), 1);
    }
    for (const EVP_MD* md : {EVP_sha1(), EVP_sha256(), EVP_sha384()}) {
        const Bytes digest = kivo::test::randomBytes(static_cast<std::size_t>(EVP_MD_get_size(md)), 45);
        const Bytes signature = signRaw(kind, digest, 3, true);
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(X509_get0_pubkey(cert), nullptr);
        if (kind == KeyKind::Rsa2048 || kind == KeyKind::Rsa3072) {
            Bytes recovered(signature.size());
            std::size_t length = recovered.size();
            EXPECT_EQ(EVP_PKEY_verify_recover_init(context) + EVP_PKEY_verify_recover(context, recovered.data(), &length, signature.data(), signature.size()), 2);
            EXPECT_EQ(Bytes(recovered.begin(), recovered.begin() + static_cast<std::ptrdiff_t>(length)), digest);
        } else {
            EXPECT_EQ(EVP_PKEY_verify_init(context), 1);
            if (kind == KeyKind::RsaPss2048) { EXPECT_EQ(EVP_PKEY_CTX_set_signature_md(context, md) + EVP_PKEY_CTX_set_rsa_pss_saltlen(context, RSA_PSS_SALTLEN_AUTO), 2); }
            EXPECT_EQ(EVP_PKEY_verify(context, signature.data(), signature.size(), digest.data(), digest.size()), 1) << EVP_MD_get0_name(md);
        }
        EVP_PKEY_CTX_free(context);
        ERR_clear_error();
    }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SigningKeyFiles, ::testing::ValuesIn(kivo::test::allKeyKinds()),
                         [](const auto& info) { return std::string(kivo::test::keyKindName(info.param)); });

TEST(SigningKeyFailures, UnusableFilesNullHandlesAndRefusedCalls) {
    TempDir dir;
    const std::string good = SigningKeys::get().p12(KeyKind::EcP256), noise = dir.file("noise.p12");
    writeBytes(noise, kivo::test::randomBytes(2000, 11));
    for (const auto& [file, password] : {std::pair{good.c_str(), "wrong password"}, std::pair{good.c_str(), static_cast<const char*>(nullptr)},
                                         std::pair{noise.c_str(), kP12Password}, std::pair{static_cast<const char*>(nullptr), kP12Password}}) {
        EXPECT_EQ(CSignMessage::OpenSSLKey_P12(file, password, nullptr, 0, 0, nullptr), nullptr);
    }
    EXPECT_EQ(CSignMessage::OpenSSLKey(dir.file("missing.p12").c_str(), kP12Password, nullptr, 0, 0, nullptr, nullptr, 0), nullptr);
    EXPECT_TRUE(CSignMessage::m_isP12);
    ERR_clear_error();

    for (const bool p12 : {true, false}) {  // the card branch ignores null as well
        CSignMessage::m_isP12 = p12;
        CSignMessage::CloseSSLKey(nullptr);
        EXPECT_EQ(CSignMessage::getSignAlgoFromPKey(nullptr), 0);
        EXPECT_EQ(CSignMessage::checkSignHashAlgoPKey(nullptr, 1), -37);
    }
    CSignMessage::m_isP12 = true;
    const kivo::test::EvpKeyPtr ed25519(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    EXPECT_EQ(CSignMessage::getSignAlgoFromPKeyP12(ed25519.get()), 0) << "an unknown key type counts as RSA";

    Bytes in = kivo::test::randomBytes(256, 5), out(512, 0xEE);
    unsigned long length = 0xDEAD;
    unsigned long* key = SigningKeys::get().key(KeyKind::Rsa2048);
    EXPECT_EQ(CSignMessage::RSADecryptBlobSSL(in.data(), 256, out.data(), &length, SigningKeys::get().cert(KeyKind::Rsa2048), key), -24);
    EXPECT_EQ(CSignMessage::SignBlobSSLRaw(in.data(), 32, nullptr, &length, nullptr, nullptr, key, 1, false, false, false), -301);
    EXPECT_EQ(length, 0xDEADu);
    EXPECT_EQ(CSignMessage::SignBlobSSLRaw(in.data(), 32, out.data(), &length, nullptr, nullptr, nullptr, 1, false, false, false), -37);
}

// A card that answers as scripted; card signing itself, the -88 refusal and a failing card
// under SignBlobSSL are proven on the card models (tests/smartcard/key).
struct ScriptedCard { int kind = 0, hashCheck = 0, result = 0, signCalls = 0, closeCalls = 0; bool lastPadding = true; };

ScriptedCard* cardOf(CSCM_Interface* key) { return reinterpret_cast<ScriptedCard*>(key); }

// Signs `data` as given (PKCS#1 over the bytes) with the test PKI's RSA key.
int scriptedSign(CSCM_Interface* key, const unsigned char* data, unsigned long length, unsigned char* out, unsigned long* outLength, int, bool, bool padding) {
    ++cardOf(key)->signCalls;
    cardOf(key)->lastPadding = padding;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(TestPki::instance().signer(KeyKind::Rsa2048).key.get(), nullptr);
    std::size_t size = 256;
    EXPECT_EQ(EVP_PKEY_sign_init(context) + EVP_PKEY_sign(context, out, &size, data, length), 2);
    EVP_PKEY_CTX_free(context);
    *outLength = static_cast<unsigned long>(size);
    return cardOf(key)->result;
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
        return cardOf(key)->result;
    },
};

TEST(CardKeySigning, CardAnswersReachTheCaller) {
    kivo::registerCardKeyOperations(&kScriptedCard);
    CSignMessage::m_isP12 = false;  // as opening a card key leaves it
    ScriptedCard card{.kind = 2};
    auto* handle = reinterpret_cast<unsigned long*>(&card);
    Bytes data = kivo::test::randomBytes(100, 21);
    Bytes out(8192, 0);
    unsigned long length = 0;
    const auto signRaw = [&](bool cardOption) {
        return CSignMessage::SignBlobSSLRaw(data.data(), 100, out.data(), &length, nullptr, nullptr, handle, 1, false, true, cardOption);
    };
    const auto decrypt = [&](unsigned char* in, unsigned char* to) { return CSignMessage::RSADecryptBlobSSL(in, 100, to, &length, nullptr, handle); };
    EXPECT_EQ(CSignMessage::getSignAlgoFromPKey(handle), 2);
    for (const int refusal : {-88, -89}) {
        card.hashCheck = refusal;
        EXPECT_EQ(CSignMessage::checkSignHashAlgoPKey(handle, 4), refusal);
        EXPECT_EQ(signRaw(false), refusal);
    }
    EXPECT_EQ(card.signCalls, 0);
    card.hashCheck = 0;
    // Bytes given as a digest; cardOption asks the card not to pad.
    ASSERT_EQ(signRaw(true), 0);
    EXPECT_FALSE(card.lastPadding);
    EVP_PKEY_CTX* check = EVP_PKEY_CTX_new(X509_get0_pubkey(SigningKeys::get().cert(KeyKind::Rsa2048)), nullptr);
    EXPECT_EQ(EVP_PKEY_verify_init(check) + EVP_PKEY_verify(check, out.data(), length, data.data(), data.size()), 2);
    EVP_PKEY_CTX_free(check);
    ASSERT_EQ(decrypt(data.data(), out.data()), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + length), Bytes(100, 0x42));
    EXPECT_EQ((Codes{decrypt(nullptr, out.data()), decrypt(data.data(), nullptr)}), (Codes{-24, -301}));
    card.result = 0x6982;
    EXPECT_EQ((Codes{signRaw(false), decrypt(data.data(), out.data())}), (Codes{255, 255}));
    CSignMessage::CloseSSLKey(handle);
    EXPECT_EQ(card.closeCalls, 1);
    kivo::registerCardKeyOperations(nullptr);
    CSignMessage::m_isP12 = true;
}

}  // namespace
