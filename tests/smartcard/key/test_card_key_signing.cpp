// CSignMessage with a card key of every family, verified by OpenSSL; a card pulled out mid-signature.

#include "SCMutils.h"
#include "SignMessageSSLM.h"
#include "smartcard/key/SCM_Interface.h"
#include "tests/support/ContainerTestUtil.h"
#include "tests/support/TestSupport.h"
#include "tests/support/card/CardFamilies.h"
#include "tests/support/card/CardUnderTest.h"
#include "tests/support/card/OpenCardKey.h"
#include "tools/testpki/TsaServer.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <filesystem>
#include <fstream>

namespace kivo::test {
namespace {

constexpr char kCardPin[] = "123456";
// The SignerInfo's signature algorithm for each signature kind (SHA-256).
constexpr const char* kSignatureAlgorithms[] = {"1.2.840.113549.1.1.1", "1.2.840.113549.1.1.10",
                                                "1.2.840.10045.4.3.2"};

using KeyHandle =
    std::unique_ptr<unsigned long, decltype([](unsigned long* key) { CSignMessage::CloseSSLKey(key); })>;


X509Ptr certificateOf(unsigned long* key) {
    const Bytes& der = reinterpret_cast<CSCM_Interface*>(key)->FindEntry()->certificate;
    const unsigned char* cursor = der.data();
    return X509Ptr(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
}

// The host's PIN dialog: types the card's PIN into each keyboard prompt and counts them.
int g_prompts = 0;
bool typePin(FPINDialogCallBackParams* params) {
    if (params->action == 0 && !params->pinPad) params->pin = kCardPin;
    g_prompts += params->action == 0 && !params->pinPad;
    return true;
}

// What every family signs, and the time-stamp service with its CA in a file.
struct Signing {
    TempDir dir{"kivo-card-signing"};
    TsaServer service;
    std::string tsaCa = dir.file("tsa-ca.pem");
    std::string document = dir.file("document.txt");
    Bytes content = {'s', 'i', 'g', 'n', 'e', 'd', ' ', 'b', 'y', ' ', 'c', 'a', 'r', 'd'};
};


// CMS_verify trusting only the card's self-signed certificate, over `content` or holding it; the
// signer names the algorithm of the card's scheme, and the only certificate is the card's.
void expectVerifies(const Bytes& der, const Bytes& content, bool embedded, X509* cardCertificate,
                    SignatureKind kind) {
    const container::CmsPtr cms = container::parseCms(der);
    ASSERT_TRUE(cms);
    const std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
    X509_STORE_add_cert(store.get(), cardCertificate);
    X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
    const container::BioPtr detached(embedded ? nullptr : BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    const container::BioPtr out(BIO_new(BIO_s_mem()));
    EXPECT_EQ(CMS_verify(cms.get(), nullptr, store.get(), detached.get(), out.get(), CMS_BINARY), 1)
        << ERR_reason_error_string(ERR_get_error());
    if (embedded) {
        EXPECT_EQ(cms::bioBytes(out.get()), content);
    }
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    X509_ALGOR* algorithm = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, nullptr, &algorithm);
    EXPECT_EQ(container::dotted(algorithm->algorithm), kSignatureAlgorithms[static_cast<int>(kind)]);
    STACK_OF(X509)* certificates = CMS_get1_certs(cms.get());
    ASSERT_EQ(sk_X509_num(certificates), 1);
    EXPECT_EQ(X509_cmp(sk_X509_value(certificates, 0), cardCertificate), 0);
    sk_X509_pop_free(certificates, X509_free);
}

// The time-stamp token verifies with `openssl ts -verify` against the service's CA.
void expectTimeStamp(const std::string& file, const Signing& signing) {
    const container::CmsPtr cms = container::parseCms(readBytes(file));
    ASSERT_TRUE(cms);
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    ASN1_OBJECT* tokenOid = OBJ_txt2obj("1.2.840.113549.1.9.16.2.14", 1);
    const auto* token =
        static_cast<const ASN1_STRING*>(CMS_unsigned_get0_data_by_OBJ(signer, tokenOid, -3, V_ASN1_SEQUENCE));
    ASN1_OBJECT_free(tokenOid);
    ASSERT_NE(token, nullptr) << "no time-stamp token in " << file;
    const std::string tokenFile = file + ".tst";
    std::ofstream(tokenFile, std::ios::binary)
        .write(reinterpret_cast<const char*>(ASN1_STRING_get0_data(token)), ASN1_STRING_length(token));
    const Bytes imprint =
        container::digest(EVP_sha256(), container::octets(CMS_SignerInfo_get0_signature(signer)));
    const CommandResult check = runCommand("openssl ts -verify -in '" + tokenFile + "' -token_in -digest " +
                                           toHex(imprint) + " -CAfile '" + signing.tsaCa + "' 2>&1");
    EXPECT_EQ(check.status, 0) << check.output;
}

// Every signing call of CSignMessage on one family, each with a key of its own.
void signWithFamily(const CardFamily& row, Signing& signing) {
    const std::string cardName = row.card;
    CardUnderTest card(cardName);
    ASSERT_NO_FATAL_FAILURE(card.open());
    const auto paceReader = paceReaderFor(row);
    const int reader = readerIndexOf(card);
    ASSERT_GE(reader, 0) << card.readerName();
    KeyHandle key;
    const auto reopen = [&](const char* pin) {
        key.reset();
        key.reset(CSignMessage::OpenSSLKey(nullptr, nullptr, pin, reader, 0, row.signingEntry,
                                           row.cardAccessNumber, 0));
        return key != nullptr;
    };
    g_prompts = 0;
    CSCUtils::SetPINDialogCallbackFunc(typePin);
    CSCUtils::SetUsePINDialogCallback(true);
    const bool opened = reopen(nullptr);
    CSCUtils::SetUsePINDialogCallback(false);
    CSCUtils::SetPINDialogCallbackFunc(nullptr);
    ASSERT_TRUE(opened) << "PIN typed through the host's dialog";
    EXPECT_EQ(g_prompts, 1);
    const X509Ptr certificate = certificateOf(key.get());
    ASSERT_NE(certificate, nullptr);
    Bytes& content = signing.content;
    const int size = static_cast<int>(content.size());

    unsigned long predicted = 0, length = 0;
    ASSERT_EQ(CSignMessage::SignBlobSSLForLength(content.data(), size, nullptr, &predicted, nullptr,
                                                 certificate.get(), key.get(), 1, true, nullptr, 0), 0);
    Bytes blob(predicted);
    ASSERT_EQ(CSignMessage::SignBlobSSL(content.data(), size, blob.data(), &length, nullptr, certificate.get(),
                                        key.get(), 1, true, nullptr, 0), 0);
    EXPECT_TRUE(row.kind == SignatureKind::Ecdsa ? length <= predicted : length == predicted);
    blob.resize(length);
    expectVerifies(blob, content, true, certificate.get(), row.kind);

    std::string detached = signing.dir.file(cardName + "-detached.p7s");
    if (row.signsSha256Only) {
        ASSERT_TRUE(reopen(kCardPin));
        EXPECT_EQ(CSignMessage::SignBlobSSL(content.data(), size, blob.data(), &length, nullptr, certificate.get(),
                                            key.get(), 0, true, nullptr, 0), -88);
        EXPECT_EQ(CSignMessage::SignDetached(signing.document.data(), detached.data(), certificate.get(), key.get(),
                                             0, nullptr, 0), -88);
        EXPECT_FALSE(std::filesystem::exists(detached));
    }
    // The files, each with its time stamp: detached, then holding the document.
    for (const bool embedded : {false, true}) {
        ASSERT_TRUE(reopen(kCardPin));
        std::string file = embedded ? signing.dir.file(cardName + "-enveloped.p7m") : detached;
        const auto sign = embedded ? CSignMessage::SignEnveloped : CSignMessage::SignDetached;
        ASSERT_EQ(sign(signing.document.data(), file.data(), certificate.get(), key.get(), 1, nullptr, 0), 0);
        expectVerifies(readBytes(file), content, embedded, certificate.get(), row.kind);
        expectTimeStamp(file, signing);
    }

    ASSERT_TRUE(reopen(kCardPin));
    Bytes raw(512);
    ASSERT_EQ(CSignMessage::SignBlobSSLRaw(content.data(), size, raw.data(), &length, nullptr, certificate.get(),
                                           key.get(), 1, false, false, false), 0);
    raw.resize(length);
    EXPECT_TRUE(verifiesUnder(row.kind, reinterpret_cast<CSCM_Interface*>(key.get())->FindEntry()->certificate,
                              sha256(content), raw));
    if (row.decipheringEntry == nullptr) return;

    auto decipherer = openCardKey(card, row.decipheringEntry);
    ASSERT_TRUE(decipherer != nullptr && decipherer->FindEntry() != nullptr) << row.decipheringEntry;
    ASSERT_TRUE(!decipherer->UsesPACE() || decipherer->InitPACE(row.cardAccessNumber));
    ASSERT_TRUE(decipherer->VerifyPIN(kCardPin, 0));
    const ByteVector secret = {0x5E, 0xC2, 0xE7, 0x01, 0x02, 0x03, 0x04, 0x05};
    const ByteVector cryptogram = rsaEncrypt(decipherer->FindEntry()->certificate, secret);
    ASSERT_EQ(decipherer->CardRSADecrypt(cryptogram.data(), static_cast<int>(cryptogram.size()), raw.data(), &length), card::cOk);
    EXPECT_EQ(Bytes(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(length)), secret);
}

TEST(SigningWithACardKey, EveryCallOnEveryCardFamilyVerifiesWithOpenSsl) {
    bypassProxyForLoopback();
    Signing signing;
    container::BioPtr caFile(BIO_new_file(signing.tsaCa.c_str(), "w"));
    ASSERT_TRUE(caFile && PEM_write_bio_X509(caFile.get(), signing.service.caCertificate()) == 1);
    caFile.reset();
    std::ofstream(signing.document, std::ios::binary)
        .write(reinterpret_cast<const char*>(signing.content.data()), static_cast<std::streamsize>(signing.content.size()));
    CSignMessage::setTSUrl(signing.service.url());
    // The imprint over the stored signature value, which OpenSSL checks.
    CSignMessage::setStandardTSImprint(true);
    for (const CardFamily& row : cardFamilies()) {
        SCOPED_TRACE(row.card);
        signWithFamily(row, signing);
    }
    CSignMessage::setStandardTSImprint(false);
    CSignMessage::setTSUrl("");
}

TEST(SigningWithACardKey, CardPulledOutMidSignatureAndReinserted) {
    CardUnderTest card("signature-card");
    ASSERT_NO_FATAL_FAILURE(card.openInProcess());
    Bytes data = {'c', 'o', 'n', 't', 'r', 'a', 'c', 't'}, container(8192);
    unsigned long length = 0;
    const auto signDetached = [&](unsigned long* key) {
        return CSignMessage::SignBlobSSL(data.data(), static_cast<int>(data.size()), container.data(), &length, nullptr,
                                         certificateOf(key).get(), key, 1, false, nullptr, 0);
    };
    // Pulled out before the signature's first command (MSE SET) and before its second (PSO).
    for (const int commandsBeforePulling : {0, 1}) {
        SCOPED_TRACE(commandsBeforePulling);
        KeyHandle key(CSignMessage::OpenSSLKey(nullptr, nullptr, "123456", 0, 0, "", nullptr, 0));
        ASSERT_NE(key, nullptr);
        card.pullOutAfter(commandsBeforePulling);
        EXPECT_EQ(signDetached(key.get()), -24);
        key.reset();
        EXPECT_EQ(KeyHandle(CSignMessage::OpenSSLKey(nullptr, nullptr, "123456", 0, 0, "", nullptr, 0)), nullptr)
            << "no key while the card is out";
        card.reinsert();
    }
    const KeyHandle key(CSignMessage::OpenSSLKey(nullptr, nullptr, "123456", 0, 0, "", nullptr, 0));
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(signDetached(key.get()), 0);
    container.resize(length);
    expectVerifies(container, data, false, certificateOf(key.get()).get(), SignatureKind::RsaPkcs1);
}

}  // namespace
}  // namespace kivo::test
