// File signing: containers checked with the openssl command line, refusals write nothing.

#include "tests/signing/SigningTestUtil.h"

#include <gtest/gtest.h>

using namespace kivo::test::signing;
using kivo::test::KeyKind;

namespace {

class SigningFiles : public SigningTest {
protected:
    void SetUp() override { writeBytes(input_, content_); }

    int sign(bool enveloped, std::string in, std::string out, KeyKind kind = KeyKind::EcP256, int hash = 1, std::vector<Bytes> extras = {}) {
        std::vector<_ASN1_CERT_BLOB> blobs;
        for (Bytes& der : extras) blobs.push_back({der.data(), static_cast<unsigned long>(der.size())});
        return (enveloped ? CSignMessage::SignEnveloped : CSignMessage::SignDetached)(
            in.data(), out.data(), SigningKeys::get().cert(kind), SigningKeys::get().key(kind), hash,
            blobs.empty() ? nullptr : blobs.data(), static_cast<int>(blobs.size()));
    }

    // A file name of `length` characters below the folder, in folders of 150.
    std::string nameOfLength(std::size_t length) {
        std::string name = dir_.path().string();
        while (length > name.size() + 201) fs::create_directories(name += "/" + std::string(150, 'd'));
        return name + "/" + std::string(length - name.size() - 1, 'n');
    }

    TempDir dir_;
    Bytes content_ = kivo::test::randomBytes(5000, 61);
    std::string input_ = dir_.file("document.bin");
};

// The enveloped container carries the document and three further certificates, the detached
// one neither (key kinds and hash codes: the memory-signing table, which shares the code).
TEST_F(SigningFiles, DetachedAndEnvelopedVerifyWithOpensslCms) {
    for (const auto& [enveloped, kind] : {std::pair{false, KeyKind::RsaPss2048}, std::pair{true, KeyKind::EcP384}}) {
        const std::string out = dir_.file(enveloped ? "enveloped.p7m" : "detached.p7s");
        ASSERT_EQ(sign(enveloped, input_, out, kind, 0, enveloped ? TestPki::instance().extraCertificates() : std::vector<Bytes>{}), 0);
        const auto check = kivo::test::runCommand("openssl cms -verify -binary -inform DER -in '" + out + "'" +
                                                  (enveloped ? "" : " -content '" + input_ + "'") + " -CAfile '" +
                                                  SigningKeys::get().caPem() + "' -purpose any -out /dev/null 2>&1");
        EXPECT_EQ(check.status, 0) << check.output;
        const CmsPtr cms = ct::parseCms(readBytes(out));
        EXPECT_EQ(ct::octets(*CMS_get0_content(cms.get())), enveloped ? content_ : Bytes{});
        EXPECT_EQ(sk_X509_num(ct::Pkcs7Ptr(ct::parsePkcs7(readBytes(out)))->d.sign->cert), enveloped ? 4 : 1);
        EXPECT_NEAR(static_cast<double>(signingTimeOf(readBytes(out)).value_or(0)), static_cast<double>(std::time(nullptr)), 5);
    }
    EXPECT_EQ(dir_.entries(), (std::vector<std::string>{"detached.p7s", "document.bin", "enveloped.p7m"}));
}

TEST_F(SigningFiles, RefusalsWriteNothing) {
    const std::string empty = dir_.file("empty.bin"), longInput = nameOfLength(300), out = dir_.file("out.p7s");
    writeBytes(empty, {});
    writeBytes(longInput, content_);
    const struct { const char* what; std::optional<std::string> in, out; int expected; bool nullCertificate = false, nullKey = false; } cases[] = {
        {"equal names", input_, std::string(input_), -35},
        {"output in a missing folder", input_, dir_.file("no-such-folder/out.p7s"), -36},
        {"output name of 257 characters", input_, nameOfLength(257), -1007},
        {"input name of 300 characters", longInput, out, -1007},
        {"null input name", std::nullopt, out, -1008},
        {"null output name", input_, std::nullopt, -1008},
        {"missing input", dir_.file("missing.bin"), out, -1012},
        {"empty input", empty, out, -1025},
        {"input is a folder", dir_.path().string(), out, -1012},
        {"null certificate signs nothing", input_, out, 0, true},
        {"null key", input_, out, -24, false, true},
    };
    const auto entries = dir_.entries();
    for (auto c : cases) {
        SCOPED_TRACE(c.what);
        X509* cert = c.nullCertificate ? nullptr : SigningKeys::get().cert(KeyKind::EcP256);
        unsigned long* key = c.nullKey ? nullptr : SigningKeys::get().key(KeyKind::EcP256);
        for (const bool enveloped : {false, true}) {
            EXPECT_EQ(CSignMessage::SignDetachedEnveloped(c.in ? c.in->data() : nullptr, c.out ? c.out->data() : nullptr, cert, key, 1, nullptr, 0, enveloped), c.expected);
            EXPECT_EQ(dir_.entries(), entries);
        }
    }
    EXPECT_EQ(readBytes(input_), content_);
}

// Names of exactly 256 characters are accepted. A failing call leaves an existing output as it was,
// with no temporary file beside it; a successful one replaces it entirely.
TEST_F(SigningFiles, NamesOf256CharactersAndReplacingAnOutput) {
    const std::string in = nameOfLength(256), longOut = in.substr(0, 255) + "o";
    writeBytes(in, content_);
    ASSERT_EQ(sign(false, in, longOut), 0);
    EXPECT_EQ(cmsVerify(readBytes(longOut), &content_), 1);

    const std::string out = dir_.file("out.p7s");
    const Bytes previous = kivo::test::randomBytes(100000, 71);
    writeBytes(out, previous);
    CSignMessage::setTSUrl("http://127.0.0.1:1/tsa");  // nobody listens there: no token
    EXPECT_TRUE(sign(false, input_, out) == -92 && readBytes(out) == previous);
    const auto entries = dir_.entries();
    CSignMessage::setTSUrl("");
    ASSERT_EQ(sign(true, input_, out), 0);
    const Bytes written = readBytes(out);
    EXPECT_TRUE(written.size() == ((std::size_t{written[2]} << 8) | written[3]) + 4 && cmsVerify(written, nullptr, CMS_CADES) == 1) << "no leftover tail";
    EXPECT_EQ(dir_.entries(), entries);
}

}  // namespace
