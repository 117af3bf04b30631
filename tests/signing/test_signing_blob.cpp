// Memory signing over key kinds, hash codes, CAdES levels and signing times,
// every container checked by OpenSSL.

#include "tests/signing/SigningTestUtil.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace kivo::test::signing;
using kivo::test::KeyKind;

namespace {

// rsaEncryption, RSASSA-PSS, or ecdsa-with-SHAx for the SHA codes 0 to 3 and the key algorithm otherwise.
std::string expectedSignatureOid(KeyKind kind, int hash) {
    if (kind == KeyKind::RsaPss2048) return ct::dotted(OBJ_nid2obj(NID_rsassaPss));
    if (!isEc(kind)) return ct::dotted(OBJ_nid2obj(NID_rsaEncryption));
    if (hash < 0 || hash > 3) return ct::dotted(OBJ_nid2obj(NID_X9_62_id_ecPublicKey));
    int nid = NID_undef;
    OBJ_find_sigid_by_algs(&nid, EVP_MD_get_type(ct::mdForHashId(hash)), NID_X9_62_id_ecPublicKey);
    return ct::dotted(OBJ_nid2obj(nid));
}

struct AlgorithmCase { KeyKind kind; int hash; bool embed; };

class SigningAlgorithms : public ::testing::TestWithParam<AlgorithmCase> {};

TEST_P(SigningAlgorithms, ContainerVerifiesWithOpenSsl) {
    const AlgorithmCase& c = GetParam();
    const BlobRequest request{c.kind, c.hash, c.embed};
    const BlobResult r = signBlob(request);
    ASSERT_TRUE(r.lengthResult == 0 && r.result == 0);
    EXPECT_TRUE(r.guardIntact && (isEc(c.kind) ? r.written <= r.reported : r.written == r.reported));

    const CmsPtr cms = ct::parseCms(r.der);
    ASSERT_TRUE(cms);
    X509_ALGOR *digest = nullptr, *signature = nullptr;
    CMS_SignerInfo_get0_algs(firstSigner(cms.get()), nullptr, nullptr, &digest, &signature);
    EXPECT_EQ(ct::dotted(digest->algorithm), digestOid(c.hash));
    EXPECT_EQ(ct::dotted(signature->algorithm), expectedSignatureOid(c.kind, c.hash));
    const ct::Pkcs7Ptr p7 = ct::parsePkcs7(r.der);
    ASSERT_EQ(sk_X509_ALGOR_num(p7->d.sign->md_algs), 1);
    EXPECT_EQ(ct::dotted(sk_X509_ALGOR_value(p7->d.sign->md_algs, 0)->algorithm), digestOid(c.hash));
    EXPECT_EQ(*CMS_get0_content(cms.get()) != nullptr, c.embed);

    Bytes extracted;
    EXPECT_TRUE(cmsVerify(r.der, c.embed ? nullptr : &request.data, CMS_CADES, &extracted) == 1 && extracted == request.data);
    const Bytes other = ct::tamper(request.data, request.data, 1500);
    if (!c.embed) { EXPECT_EQ(cmsVerify(r.der, &other), 0) << "messageDigest binds the detached content"; }
}

std::vector<AlgorithmCase> algorithmCases() {
    std::vector<AlgorithmCase> cases;  // 7 and -1 are no codes of their own and sign with SHA-256.
    for (const KeyKind kind : kivo::test::allKeyKinds()) for (const int hash : {0, 1, 2, 3, 4, 5, 7, -1}) cases.push_back({kind, hash, hash % 2 == 0});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Matrix, SigningAlgorithms, ::testing::ValuesIn(algorithmCases()), [](const auto& info) {
    return std::string(kivo::test::keyKindName(info.param.kind)) + "_hash" + (info.param.hash < 0 ? "Minus1" : std::to_string(info.param.hash));
});

struct LevelCase { KeyKind kind; int level; };

class SigningLevels : public SigningTest, public ::testing::WithParamInterface<LevelCase> {};

// Level 1 leaves out signingTime, level 5 messageDigest and the signing-certificate-v2;
// the certificates follow the signer's in the order given.
TEST_P(SigningLevels, LevelSelectsTheSignedAttributes) {
    const LevelCase& c = GetParam();
    CSignMessage::setCAdES_Level(c.level);
    timeb when{1770025277, 0, 0, 0};
    const int hash = isEc(c.kind) ? 2 : 3;
    const BlobRequest request{c.kind, hash, c.level != 3, &when, c.level != 3 ? TestPki::instance().extraCertificates() : std::vector<Bytes>{}};
    const BlobResult r = signBlob(request);
    ASSERT_EQ(r.result, 0);
    const CmsPtr cms = ct::parseCms(r.der);
    CMS_SignerInfo* si = firstSigner(cms.get());
    std::string oids;
    for (int i = 0; i < CMS_signed_get_attr_count(si); ++i) oids += ct::dotted(X509_ATTRIBUTE_get0_object(CMS_signed_get_attr(si, i))) + " ";
    EXPECT_EQ(oids, std::string("1.2.840.113549.1.9.3 ") + (c.level != 1 ? "1.2.840.113549.1.9.5 " : "") +
                        (c.level != 5 ? "1.2.840.113549.1.9.4 1.2.840.113549.1.9.16.2.47 " : ""));
    EXPECT_EQ(CMS_unsigned_get_attr_count(si), -1);
    EXPECT_EQ(signingTimeOf(r.der), c.level == 1 ? std::nullopt : std::optional<std::int64_t>(1770025277));

    const ct::Pkcs7Ptr p7 = ct::parsePkcs7(r.der);
    const auto* certificates = p7->d.sign->cert;
    EXPECT_EQ(kivo::test::derOf(sk_X509_value(certificates, sk_X509_num(certificates) - 1)), request.extras.empty() ? TestPki::instance().signer(c.kind).der : request.extras.back());
    EXPECT_EQ(sk_X509_num(certificates), static_cast<int>(request.extras.size() + 1));
    // The signature over the attributes as signed (a SET OF); CMS_verify refuses attributes without messageDigest before that.
    const EVP_MD* md = ct::mdForHashId(hash);
    EXPECT_EQ(digestVerify(SigningKeys::get().cert(c.kind), md, signatureValue(r.der), ct::signedAttributesInput(r.der), EVP_MD_get_size(md)), 1);
    EXPECT_EQ(cmsVerify(r.der, request.embed ? nullptr : &request.data, CMS_CADES) == 1, c.level != 5);
}

std::vector<LevelCase> levelCases() {
    std::vector<LevelCase> cases;
    for (const KeyKind kind : kivo::test::allKeyKinds()) for (const int level : {0, 1, 5, 3}) cases.push_back({kind, level});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Levels, SigningLevels, ::testing::ValuesIn(levelCases()), [](const auto& info) {
    return std::string(kivo::test::keyKindName(info.param.kind)) + "_level" + std::to_string(info.param.level);
});

// The whole seconds of a given time are written as UTCTime whatever the local zone; no time is now.
// A fixed time makes RSA containers reproducible.
TEST_F(SigningTest, SigningTimeGivenOrNow) {
    kivo::test::ScopedTimeZone zone("Asia/Kolkata");
    for (const std::int64_t seconds : {std::int64_t{946684799}, std::int64_t{2524607999}}) {
        timeb when{static_cast<time_t>(seconds), 999, -330, 0};
        const BlobResult r = signBlob({KeyKind::Rsa3072, 2, false, &when});
        EXPECT_EQ(signingTimeOf(r.der), seconds);
        EXPECT_EQ(signBlob({KeyKind::Rsa3072, 2, false, &when}).der, r.der);
    }
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    EXPECT_NEAR(static_cast<double>(signingTimeOf(signBlob({KeyKind::EcP256}).der).value_or(0)), static_cast<double>(now), 5);
}

// A signing key larger than the certificate's, or a certificate key whose size only OpenSSL knows (DSA, explicit
// curve parameters), or a P-521 key with its long-form ECDSA-Sig-Value: the placeholder still holds the signature,
// so nothing is written past the reported length; a matching pair verifies.
TEST(SigningLengths, KeysOfOtherKindsAndSizesStayWithinTheReportedLength) {
    struct Row { const char* certKey; const char* signingKey; };
    for (const Row& row : {Row{"DSA:2048", nullptr}, Row{"EC-explicit:P-256", nullptr}, Row{"RSA:2048", "RSA:4096"}, Row{"EC:P-521", nullptr}}) {
        SCOPED_TRACE(std::string(row.certKey) + " / " + (row.signingKey ? row.signingKey : "same"));
        const kivo::test::EvpKeyPtr certKey = kivo::test::generateKeyOf(row.certKey);
        const kivo::test::EvpKeyPtr signingKey = row.signingKey ? kivo::test::generateKeyOf(row.signingKey) : nullptr;
        kivo::test::CertOptions options;
        options.subjectKey = certKey.get();
        const kivo::test::X509Ptr cert = kivo::test::makeCertificate(options);
        const BlobResult r = signBlob({.kind = KeyKind::Rsa2048, .hash = 2, .cert = cert.get(), .key = signingKey ? signingKey.get() : certKey.get()});
        ASSERT_EQ((Codes{r.lengthResult, r.result}), (Codes{0, 0}));
        EXPECT_TRUE(r.guardIntact && r.written <= r.reported) << r.written << " written, " << r.reported << " reported";
        EXPECT_TRUE(signingKey || cmsVerify(r.der, nullptr, CMS_NO_SIGNER_CERT_VERIFY) == 1);
    }
}

TEST(SigningLengths, FailuresAndTheirCodes) {
    Bytes data = kivo::test::randomBytes(500, 9);
    unsigned long* key = SigningKeys::get().key(KeyKind::Rsa2048);
    X509* cert = SigningKeys::get().cert(KeyKind::Rsa2048);
    Bytes out(4000, 0xEE);
    unsigned long length = 0xDEAD;
    _ASN1_CERT_BLOB* extras = nullptr;
    int extraCount = 0;
    const auto sign = [&](bool forLength, unsigned char* to, unsigned long* n, X509* c, unsigned long* k) {
        return (forLength ? CSignMessage::SignBlobSSLForLength : CSignMessage::SignBlobSSL)(data.data(), 500, to, n, nullptr, c, k, 1, true, extras, extraCount);
    };
    EXPECT_EQ((Codes{sign(true, nullptr, nullptr, cert, key), sign(true, nullptr, &length, nullptr, key)}), (Codes{-29, -29}));
    EXPECT_EQ(sign(true, nullptr, &length, cert, nullptr), -37);
    EXPECT_EQ(sign(false, nullptr, &length, nullptr, nullptr), -301) << "a null output is refused before the key or certificate is looked at";
    EXPECT_EQ(length, 0xDEADu);
    EXPECT_EQ((Codes{sign(false, out.data(), &length, nullptr, key), sign(false, out.data(), &length, cert, nullptr)}), (Codes{-300, -37}));
    ASSERT_EQ(sign(false, out.data(), nullptr, cert, key), 0) << "a null length pointer still gives the container";
    EXPECT_EQ(cmsVerify(Bytes(out.begin(), out.begin() + 4 + (out[2] << 8 | out[3])), nullptr), 1);
    // A negative count means no further certificates; an entry without bytes leaves the container unbuilt: the
    // length query still answers 0 (only the signer certificate gives -300 there), signing fails with -24.
    extraCount = -1;
    EXPECT_EQ((Codes{sign(true, nullptr, &length, cert, key), sign(false, out.data(), &length, cert, key)}), (Codes{0, 0}));
    _ASN1_CERT_BLOB empty{nullptr, 0};
    extras = &empty;
    extraCount = 1;
    EXPECT_EQ((Codes{sign(true, nullptr, &length, cert, key), sign(false, out.data(), &length, cert, key)}), (Codes{0, -24}));
}

}  // namespace
