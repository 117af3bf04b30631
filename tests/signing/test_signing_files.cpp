// File signing (SignDetached, SignEnveloped): containers checked with the
// openssl command line, every refusal leaving the folder as it was, and a
// large input.

#include "tests/signing/SigningTestUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>

using namespace kivo::test::signing;
using kivo::test::KeyKind;

namespace {

using SignFile = int (*)(char*, char*, x509_st*, unsigned long*, int, _ASN1_CERT_BLOB*, int);

class SigningFiles : public SigningTest {
protected:
    void SetUp() override {
        input_ = dir_.file("document.bin");
        writeFile(input_, content_);
    }

    int sign(SignFile call, const std::string& in, const std::string& out, KeyKind kind = KeyKind::Rsa2048,
             int hash = 1, std::vector<Bytes> extras = {}) {
        std::vector<_ASN1_CERT_BLOB> blobs = certBlobs(extras);
        return call(const_cast<char*>(in.c_str()), const_cast<char*>(out.c_str()),
                    SigningKeys::get().signer(kind).cert.get(), SigningKeys::get().key(kind), hash,
                    blobs.empty() ? nullptr : blobs.data(), static_cast<int>(blobs.size()));
    }

    // `openssl cms -verify` of a DER container against the test CA; the
    // content file is given for a detached signature.
    static int opensslVerify(const std::string& container, const std::string* content) {
        const std::string command = "openssl cms -verify -binary -inform DER -in '" + container + "'" +
                                    (content != nullptr ? " -content '" + *content + "'" : std::string()) +
                                    " -CAfile '" + SigningKeys::get().caPem() + "' -purpose any -out /dev/null 2>&1";
        return kivo::test::runCommand(command).status;
    }

    TempDir dir_;
    Bytes content_ = kivo::test::randomBytes(5000, 61);
    std::string input_;
};

class SigningFilesByKind : public SigningFiles, public ::testing::WithParamInterface<KeyKind> {};

TEST_P(SigningFilesByKind, DetachedAndEnvelopedVerifyWithOpensslCms) {
    const KeyKind kind = GetParam();
    // One hash code per kind, so that the file path sees the unusual ones too.
    const std::map<KeyKind, int> hashes{{KeyKind::Rsa2048, 7}, {KeyKind::Rsa3072, 3}, {KeyKind::RsaPss2048, 5},
                                        {KeyKind::EcP256, 4}, {KeyKind::EcP384, 0}};
    const int hash = hashes.at(kind);
    const std::string detached = dir_.file("detached.p7s");
    const std::string enveloped = dir_.file("enveloped.p7m");
    const auto before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    ASSERT_EQ(sign(CSignMessage::SignDetached, input_, detached, kind, hash), 0);
    ASSERT_EQ(sign(CSignMessage::SignEnveloped, input_, enveloped, kind, hash, TestPki::instance().extraCertificates()),
              0);
    const auto after = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());

    EXPECT_EQ(opensslVerify(detached, &input_), 0);
    EXPECT_EQ(opensslVerify(enveloped, nullptr), 0);

    // Only the enveloped container holds the document; both were signed now.
    const Bytes detachedDer = readFile(detached);
    const Bytes envelopedDer = readFile(enveloped);
    EXPECT_EQ(std::search(detachedDer.begin(), detachedDer.end(), content_.begin(), content_.begin() + 64),
              detachedDer.end());
    for (const Bytes* der : {&detachedDer, &envelopedDer}) {
        const CmsPtr cms = ct::parseCms(*der);
        ASSERT_TRUE(cms);
        ASN1_OCTET_STRING** eContent = CMS_get0_content(cms.get());
        ASSERT_NE(eContent, nullptr);
        if (der == &envelopedDer) {
            ASSERT_NE(*eContent, nullptr);
            EXPECT_EQ(ct::octets(*eContent), content_);
            STACK_OF(X509)* certificates = CMS_get1_certs(cms.get());
            EXPECT_EQ(sk_X509_num(certificates), 4);
            sk_X509_pop_free(certificates, X509_free);
        } else {
            EXPECT_EQ(*eContent, nullptr);
        }
        const auto written = signingTimeOf(firstSigner(cms.get()));
        ASSERT_TRUE(written.has_value());
        EXPECT_GE(*written, before - 2);
        EXPECT_LE(*written, after + 2);
    }
    EXPECT_EQ(dir_.entries(), (std::vector<std::string>{"detached.p7s", "document.bin", "enveloped.p7m"}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, SigningFilesByKind, ::testing::ValuesIn(kivo::test::allKeyKinds()),
                         [](const auto& info) { return std::string(kivo::test::keyKindName(info.param)); });

// ---- refusals -------------------------------------------------------------------

enum class In { Document, Null, Missing, Empty, Folder, NameOf300 };
enum class Out { Fresh, SameAsInput, InMissingFolder, NameOf257, Null };

struct Refusal {
    const char* name;
    In in;
    Out out;
    int expected;
    bool nullCertificate = false;
    bool nullKey = false;
};

// A file name of `length` characters below `dir`; the folders it needs are
// made (each component stays below the file system's limit of 255).
std::string nameOfLength(const TempDir& dir, std::size_t length) {
    std::string name = dir.path().string();
    while (length > name.size() + 201) {
        name += "/" + std::string(150, 'd');
        fs::create_directories(name);
    }
    return name + "/" + std::string(length - name.size() - 1, 'n');
}

std::vector<Refusal> refusals() {
    return {
        {"EqualNames", In::Document, Out::SameAsInput, -35},
        {"OutputInMissingFolder", In::Document, Out::InMissingFolder, -36},
        {"OutputNameOf257Characters", In::Document, Out::NameOf257, -1007},
        {"InputNameOf300Characters", In::NameOf300, Out::Fresh, -1007},
        {"NullInputName", In::Null, Out::Fresh, -1008},
        {"NullOutputName", In::Document, Out::Null, -1008},
        {"MissingInput", In::Missing, Out::Fresh, -1012},
        {"EmptyInput", In::Empty, Out::Fresh, -1025},
        {"InputIsAFolder", In::Folder, Out::Fresh, -1012},
        {"NullCertificateSignsNothing", In::Document, Out::Fresh, 0, true, false},
        {"NullKey", In::Document, Out::Fresh, -24, false, true},
    };
}

class SigningFileRefusals : public SigningFiles, public ::testing::WithParamInterface<Refusal> {};

TEST_P(SigningFileRefusals, NothingIsWritten) {
    const Refusal& r = GetParam();
    std::string in = input_;
    if (r.in == In::Missing) in = dir_.file("missing.bin");
    if (r.in == In::Empty) writeFile(in = dir_.file("empty.bin"), {});
    if (r.in == In::Folder) in = dir_.path().string();
    if (r.in == In::NameOf300) writeFile(in = nameOfLength(dir_, 300), content_);
    std::string out = dir_.file("out.p7s");
    if (r.out == Out::SameAsInput) out = std::string(in.begin(), in.end());  // equal text, another buffer
    if (r.out == Out::InMissingFolder) out = dir_.file("no-such-folder/out.p7s");
    if (r.out == Out::NameOf257) out = nameOfLength(dir_, 257);
    const auto entries = dir_.entries();
    X509* cert = r.nullCertificate ? nullptr : SigningKeys::get().signer(KeyKind::EcP256).cert.get();
    unsigned long* key = r.nullKey ? nullptr : SigningKeys::get().key(KeyKind::EcP256);

    for (const bool enveloped : {false, true}) {
        EXPECT_EQ(CSignMessage::SignDetachedEnveloped(r.in == In::Null ? nullptr : in.data(),
                                                      r.out == Out::Null ? nullptr : out.data(), cert, key, 1,
                                                      nullptr, 0, enveloped),
                  r.expected)
            << (enveloped ? "enveloped" : "detached");
        EXPECT_EQ(dir_.entries(), entries);
        EXPECT_EQ(readFile(input_), content_);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SigningFileRefusals, ::testing::ValuesIn(refusals()),
                         [](const auto& info) { return std::string(info.param.name); });

// Names of exactly 256 characters are still accepted.
TEST_F(SigningFiles, NamesOf256CharactersAreAccepted) {
    const std::string in = nameOfLength(dir_, 256);
    std::string out = in;
    out.back() = 'o';
    writeFile(in, content_);
    ASSERT_EQ(sign(CSignMessage::SignDetached, in, out), 0);
    EXPECT_EQ(cmsVerify(readFile(out), &content_), 1);
}

// A failing call leaves an existing output file as it was, with no
// temporary file beside it; a successful one replaces it entirely.
TEST_F(SigningFiles, ExistingOutputIsReplacedOnlyOnSuccess) {
    const std::string out = dir_.file("out.p7s");
    const Bytes previous = kivo::test::randomBytes(100000, 71);
    writeFile(out, previous);

    CSignMessage::setTSUrl("http://127.0.0.1:1/tsa");  // nobody listens there: no token
    EXPECT_EQ(sign(CSignMessage::SignDetached, input_, out), -92);
    EXPECT_EQ(readFile(out), previous);
    EXPECT_EQ(dir_.entries(), (std::vector<std::string>{"document.bin", "out.p7s"}));

    CSignMessage::setTSUrl("");
    ASSERT_EQ(sign(CSignMessage::SignEnveloped, input_, out), 0);
    const Bytes written = readFile(out);
    ASSERT_GE(written.size(), 4u);
    EXPECT_EQ(written.size(), ((std::size_t{written[2]} << 8) | written[3]) + 4);  // no leftover tail
    EXPECT_EQ(cmsVerify(written, nullptr, CMS_CADES), 1);
    EXPECT_EQ(dir_.entries(), (std::vector<std::string>{"document.bin", "out.p7s"}));
}

TEST_F(SigningFiles, TwentyMebibytesSignDetached) {
    const Bytes large = kivo::test::randomBytes(20u << 20, 81);
    const std::string in = dir_.file("large.bin");
    const std::string out = dir_.file("large.p7s");
    writeFile(in, large);
    ASSERT_EQ(sign(CSignMessage::SignDetached, in, out, KeyKind::EcP256, 1), 0);
    const Bytes der = readFile(out);
    EXPECT_LT(der.size(), 8000u);
    EXPECT_EQ(cmsVerify(der, &large, CMS_CADES), 1);
}

}  // namespace
