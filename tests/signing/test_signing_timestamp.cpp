// File signing with a time stamp from the RFC 3161 service of the test
// support: the token over the signature value, the imprint per hash code,
// and the service failures.

#include "tests/signing/SigningTestUtil.h"
#include "tests/signing/TimeStampTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/ts.h>

using namespace kivo::test::signing;
using kivo::test::KeyKind;
using kivo::test::TsaServer;

namespace {

class SigningTimeStamp : public SigningTest {
protected:
    void SetUp() override {
        kivo::test::bypassProxyForLoopback();
        input_ = dir_.file("document.bin");
        writeFile(input_, kivo::test::randomBytes(4000, 91));
    }

    int signDetached(KeyKind kind, int hash) {
        return CSignMessage::SignDetached(input_.data(), output_.data(), SigningKeys::get().signer(kind).cert.get(),
                                          SigningKeys::get().key(kind), hash, nullptr, 0);
    }

    TempDir dir_;
    std::string input_;
    std::string output_ = dir_.file("document.p7s");
};

// The DER of the token in the first signer's unsigned attributes.
Bytes tokenOf(CMS_SignerInfo* si) {
    ASN1_OBJECT* oid = OBJ_txt2obj(kTimeStampTokenOid, 1);
    const auto* value =
        static_cast<const ASN1_STRING*>(CMS_unsigned_get0_data_by_OBJ(si, oid, -3, V_ASN1_SEQUENCE));
    ASN1_OBJECT_free(oid);
    return ct::octets(value);
}

// TS_RESP_verify_token of `token` against the service's CA with `imprint`.
int verifyToken(const TsaServer& server, const Bytes& token, const Bytes& imprint) {
    const ct::Pkcs7Ptr p7 = ct::parsePkcs7(token);
    if (!p7) return -1;
    TS_VERIFY_CTX* context = TS_VERIFY_CTX_new();
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, server.caCertificate());
    TS_VERIFY_CTX_set_store(context, store);
    auto* copy = static_cast<unsigned char*>(OPENSSL_memdup(imprint.data(), imprint.size()));
    TS_VERIFY_CTX_set_imprint(context, copy, static_cast<long>(imprint.size()));
    TS_VERIFY_CTX_set_flags(context, TS_VFY_SIGNATURE | TS_VFY_IMPRINT | TS_VFY_VERSION);
    const int result = TS_RESP_verify_token(context, p7.get());
    TS_VERIFY_CTX_free(context);
    ERR_clear_error();
    return result;
}

TEST_F(SigningTimeStamp, TokenVerifiesWithOpensslTs) {
    TsaServer server;
    CSignMessage::setTSUrl(server.url());
    ASSERT_EQ(signDetached(KeyKind::Rsa2048, 1), 0);
    EXPECT_EQ(server.requestCount(), 1);

    const Bytes der = readFile(output_);
    const CmsPtr cms = ct::parseCms(der);
    ASSERT_TRUE(cms);
    CMS_SignerInfo* si = firstSigner(cms.get());
    EXPECT_EQ(CMS_unsigned_get_attr_count(si), 1);
    const Bytes token = tokenOf(si);
    ASSERT_FALSE(token.empty());
    writeFile(dir_.file("token.der"), token);
    writePem(dir_.file("tsa_ca.pem"), server.caCertificate());

    const Bytes imprint = ct::digest(EVP_sha256(), signatureValue(si));
    const auto ts = kivo::test::runCommand("openssl ts -verify -in '" + dir_.file("token.der") +
                                           "' -token_in -digest " + kivo::test::toHex(imprint) + " -CAfile '" +
                                           dir_.file("tsa_ca.pem") + "' 2>&1");
    EXPECT_EQ(ts.status, 0) << ts.output;
    const auto cmsCheck = kivo::test::runCommand("openssl cms -verify -binary -inform DER -in '" + output_ +
                                                 "' -content '" + input_ + "' -CAfile '" +
                                                 SigningKeys::get().caPem() + "' -purpose any -out /dev/null 2>&1");
    EXPECT_EQ(cmsCheck.status, 0) << cmsCheck.output;
}

// Every key kind, attached and detached, content from 10 octets to 20 MiB,
// with the standard imprint: OpenSSL's cms and ts verification and Bouncy
// Castle's signer and time-stamp token validation all accept the result.
TEST_F(SigningTimeStamp, StandardImprintIsAcceptedByEveryVerifier) {
    TsaServer server;
    CSignMessage::setTSUrl(server.url());
    CSignMessage::setStandardTSImprint(true);
    const std::string tsaCa = dir_.file("tsa_ca.pem");
    writePem(tsaCa, server.caCertificate());
    std::string bouncyCastleList;
    int cases = 0;
    for (const std::size_t size : {std::size_t{10}, std::size_t{1024}, std::size_t{100 * 1024}, std::size_t{20 << 20}}) {
        const std::string content = dir_.file("content-" + std::to_string(size));
        writeFile(content, kivo::test::randomBytes(size, static_cast<unsigned>(size)));
        for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::RsaPss2048, KeyKind::EcP256}) {
            for (const bool attached : {false, true}) {
                const std::string name = std::string(kivo::test::keyKindName(kind)) + "-" + std::to_string(size) +
                                         (attached ? "-attached" : "-detached");
                SCOPED_TRACE(name);
                std::string in = content;
                std::string out = dir_.file(name + ".p7s");
                ASSERT_EQ(CSignMessage::SignDetachedEnveloped(in.data(), out.data(), SigningKeys::get().signer(kind).cert.get(),
                                                              SigningKeys::get().key(kind), 1, nullptr, 0, attached),
                          0);
                const auto cms = kivo::test::runCommand(
                    "openssl cms -verify -binary -inform DER -in '" + out + "'" + (attached ? "" : " -content '" + in + "'") +
                    " -CAfile '" + SigningKeys::get().caPem() + "' -purpose any -out /dev/null 2>&1");
                EXPECT_EQ(cms.status, 0) << cms.output;

                const CmsPtr parsed = ct::parseCms(readFile(out));
                ASSERT_TRUE(parsed);
                CMS_SignerInfo* si = firstSigner(parsed.get());
                const std::string token = dir_.file(name + ".tst");
                writeFile(token, tokenOf(si));
                const Bytes imprint = ct::digest(EVP_sha256(), signatureValue(si));
                const auto ts = kivo::test::runCommand("openssl ts -verify -in '" + token + "' -token_in -digest " +
                                                       kivo::test::toHex(imprint) + " -CAfile '" + tsaCa + "' 2>&1");
                EXPECT_EQ(ts.status, 0) << ts.output;
                bouncyCastleList += out + "\t" + (attached ? "-" : in) + "\t" + tsaCa + "\n";
                ++cases;
            }
        }
    }
    EXPECT_EQ(server.requestCount(), cases);

    // The control: an ECDSA signature stamped with the library's default
    // imprint (r||s) is one Bouncy Castle must reject.
    CSignMessage::setStandardTSImprint(false);
    std::string in = dir_.file("content-10");
    std::string rawOut = dir_.file("raw-imprint.p7s");
    ASSERT_EQ(CSignMessage::SignDetached(in.data(), rawOut.data(), SigningKeys::get().signer(KeyKind::EcP256).cert.get(),
                                         SigningKeys::get().key(KeyKind::EcP256), 1, nullptr, 0),
              0);
    bouncyCastleList += rawOut + "\t" + in + "\t" + tsaCa + "\n";

    if (kivo::test::runCommand("java -version >/dev/null 2>&1").status != 0) {
        GTEST_SKIP() << "no Java runtime: the Bouncy Castle check needs default-jdk-headless and libbcpkix-java";
    }
    const std::string list = dir_.file("bouncy-castle.txt");
    writeFile(list, Bytes(bouncyCastleList.begin(), bouncyCastleList.end()));
    const auto bc = kivo::test::runCommand(
        "java -cp /usr/share/java/bcprov.jar:/usr/share/java/bcpkix.jar:/usr/share/java/bcutil.jar '" KIVO_SOURCE_DIR
        "/tests/signing/BcTimeStampCheck.java' '" + list + "' 2>&1");
    EXPECT_EQ(bc.status, 0) << bc.output;
    std::size_t passed = 0;
    for (std::size_t at = bc.output.find("OK "); at != std::string::npos; at = bc.output.find("OK ", at + 1)) ++passed;
    EXPECT_EQ(passed, static_cast<std::size_t>(cases)) << bc.output;
    EXPECT_NE(bc.output.find("FAIL " + rawOut + ": java.lang.Exception: token imprint does not cover the signature value"),
              std::string::npos)
        << bc.output;
    EXPECT_EQ(bc.output.find("FAIL"), bc.output.rfind("FAIL")) << "only the control fails\n" << bc.output;
}

struct ImprintCase {
    KeyKind kind;
    int hash;  // signing hash code
    int nid;   // digest of the imprint
};

class SigningTimeStampImprint : public SigningTimeStamp, public ::testing::WithParamInterface<ImprintCase> {};

// The request holds the digest of the signature value, by the signing hash
// code for SHA-1 to SHA-512 and by SHA-1 for every other code. Under an
// ECDSA signature algorithm (EC keys with codes 0 to 3) the value is taken
// in its raw form r‖s; under the key's own OID, which the builder writes
// for the other codes, the stored octets are stamped as they are.
TEST_P(SigningTimeStampImprint, RequestCarriesTheDigestOfTheSignature) {
    const ImprintCase& c = GetParam();
    TsaServer server;
    CSignMessage::setTSUrl(server.url());
    ASSERT_EQ(signDetached(c.kind, c.hash), 0);

    const Bytes body = server.lastRequestBody();
    const unsigned char* p = body.data();
    TS_REQ* request = d2i_TS_REQ(nullptr, &p, static_cast<long>(body.size()));
    ASSERT_NE(request, nullptr);
    TS_MSG_IMPRINT* imprint = TS_REQ_get_msg_imprint(request);
    const int requestNid = OBJ_obj2nid(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
    const Bytes requested = ct::octets(TS_MSG_IMPRINT_get_msg(imprint));
    TS_REQ_free(request);

    const Bytes der = readFile(output_);
    const CmsPtr cms = ct::parseCms(der);
    ASSERT_TRUE(cms);
    CMS_SignerInfo* si = firstSigner(cms.get());
    Bytes stamped = signatureValue(si);
    const bool ecdsaAlgorithm =
        (c.kind == KeyKind::EcP256 || c.kind == KeyKind::EcP384) && c.hash >= 0 && c.hash <= 3;
    if (ecdsaAlgorithm) {
        stamped = ct::ecdsaRawFromDer(stamped, static_cast<std::size_t>(kivo::test::keyBits(c.kind) / 8));
    }
    const Bytes expected = ct::digest(EVP_get_digestbynid(c.nid), stamped);
    EXPECT_EQ(requestNid, c.nid);
    EXPECT_EQ(requested, expected);
    EXPECT_EQ(verifyToken(server, tokenOf(si), expected), 1);
    const Bytes content = readFile(input_);
    EXPECT_EQ(cmsVerify(der, &content, CMS_CADES), 1);
}

INSTANTIATE_TEST_SUITE_P(HashCodes, SigningTimeStampImprint,
                         ::testing::Values(ImprintCase{KeyKind::EcP384, 0, NID_sha1},
                                           ImprintCase{KeyKind::RsaPss2048, 1, NID_sha256},
                                           ImprintCase{KeyKind::EcP256, 2, NID_sha384},
                                           ImprintCase{KeyKind::Rsa3072, 3, NID_sha512},
                                           ImprintCase{KeyKind::Rsa2048, 4, NID_sha1},
                                           ImprintCase{KeyKind::RsaPss2048, 5, NID_sha1},
                                           ImprintCase{KeyKind::Rsa2048, 7, NID_sha1},
                                           ImprintCase{KeyKind::EcP256, 7, NID_sha1}),
                         [](const auto& info) {
                             return std::string(kivo::test::keyKindName(info.param.kind)) + "_hash" +
                                    std::to_string(info.param.hash);
                         });

// A service that cannot be reached, or answers without a DER body, gives
// no response (-92); only a URL that cannot be used at all is an HTTP
// failure (-91).
enum class Service { Live, Closed, NoUsableUrl };

struct ServiceFault {
    const char* name;
    TsaServer::Mode mode;
    Service service;
    int expected;
};

class SigningTimeStampFaults : public SigningTimeStamp, public ::testing::WithParamInterface<ServiceFault> {};

TEST_P(SigningTimeStampFaults, NoOutputIsWritten) {
    const ServiceFault& f = GetParam();
    auto server = std::make_unique<TsaServer>(f.mode);
    const std::string url = f.service == Service::NoUsableUrl ? "http://" : server->url();
    if (f.service == Service::Closed) server.reset();  // nobody listens on its port now
    CSignMessage::setTSUrl(url);
    EXPECT_EQ(signDetached(KeyKind::EcP256, 1), f.expected);
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{"document.bin"});
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SigningTimeStampFaults,
    ::testing::Values(ServiceFault{"ServiceDown", TsaServer::Mode::Normal, Service::Closed, -92},
                      ServiceFault{"UnusableUrl", TsaServer::Mode::Normal, Service::NoUsableUrl, -91},
                      ServiceFault{"Http500", TsaServer::Mode::HttpError, Service::Live, -92},
                      ServiceFault{"GrantedWithModifications", TsaServer::Mode::GrantedWithMods, Service::Live, -92},
                      ServiceFault{"NotDer", TsaServer::Mode::NotDer, Service::Live, -92}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
