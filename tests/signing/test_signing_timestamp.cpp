// Signing with a time stamp from the local test service: the token over the signature value
// (OpenSSL, Bouncy Castle), the imprint, one row per outcome.

#include "tests/signing/SigningTestUtil.h"
#include "tools/testpki/TsaServer.h"

#include <gtest/gtest.h>
#include <openssl/ts.h>

using namespace kivo::test::signing;
using kivo::test::KeyKind;
using kivo::test::TsaServer;

namespace {

class SigningTimeStamp : public SigningTest {
protected:
    void SetUp() override { SigningTest::SetUp(); writeBytes(input_, content_); }
    int signDetached(KeyKind kind, int hash, std::string out, bool attached = false) {
        return CSignMessage::SignDetachedEnveloped(input_.data(), out.data(), SigningKeys::get().cert(kind), SigningKeys::get().key(kind), hash, nullptr, 0, attached);
    }
    // A builder message followed by `room` zero octets, and addTimestamp's answer for it.
    int addTimestampTo(const Bytes& message, Bytes& buffer, std::size_t room) {
        buffer = kivo::test::cms::join({message, Bytes(room, 0)});
        unsigned long capacity = static_cast<unsigned long>(buffer.size());
        const int result = CSignMessage::addTimestamp(buffer.data(), static_cast<unsigned long>(message.size()), &capacity, 1, 0);
        buffer.resize(capacity);
        return result;
    }
    TempDir dir_;
    Bytes content_ = kivo::test::randomBytes(4000, 91);
    std::string input_ = dir_.file("document.bin");
    std::string output_ = dir_.file("document.p7s");
};

// The DER of the token in the first signer's unsigned attributes.
Bytes tokenOf(const Bytes& container) {
    const CmsPtr cms = ct::parseCms(container);
    return ct::octets(static_cast<const ASN1_STRING*>(
        CMS_unsigned_get0_data_by_OBJ(firstSigner(cms.get()), OBJ_nid2obj(NID_id_smime_aa_timeStampToken), -3, V_ASN1_SEQUENCE)));
}

// TS_RESP_verify_token of `token` against the service's CA with `imprint`.
int verifyToken(const TsaServer& server, const Bytes& token, const Bytes& imprint) {
    const ct::Pkcs7Ptr p7 = ct::parsePkcs7(token);
    TS_VERIFY_CTX* context = TS_VERIFY_CTX_new();
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, server.caCertificate());
    TS_VERIFY_CTX_set_store(context, store);
    TS_VERIFY_CTX_set_imprint(context, static_cast<unsigned char*>(OPENSSL_memdup(imprint.data(), imprint.size())), long(imprint.size()));
    TS_VERIFY_CTX_set_flags(context, TS_VFY_SIGNATURE | TS_VFY_IMPRINT | TS_VFY_VERSION);
    const int result = p7 ? TS_RESP_verify_token(context, p7.get()) : -1;
    TS_VERIFY_CTX_free(context);
    ERR_clear_error();
    return result;
}

// With the standard imprint an RSA-PSS detached and an EC attached signature are accepted by
// OpenSSL and by Bouncy Castle's signer and token validation; an ECDSA signature stamped over
// r‖s (the default) is the control Bouncy Castle must reject.
TEST_F(SigningTimeStamp, StandardImprintIsAcceptedByEveryVerifier) {
    TsaServer server;
    CSignMessage::setTSUrl(server.url());
    CSignMessage::setStandardTSImprint(true);
    const std::string tsaCa = dir_.file("tsa_ca.pem");
    writePem(tsaCa, server.caCertificate());
    std::string list;
    for (const auto& [kind, attached] : {std::pair{KeyKind::RsaPss2048, false}, std::pair{KeyKind::EcP256, true}}) {
        const std::string out = dir_.file(std::string(kivo::test::keyKindName(kind)) + ".p7s");
        ASSERT_EQ(signDetached(kind, 1, out, attached), 0);
        const Bytes der = readBytes(out);
        EXPECT_EQ(cmsVerify(der, attached ? nullptr : &content_, CMS_CADES), 1) << out;
        EXPECT_EQ(verifyToken(server, tokenOf(der), ct::digest(EVP_sha256(), signatureValue(der))), 1) << out;
        list += out + "\t" + (attached ? "-" : input_) + "\t" + tsaCa + "\n";
    }
    CSignMessage::setStandardTSImprint(false);
    ASSERT_EQ(signDetached(KeyKind::EcP256, 1, output_), 0);
    list += output_ + "\t" + input_ + "\t" + tsaCa + "\n";
    if (kivo::test::runCommand("java -version >/dev/null 2>&1").status != 0) GTEST_SKIP() << "no Java runtime for the Bouncy Castle check";
    writeBytes(dir_.file("bc.txt"), Bytes(list.begin(), list.end()));
    const std::string bc = kivo::test::runCommand("java -cp /usr/share/java/bcprov.jar:/usr/share/java/bcpkix.jar:/usr/share/java/bcutil.jar '" KIVO_SOURCE_DIR
                                                  "/tests/signing/BcTimeStampCheck.java' '" + dir_.file("bc.txt") + "' 2>&1").output;
    EXPECT_NE(bc.find("OK "), bc.rfind("OK ")) << bc;
    EXPECT_NE(bc.find("FAIL " + output_ + ": java.lang.Exception: token imprint does not cover the signature value"), std::string::npos) << bc;
    EXPECT_EQ(bc.find("FAIL"), bc.rfind("FAIL")) << "only the control fails\n" << bc;
}

struct ImprintCase { KeyKind kind; int hash; int nid; };

class SigningTimeStampImprint : public SigningTimeStamp, public ::testing::WithParamInterface<ImprintCase> {};

// The request holds the digest of the signature value, by the signing hash
// code for SHA-1 to SHA-512 and by SHA-1 otherwise; under an ECDSA
// signature algorithm (EC keys, codes 0 to 3) the value is taken as r‖s.
TEST_P(SigningTimeStampImprint, RequestCarriesTheDigestOfTheSignature) {
    const ImprintCase& c = GetParam();
    TsaServer server;
    CSignMessage::setTSUrl(server.url());
    ASSERT_EQ(signDetached(c.kind, c.hash, output_), 0);
    const Bytes body = server.lastRequestBody();
    const unsigned char* p = body.data();
    TS_REQ* request = d2i_TS_REQ(nullptr, &p, static_cast<long>(body.size()));
    ASSERT_NE(request, nullptr);
    const int requestNid = OBJ_obj2nid(TS_MSG_IMPRINT_get_algo(TS_REQ_get_msg_imprint(request))->algorithm);
    const Bytes requested = ct::octets(TS_MSG_IMPRINT_get_msg(TS_REQ_get_msg_imprint(request)));
    TS_REQ_free(request);
    const Bytes der = readBytes(output_);
    Bytes stamped = signatureValue(der);
    if (isEc(c.kind) && c.hash >= 0 && c.hash <= 3) stamped = ct::ecdsaRawFromDer(stamped, static_cast<std::size_t>(kivo::test::keyBits(c.kind) / 8));
    const Bytes expected = ct::digest(EVP_get_digestbynid(c.nid), stamped);
    EXPECT_TRUE(requestNid == c.nid && requested == expected) << requestNid;
    EXPECT_EQ((Codes{verifyToken(server, tokenOf(der), expected), cmsVerify(der, &content_, CMS_CADES)}), (Codes{1, 1}));
}

INSTANTIATE_TEST_SUITE_P(HashCodes, SigningTimeStampImprint,
                         ::testing::Values(ImprintCase{KeyKind::EcP384, 0, NID_sha1}, ImprintCase{KeyKind::RsaPss2048, 1, NID_sha256},
                                           ImprintCase{KeyKind::EcP256, 2, NID_sha384}, ImprintCase{KeyKind::Rsa3072, 3, NID_sha512},
                                           ImprintCase{KeyKind::Rsa2048, 4, NID_sha1}, ImprintCase{KeyKind::EcP256, 7, NID_sha1}),
                         [](const auto& info) { return std::string(kivo::test::keyKindName(info.param.kind)) + "_hash" + std::to_string(info.param.hash); });

// addTimestamp on a builder message: the token over SHA-256 of the
// signature value becomes an unsigned attribute of the grown message.
TEST_F(SigningTimeStamp, AddTimestampToABuilderMessage) {
    TsaServer server;
    CSignMessage::setTSUrl(server.url());
    const Bytes message = ct::signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), {});
    Bytes buffer;
    ASSERT_EQ(addTimestampTo(message, buffer, 8000), 0);
    ASSERT_GT(buffer.size(), message.size());
    EXPECT_EQ(verifyToken(server, tokenOf(buffer), ct::digest(EVP_sha256(), signatureValue(buffer))), 1);
    Bytes tight;
    EXPECT_EQ(addTimestampTo(message, tight, 0), -93) << "no room, found after asking";
    EXPECT_EQ(tight, message);
    EXPECT_EQ(server.requestCount(), 2);
    // No message, no such signer, a header claiming more than there is.
    unsigned long capacity = static_cast<unsigned long>(tight.size());
    EXPECT_EQ((Codes{CSignMessage::addTimestamp(nullptr, capacity, &capacity, 1, 0), CSignMessage::addTimestamp(tight.data(), capacity, nullptr, 1, 0)}), (Codes{-24, -24}));
    EXPECT_EQ(CSignMessage::addTimestamp(tight.data(), capacity, &capacity, 1, 3), -94);
    Bytes claims = kivo::test::hex("30827FFF3000");
    EXPECT_EQ(CSignMessage::addTimestamp(claims.data(), 6, &capacity, 1, 0), -94);
}

// A service that answers without a granted DER response gives -92, a URL that cannot be used -91
// (each answer of the client: test_timestamp_client): no output is written, and addTimestamp leaves
// the message as it was.
TEST_F(SigningTimeStamp, ServiceFaultsWriteNothing) {
    const Bytes message = ct::signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), {});
    TsaServer server(TsaServer::Mode::GrantedWithMods);
    for (const auto& [url, expected] : {std::pair{server.url(), -92}, std::pair{std::string("http://"), -91}}) {
        SCOPED_TRACE(url);
        CSignMessage::setTSUrl(url);
        EXPECT_EQ(signDetached(KeyKind::EcP256, 1, output_), expected);
        EXPECT_EQ(dir_.entries(), std::vector<std::string>{"document.bin"});
        Bytes buffer;
        EXPECT_EQ(addTimestampTo(message, buffer, 8000), expected);
        EXPECT_EQ(buffer, kivo::test::cms::join({message, Bytes(8000, 0)}));
    }
}

}  // namespace
