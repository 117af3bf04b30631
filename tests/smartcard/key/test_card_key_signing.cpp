// Signing through CSignMessage with the key on a signature card, where the
// card misbehaves: pulled out of the reader in the middle of a signature,
// the call fails and the next key opened after reinserting it signs again.

#include "SignMessageSSLM.h"
#include "smartcard/key/SCM_Interface.h"
#include "tests/support/ContainerTestUtil.h"
#include "tests/support/card/CardUnderTest.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/x509.h>

#include <fstream>
#include <sstream>
#include <string>

namespace kivo::test {
namespace {

std::string signatureCard() {
    std::ifstream in(std::string(KIVO_VCARD_CARDS) + "/signature-card.txt");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A detached container over `data` made with the card key opened on the
// only reader, or the library's failure code.
int signWithCard(unsigned long* key, Bytes data, Bytes& container) {
    auto* card = reinterpret_cast<CSCM_Interface*>(key);
    const Bytes& der = card->FindEntry()->certificate;
    const unsigned char* cursor = der.data();
    X509* certificate = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
    container.assign(8192, 0);
    unsigned long length = 0;
    const int result = CSignMessage::SignBlobSSL(data.data(), static_cast<int>(data.size()), container.data(),
                                                 &length, nullptr, certificate, key, 1, false, nullptr, 0);
    container.resize(result == 0 ? length : 0);
    X509_free(certificate);
    return result;
}

bool verifiesWithOpenSsl(const Bytes& container, const Bytes& data) {
    container::CmsPtr cms = container::parseCms(container);
    BIO* content = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
    const bool valid = cms && CMS_verify(cms.get(), nullptr, nullptr, content, nullptr,
                                         CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1;
    BIO_free(content);
    return valid;
}

TEST(SigningWithACardKey, CardPulledOutMidSignatureAndReinserted) {
    CardUnderTest card("pulled-out", signatureCard());
    ASSERT_NO_FATAL_FAILURE(card.openInProcess());
    const Bytes data = {'c', 'o', 'n', 't', 'r', 'a', 'c', 't'};
    Bytes container;
    for (const int commandsBeforePulling : {0, 1}) {  // signing takes two: MSE SET, PSO
        SCOPED_TRACE(commandsBeforePulling);
        unsigned long* key = CSignMessage::OpenSSLKey(nullptr, nullptr, "123456", 0, 0, "", nullptr, 0);
        ASSERT_NE(key, nullptr);
        card.pullOutAfter(commandsBeforePulling);
        EXPECT_EQ(signWithCard(key, data, container), -24);
        CSignMessage::CloseSSLKey(key);
        EXPECT_EQ(CSignMessage::OpenSSLKey(nullptr, nullptr, "123456", 0, 0, "", nullptr, 0), nullptr)
            << "no key while the card is out";
        card.reinsert();
    }
    unsigned long* key = CSignMessage::OpenSSLKey(nullptr, nullptr, "123456", 0, 0, "", nullptr, 0);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(signWithCard(key, data, container), 0);
    EXPECT_TRUE(verifiesWithOpenSsl(container, data));
    CSignMessage::CloseSSLKey(key);
}

}  // namespace
}  // namespace kivo::test
