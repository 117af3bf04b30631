// The signature check (checks 0x01) of CVerifyMsg::CheckSignDetached:
// attached and detached content, undecodable input, and agreement with
// OpenSSL's CMS verification over signatures made by this library and by
// OpenSSL, intact and tampered.

#include "tests/verify/VerifyTestUtil.h"

#include "SignMessageSSLM.h"

#include <openssl/objects.h>

#include <map>

namespace kivo::test::verify {
namespace {

constexpr const char* kP12Password = "kivo-verify-p12";

// The CA and one signer per key kind, made once for this file.
class SignerPki {
public:
    static SignerPki& get() {
        static SignerPki pki;
        return pki;
    }
    const Party& ca() const { return m_ca; }
    const Party& signer(KeyKind kind) {
        Party& party = m_signers[kind];
        if (!party.cert) {
            party = Certify(std::string("/O=Kivo Verify/CN=Signer ") + keyKindName(kind))
                        .issuer(m_ca)
                        .serial(0x500 + static_cast<long>(kind))
                        .key(kind)
                        .make();
        }
        return party;
    }

private:
    SignerPki() : m_ca(Certify("/O=Kivo Verify/CN=Signature CA").ca().make()) {}
    Party m_ca;
    std::map<KeyKind, Party> m_signers;
};

// A container made by CSignMessage::SignBlobSSL with the signer's key from
// a PKCS#12 file opened by CSignMessage::OpenSSLKey_P12 (SHA-256).
Bytes librarySign(const TempDir& dir, KeyKind kind, const Bytes& content, bool embed) {
    const Party& signer = SignerPki::get().signer(kind);
    const std::string p12 = dir.file(std::string(keyKindName(kind)) + ".p12");
    writePkcs12(p12, signer.key.get(), signer.cert.get(), kP12Password);
    unsigned long* key = CSignMessage::OpenSSLKey_P12(p12.c_str(), kP12Password, nullptr, 0, 0, nullptr);
    if (key == nullptr) throw std::runtime_error("OpenSSLKey_P12 refused " + p12);
    Bytes data = content;
    unsigned long length = 0;
    int result = CSignMessage::SignBlobSSLForLength(data.data(), static_cast<int>(data.size()), nullptr, &length,
                                                    nullptr, signer.cert.get(), key, 1, embed, nullptr, 0);
    Bytes out(length);
    unsigned long written = 0;
    if (result == 0) {
        result = CSignMessage::SignBlobSSL(data.data(), static_cast<int>(data.size()), out.data(), &written, nullptr,
                                           signer.cert.get(), key, 1, embed, nullptr, 0);
    }
    CSignMessage::CloseSSLKey(key);
    if (result != 0) throw std::runtime_error("SignBlobSSL failed: " + std::to_string(result));
    out.resize(written);
    return out;
}

// A detached signature made by the openssl program.
Bytes opensslCommandSign(const TempDir& dir, KeyKind kind, const Bytes& content, const std::string& keyOptions) {
    const Party& signer = SignerPki::get().signer(kind);
    const std::string name = keyKindName(kind);
    const std::string cert = dir.file(name + "-signer.pem");
    const std::string key = dir.file(name + "-signer.key");
    const std::string data = dir.file(name + "-content.bin");
    const std::string out = dir.file(name + "-cli.p7s");
    std::error_code ignored;
    fs::remove(cert, ignored);
    appendPem(cert, {signer.cert.get()});
    writePemKey(key, signer.key.get());
    writeFile(data, content);
    // The key options apply to the signer named before them.
    const auto run = runCommand("openssl cms -sign -binary -md sha256 -in '" + data + "' -signer '" + cert +
                                "' -inkey '" + key + "' " + keyOptions + " -outform DER -out '" + out + "' 2>&1");
    if (run.status != 0) throw std::runtime_error("openssl cms -sign failed: " + run.output);
    return readFile(out);
}

// The verdict of `openssl cms -verify -noverify` on a detached signature.
bool opensslCommandVerifies(const TempDir& dir, const Bytes& signature, const Bytes& content) {
    const std::string sig = dir.file("verify.p7s");
    const std::string data = dir.file("verify.bin");
    writeFile(sig, signature);
    writeFile(data, content);
    const auto run = runCommand("openssl cms -verify -noverify -binary -inform DER -in '" + sig + "' -content '" +
                                data + "' -out /dev/null 2>/dev/null");
    return run.status == 0;
}

// ---- tampering ------------------------------------------------------------------------

// The offset of the only occurrence of `needle` in `haystack`.
std::size_t uniqueOffset(const Bytes& haystack, const Bytes& needle) {
    const auto first = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    if (first == haystack.end()) throw std::runtime_error("octets not found in the container");
    if (std::search(first + 1, haystack.end(), needle.begin(), needle.end()) != haystack.end()) {
        throw std::runtime_error("octets found twice in the container");
    }
    return static_cast<std::size_t>(first - haystack.begin());
}

CMS_SignerInfo* firstSignerOf(CMS_ContentInfo* cms) {
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    if (signers == nullptr || sk_CMS_SignerInfo_num(signers) < 1) throw std::runtime_error("no signer");
    return sk_CMS_SignerInfo_value(signers, 0);
}

CmsPtr parse(const Bytes& der) {
    BioPtr in(BIO_new_mem_buf(der.data(), static_cast<int>(der.size())));
    CmsPtr cms(d2i_CMS_bio(in.get(), nullptr));
    if (!cms) throw std::runtime_error("container does not parse");
    return cms;
}

Bytes octetsOf(const ASN1_STRING* string) {
    return Bytes(ASN1_STRING_get0_data(string), ASN1_STRING_get0_data(string) + ASN1_STRING_length(string));
}

Bytes flipContent(Bytes content) {
    content[content.size() / 2] ^= 0x01;
    return content;
}

// A byte in the middle of the first signer's signature value flipped.
Bytes flipSignatureValue(Bytes der) {
    const CmsPtr cms = parse(der);
    const Bytes value = octetsOf(CMS_SignerInfo_get0_signature(firstSignerOf(cms.get())));
    der[uniqueOffset(der, value) + value.size() / 2] ^= 0x01;
    return der;
}

// The last byte of the messageDigest signed attribute flipped.
Bytes flipMessageDigest(Bytes der) {
    const CmsPtr cms = parse(der);
    const auto* digest = static_cast<ASN1_OCTET_STRING*>(CMS_signed_get0_data_by_OBJ(
        firstSignerOf(cms.get()), OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
    if (digest == nullptr) throw std::runtime_error("no messageDigest attribute");
    const Bytes value = octetsOf(digest);
    der[uniqueOffset(der, value) + value.size() - 1] ^= 0x01;
    return der;
}

// The seconds of the signingTime attribute (a UTCTime) changed, which
// leaves a well-formed time that the signature does not cover.
Bytes shiftSigningTime(Bytes der) {
    const CmsPtr cms = parse(der);
    const auto* time = static_cast<ASN1_UTCTIME*>(CMS_signed_get0_data_by_OBJ(
        firstSignerOf(cms.get()), OBJ_nid2obj(NID_pkcs9_signingTime), -3, V_ASN1_UTCTIME));
    if (time == nullptr) throw std::runtime_error("no UTCTime signingTime attribute");
    Bytes element{V_ASN1_UTCTIME, static_cast<unsigned char>(ASN1_STRING_length(time))};
    const Bytes text = octetsOf(time);
    element.insert(element.end(), text.begin(), text.end());
    const std::size_t secondDigit = uniqueOffset(der, element) + 2 + 11;  // YYMMDDhhmmSS
    der[secondDigit] = der[secondDigit] == '9' ? '0' : static_cast<unsigned char>(der[secondDigit] + 1);
    return der;
}

class SignatureTest : public VerifyTest {
protected:
    unsigned int verifyDetached(const Bytes& signature, const Bytes& content) {
        return Verification(signature).content(content).checks(0x01).run();
    }

    const Bytes m_content = randomBytes(2500, 61);
};

TEST_F(SignatureTest, NoChecksGiveZeroWhateverTheInput) {
    const Bytes garbage = randomBytes(300, 5);
    EXPECT_EQ(Verification(garbage).content(garbage).checks(0).run(), kValid);
    EXPECT_EQ(Verification().checks(0).crlMode(0x0F).run(), kValid) << "null signature and data";
    // Bits outside the known checks select nothing either.
    EXPECT_EQ(Verification(garbage).checks(0x22).run(), kValid);
}

TEST_F(SignatureTest, AttachedAndDetachedContent) {
    const Party& signer = SignerPki::get().signer(KeyKind::EcP256);
    const Bytes attached = cmsSign(signer, m_content, CmsOptions().attached());
    EXPECT_EQ(Verification(attached).attached().checks(0x01).run(), kValid);
    // Not attached: the content passed separately counts, even when the
    // container carries its own.
    EXPECT_EQ(Verification(attached).content(m_content).checks(0x01).run(), kValid);
    const Bytes changed = flipContent(m_content);
    EXPECT_EQ(Verification(attached).content(changed).checks(0x01).run(), kBadSignature);
    EXPECT_EQ(Verification(attached).checks(0x01).run(), kBadSignature) << "no content: empty content";

    const Bytes detached = cmsSign(signer, m_content);
    EXPECT_EQ(verifyDetached(detached, m_content), kValid);
    EXPECT_EQ(verifyDetached(detached, changed), kBadSignature);
    EXPECT_EQ(Verification(detached).attached().checks(0x01).run(), kBadSignature)
        << "a detached signature checked as attached has no content";
    const Bytes empty;
    EXPECT_EQ(verifyDetached(detached, empty), kBadSignature);
}

TEST_F(SignatureTest, EmptyContentIsContentToo) {
    const Party& signer = SignerPki::get().signer(KeyKind::Rsa2048);
    const Bytes empty;
    const Bytes signature = cmsSign(signer, empty);
    EXPECT_EQ(verifyDetached(signature, empty), kValid);
    const Bytes one{0x00};
    EXPECT_EQ(verifyDetached(signature, one), kBadSignature);
    // A null pointer with length 0 is empty content as well.
    CVerifyMsg verifier;
    Bytes der = signature;
    EXPECT_EQ(static_cast<unsigned int>(verifier.CheckSignDetached(der.data(), static_cast<unsigned int>(der.size()),
                                                                   0, nullptr, 0, 0x01, 0, nullptr, nullptr, nullptr,
                                                                   0, 0, nullptr, nullptr)),
              kValid);
    // A null pointer with a length is no content that could match.
    const Bytes other = cmsSign(signer, m_content);
    der = other;
    EXPECT_EQ(static_cast<unsigned int>(verifier.CheckSignDetached(der.data(), static_cast<unsigned int>(der.size()),
                                                                   0, nullptr, 10, 0x01, 0, nullptr, nullptr, nullptr,
                                                                   0, 0, nullptr, nullptr)),
              kBadSignature);
}

TEST_F(SignatureTest, UndecodableSignaturesFailEveryRequestedCheck) {
    const Bytes garbage = randomBytes(400, 9);
    const Bytes truncated = [&] {
        Bytes der = cmsSign(SignerPki::get().signer(KeyKind::EcP256), m_content);
        der.resize(der.size() / 2);
        return der;
    }();
    const std::string caFile = pemFile("ca.pem", {SignerPki::get().ca().cert.get()});
    const std::string crlDir = m_dir.folder("crl");
    for (const Bytes* signature : {&garbage, &truncated}) {
        EXPECT_EQ(Verification(*signature).content(m_content).checks(0x01).run(), kBadSignature);
        // Without a signer certificate the chain, the signer validity and
        // the revocation check fail too.
        EXPECT_EQ(Verification(*signature)
                      .content(m_content)
                      .checks(0x1D)
                      .crlMode(0x04)
                      .crlSource(crlDir)
                      .at(m_now)
                      .caFile(caFile)
                      .run(),
                  kBadSignature | kNoTrustedChain | kSignerNotValid);
    }
    EXPECT_EQ(Verification().content(m_content).checks(0x01).run(), kBadSignature) << "null signature";
}

// Damaged containers (bytes changed, cut short) give failure codes, never
// a crash; run under the sanitizers this also checks every read.
TEST_F(SignatureTest, DamagedContainersGiveDefinedCodes) {
    constexpr unsigned int kKnownBits = 0x80000001 | 0x80000004 | 0x80000200 | 0x80004000 | 0x80008000 |
                                        0x80010000 | 0x80080000;
    const Party& signer = SignerPki::get().signer(KeyKind::EcP256);
    const Bytes signature = cmsSign(signer, m_content);
    const std::string caFile = pemFile("ca.pem", {SignerPki::get().ca().cert.get()});
    const std::string crlDir = m_dir.folder("crl");
    const Bytes noise = randomBytes(400, 77);
    int failed = 0;
    for (std::size_t i = 0; i < 400; ++i) {
        Bytes damaged = signature;
        if (i % 4 == 3) {
            damaged.resize((noise[i] * damaged.size()) / 256);
        } else {
            damaged[(static_cast<std::size_t>(noise[i]) << 4 | i) % damaged.size()] ^= static_cast<unsigned char>(1u << (i % 8));
        }
        const unsigned int result = Verification(damaged)
                                        .content(m_content)
                                        .checks(0x1D)
                                        .crlMode(0x04)
                                        .crlSource(crlDir)
                                        .at(m_now)
                                        .caFile(caFile)
                                        .run();
        ASSERT_EQ(result & ~kKnownBits, 0u) << "damage " << i << ": 0x" << std::hex << result;
        if (result != kValid) ++failed;
    }
    // Most damage breaks the signature; some lands where nothing is checked.
    EXPECT_GT(failed, 300);
}

TEST_F(SignatureTest, ContainerWithoutTheSignerCertificateFails) {
    const Party& signer = SignerPki::get().signer(KeyKind::EcP256);
    // CMS_NOCERTS: the signer certificate is not carried.
    BioPtr data(BIO_new_mem_buf(m_content.data(), static_cast<int>(m_content.size())));
    CmsPtr cms(CMS_sign(signer.cert.get(), signer.key.get(), nullptr, data.get(),
                        CMS_BINARY | CMS_DETACHED | CMS_NOCERTS));
    ASSERT_TRUE(cms);
    BioPtr out(BIO_new(BIO_s_mem()));
    ASSERT_EQ(i2d_CMS_bio(out.get(), cms.get()), 1);
    const Bytes signature = bioBytes(out.get());
    EXPECT_EQ(verifyDetached(signature, m_content), kBadSignature);
}

TEST_F(SignatureTest, TwoSignersWithDifferentDigests) {
    const Party& first = SignerPki::get().signer(KeyKind::EcP256);
    const Party& second = SignerPki::get().signer(KeyKind::Rsa2048);
    const unsigned int flags = CMS_BINARY | CMS_DETACHED | CMS_PARTIAL;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    ASSERT_TRUE(cms);
    ASSERT_NE(CMS_add1_signer(cms.get(), first.cert.get(), first.key.get(), EVP_sha256(), flags), nullptr);
    ASSERT_NE(CMS_add1_signer(cms.get(), second.cert.get(), second.key.get(), EVP_sha384(), flags), nullptr);
    BioPtr data(BIO_new_mem_buf(m_content.data(), static_cast<int>(m_content.size())));
    ASSERT_EQ(CMS_final(cms.get(), data.get(), nullptr, flags), 1);
    BioPtr out(BIO_new(BIO_s_mem()));
    ASSERT_EQ(i2d_CMS_bio(out.get(), cms.get()), 1);
    const Bytes signature = bioBytes(out.get());
    // Every signer is verified.
    EXPECT_EQ(verifyDetached(signature, m_content), kValid);
    EXPECT_EQ(verifyDetached(signature, flipContent(m_content)), kBadSignature);
    EXPECT_EQ(verifyDetached(flipSignatureValue(signature), m_content), kBadSignature) << "the first signer broken";
    EXPECT_TRUE(cmsVerifies(signature, &m_content));
}

// ---- agreement with OpenSSL ---------------------------------------------------------------

struct Variant {
    const char* name;
    Bytes signature;
    Bytes content;
    bool intact;
};

std::vector<Variant> variantsOf(const Bytes& signature, const Bytes& content) {
    return {{"intact", signature, content, true},
            {"content byte flipped", signature, flipContent(content), false},
            {"signature value byte flipped", flipSignatureValue(signature), content, false},
            {"messageDigest attribute byte flipped", flipMessageDigest(signature), content, false},
            {"signingTime attribute changed", shiftSigningTime(signature), content, false}};
}

class AgreementTest : public SignatureTest, public ::testing::WithParamInterface<KeyKind> {
protected:
    // Our verdict with checks 0x01 against OpenSSL's CMS verification, in
    // process for every variant and with the openssl program when
    // `commandLine` is set.
    void expectAgreement(const char* producer, const Bytes& signature, bool commandLine) {
        for (const Variant& variant : variantsOf(signature, m_content)) {
            SCOPED_TRACE(std::string(producer) + ", " + keyKindName(GetParam()) + ", " + variant.name);
            const unsigned int ours = verifyDetached(variant.signature, variant.content);
            const bool openssl = cmsVerifies(variant.signature, &variant.content);
            EXPECT_EQ(ours == kValid, openssl);
            EXPECT_TRUE(ours == kValid || ours == kBadSignature) << std::hex << ours;
            // The comparison means something only if intact signatures pass
            // and tampered ones fail.
            EXPECT_EQ(ours == kValid, variant.intact);
            if (commandLine && haveOpensslProgram()) {
                EXPECT_EQ(opensslCommandVerifies(m_dir, variant.signature, variant.content), ours == kValid);
            }
        }
    }

    // The way OpenSSL makes a proper RSASSA-PSS signature with a PSS key:
    // without the padding option, OpenSSL 3.0 signs with PSS but labels the
    // signature rsaEncryption (see the test below).
    std::string keyOptions() const {
        return GetParam() == KeyKind::RsaPss2048 ? "-keyopt rsa_padding_mode:pss" : "";
    }
};

TEST_P(AgreementTest, SignaturesOfThisLibrary) {
    expectAgreement("SignBlobSSL", librarySign(m_dir, GetParam(), m_content, false), true);
}

TEST_P(AgreementTest, SignaturesOfTheOpensslProgram) {
    if (!haveOpensslProgram()) GTEST_SKIP() << "the openssl program is not installed";
    expectAgreement("openssl cms -sign", opensslCommandSign(m_dir, GetParam(), m_content, keyOptions()), true);
}

TEST_P(AgreementTest, SignaturesOfCmsSign) {
    CmsOptions options;
    if (GetParam() == KeyKind::RsaPss2048) options.pss();
    expectAgreement("CMS_sign", cmsSign(SignerPki::get().signer(GetParam()), m_content, options), false);
}

TEST_P(AgreementTest, AttachedSignaturesOfThisLibrary) {
    const Bytes signature = librarySign(m_dir, GetParam(), m_content, true);
    EXPECT_EQ(Verification(signature).attached().checks(0x01).run(), kValid);
    EXPECT_TRUE(cmsVerifies(signature, nullptr));
    for (const Bytes& tampered : {flipSignatureValue(signature), flipMessageDigest(signature)}) {
        EXPECT_EQ(Verification(tampered).attached().checks(0x01).run(), kBadSignature);
        EXPECT_FALSE(cmsVerifies(tampered, nullptr));
    }
}

INSTANTIATE_TEST_SUITE_P(KeyKinds, AgreementTest, ::testing::ValuesIn(allKeyKinds()),
                         [](const auto& info) { return std::string(keyKindName(info.param)); });

// OpenSSL's PKCS#7 code and its CMS code part ways on RSASSA-PSS. With an
// rsaEncryption key and PSS padding (signature algorithm RSASSA-PSS with
// parameters) only the CMS code verifies; CheckSignDetached then lets the
// CMS verification decide, so the verdict is OpenSSL's CMS verdict.
TEST_F(SignatureTest, PssSignatureOfAnRsaEncryptionKey) {
    const Party& signer = SignerPki::get().signer(KeyKind::Rsa2048);
    const Bytes signature = cmsSign(signer, m_content, CmsOptions().pss());
    ASSERT_TRUE(cmsVerifies(signature, &m_content));
    {
        // OpenSSL's PKCS#7 verification alone refuses it.
        BioPtr in(BIO_new_mem_buf(signature.data(), static_cast<int>(signature.size())));
        std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(d2i_PKCS7_bio(in.get(), nullptr), &PKCS7_free);
        ASSERT_TRUE(p7);
        BioPtr content(BIO_new_mem_buf(m_content.data(), static_cast<int>(m_content.size())));
        EXPECT_NE(PKCS7_verify(p7.get(), nullptr, nullptr, content.get(), nullptr, PKCS7_NOVERIFY | PKCS7_NOCHAIN), 1);
        ERR_clear_error();
    }
    EXPECT_EQ(verifyDetached(signature, m_content), kValid);
    if (haveOpensslProgram()) {
        EXPECT_TRUE(opensslCommandVerifies(m_dir, signature, m_content));
    }
    for (const Variant& variant : variantsOf(signature, m_content)) {
        if (variant.intact) continue;
        SCOPED_TRACE(variant.name);
        EXPECT_EQ(verifyDetached(variant.signature, variant.content), kBadSignature);
        EXPECT_FALSE(cmsVerifies(variant.signature, &variant.content));
    }
}

// The other way round: `openssl cms -sign` with an RSA-PSS key and no
// padding option signs with PSS (the only scheme the key allows) but writes
// rsaEncryption as the signature algorithm. OpenSSL's CMS verification
// refuses that label; the PKCS#7 verification, which CheckSignDetached
// uses, verifies the value with the key's own scheme and accepts it.
TEST_F(SignatureTest, PssKeySignatureLabelledRsaEncryption) {
    if (!haveOpensslProgram()) GTEST_SKIP() << "the openssl program is not installed";
    const Bytes signature = opensslCommandSign(m_dir, KeyKind::RsaPss2048, m_content, "");
    {
        const CmsPtr cms = parse(signature);
        X509_ALGOR* algorithm = nullptr;
        CMS_SignerInfo_get0_algs(firstSignerOf(cms.get()), nullptr, nullptr, nullptr, &algorithm);
        ASSERT_NE(algorithm, nullptr);
        const ASN1_OBJECT* oid = nullptr;
        X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
        EXPECT_EQ(OBJ_obj2nid(oid), NID_rsaEncryption);
    }
    EXPECT_FALSE(opensslCommandVerifies(m_dir, signature, m_content));
    EXPECT_EQ(verifyDetached(signature, m_content), kValid);
    EXPECT_EQ(verifyDetached(signature, flipContent(m_content)), kBadSignature);
    EXPECT_EQ(verifyDetached(flipSignatureValue(signature), m_content), kBadSignature);
}

}  // namespace
}  // namespace kivo::test::verify
