// Memory signing (SignBlobSSLForLength, SignBlobSSL): every container is
// checked by OpenSSL, over key kinds, hash codes, attached and detached
// content, CAdES levels, extra certificates and signing times.

#include "tests/signing/SigningTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <chrono>

using namespace kivo::test::signing;
using kivo::test::KeyKind;

namespace {

bool isEc(KeyKind kind) { return kind == KeyKind::EcP256 || kind == KeyKind::EcP384; }

// The signature AlgorithmIdentifier OID expected for `kind` and `hash`:
// rsaEncryption, RSASSA-PSS, or ecdsa-with-SHAx for the SHA codes 0 to 3
// and the certificate's key algorithm for every other code.
std::string expectedSignatureOid(KeyKind kind, int hash) {
    if (kind == KeyKind::RsaPss2048) return ct::dotted(OBJ_nid2obj(NID_rsassaPss));
    if (!isEc(kind)) return ct::dotted(OBJ_nid2obj(NID_rsaEncryption));
    if (hash >= 0 && hash <= 3) {
        int nid = NID_undef;
        OBJ_find_sigid_by_algs(&nid, EVP_MD_get_type(ct::mdForHashId(hash)), NID_X9_62_id_ecPublicKey);
        return ct::dotted(OBJ_nid2obj(nid));
    }
    ASN1_OBJECT* keyAlgorithm = nullptr;
    X509_PUBKEY_get0_param(&keyAlgorithm, nullptr, nullptr, nullptr,
                           X509_get_X509_PUBKEY(SigningKeys::get().signer(kind).cert.get()));
    return ct::dotted(keyAlgorithm);
}

// RSASSA-PSS parameters as they take effect (absent fields have their
// RFC 4055 defaults): digest and MGF1 digest `md`, salt = digest length.
void expectPssParameters(const X509_ALGOR* algorithm, const EVP_MD* md) {
    int type = 0;
    const void* value = nullptr;
    X509_ALGOR_get0(nullptr, &type, &value, algorithm);
    ASSERT_EQ(type, V_ASN1_SEQUENCE);
    const auto* sequence = static_cast<const ASN1_STRING*>(value);
    const unsigned char* p = sequence->data;
    RSA_PSS_PARAMS* pss = d2i_RSA_PSS_PARAMS(nullptr, &p, sequence->length);
    ASSERT_NE(pss, nullptr);
    const int hashNid = pss->hashAlgorithm != nullptr ? OBJ_obj2nid(pss->hashAlgorithm->algorithm) : NID_sha1;
    EXPECT_EQ(hashNid, EVP_MD_get_type(md));
    int mgfNid = NID_mgf1, mgfHashNid = NID_sha1;
    if (pss->maskGenAlgorithm != nullptr) {
        mgfNid = OBJ_obj2nid(pss->maskGenAlgorithm->algorithm);
        X509_ALGOR* mgfHash = static_cast<X509_ALGOR*>(
            ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(X509_ALGOR), pss->maskGenAlgorithm->parameter));
        ASSERT_NE(mgfHash, nullptr);
        mgfHashNid = OBJ_obj2nid(mgfHash->algorithm);
        X509_ALGOR_free(mgfHash);
    }
    EXPECT_EQ(mgfNid, NID_mgf1);
    EXPECT_EQ(mgfHashNid, EVP_MD_get_type(md));
    EXPECT_EQ(pss->saltLength != nullptr ? ASN1_INTEGER_get(pss->saltLength) : 20, EVP_MD_get_size(md));
    EXPECT_EQ(pss->trailerField != nullptr ? ASN1_INTEGER_get(pss->trailerField) : 1, 1);
    RSA_PSS_PARAMS_free(pss);
}

// ---- key kind x hash code x attached/detached ---------------------------------------

struct AlgorithmCase {
    KeyKind kind;
    int hash;
    bool embed;
};

std::vector<AlgorithmCase> algorithmCases() {
    std::vector<AlgorithmCase> cases;
    for (const KeyKind kind : kivo::test::allKeyKinds()) {
        // 6 and -1 are no codes of their own and sign with SHA-256.
        for (const int hash : {0, 1, 2, 3, 4, 5, 7, 6, -1}) {
            for (const bool embed : {true, false}) cases.push_back({kind, hash, embed});
        }
    }
    return cases;
}

class SigningAlgorithms : public ::testing::TestWithParam<AlgorithmCase> {};

TEST_P(SigningAlgorithms, ContainerVerifiesWithOpenSsl) {
    const AlgorithmCase& c = GetParam();
    BlobRequest request(c.kind, c.hash, c.embed);
    const BlobResult r = signBlob(request);
    ASSERT_EQ(r.lengthResult, 0);
    ASSERT_EQ(r.result, 0);
    EXPECT_TRUE(r.guardIntact);
    if (isEc(c.kind)) {
        EXPECT_LE(r.written, r.reported);
    } else {
        EXPECT_EQ(r.written, r.reported);
    }

    const CmsPtr cms = ct::parseCms(r.der);
    ASSERT_TRUE(cms);
    CMS_SignerInfo* si = firstSigner(cms.get());
    ASSERT_NE(si, nullptr);
    X509_ALGOR* digest = nullptr;
    X509_ALGOR* signature = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest, &signature);
    EXPECT_EQ(ct::dotted(digest->algorithm), digestOid(c.hash));
    EXPECT_EQ(ct::dotted(signature->algorithm), expectedSignatureOid(c.kind, c.hash));
    if (c.kind == KeyKind::RsaPss2048) expectPssParameters(signature, ct::mdForHashId(c.hash));

    const ct::Pkcs7Ptr p7 = ct::parsePkcs7(r.der);
    ASSERT_TRUE(p7);
    ASSERT_EQ(sk_X509_ALGOR_num(p7->d.sign->md_algs), 1);
    EXPECT_EQ(ct::dotted(sk_X509_ALGOR_value(p7->d.sign->md_algs, 0)->algorithm), digestOid(c.hash));

    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    ASSERT_NE(content, nullptr);
    if (c.embed) {
        ASSERT_NE(*content, nullptr);
        EXPECT_EQ(ct::octets(*content), request.data);
    } else {
        EXPECT_EQ(*content, nullptr);
    }

    Bytes extracted;
    EXPECT_EQ(cmsVerify(r.der, c.embed ? nullptr : &request.data, CMS_CADES, &extracted), 1);
    EXPECT_EQ(extracted, request.data);
    if (!c.embed) {  // messageDigest binds the detached content
        Bytes other = request.data;
        other[other.size() / 2] ^= 0x01;
        EXPECT_EQ(cmsVerify(r.der, &other), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, SigningAlgorithms, ::testing::ValuesIn(algorithmCases()), [](const auto& info) {
    const AlgorithmCase& c = info.param;
    return std::string(kivo::test::keyKindName(c.kind)) + "_hash" + (c.hash < 0 ? "Minus1" : std::to_string(c.hash)) +
           (c.embed ? "_attached" : "_detached");
});

// ---- CAdES level x key kind, with and without extra certificates ---------------------

struct AttributeCase {
    KeyKind kind;
    int level;
    bool withExtras;  // attached with three extra certificates, else detached without
};

std::vector<AttributeCase> attributeCases() {
    std::vector<AttributeCase> cases;
    for (const KeyKind kind : kivo::test::allKeyKinds()) {
        for (const int level : {0, 1, 5, 3}) {
            for (const bool extras : {true, false}) cases.push_back({kind, level, extras});
        }
    }
    return cases;
}

int hashFor(KeyKind kind) {
    switch (kind) {
        case KeyKind::Rsa3072: return 3;
        case KeyKind::EcP384: return 2;
        case KeyKind::EcP256: return 0;
        default: return 1;
    }
}

class SigningAttributes : public SigningTest, public ::testing::WithParamInterface<AttributeCase> {};

TEST_P(SigningAttributes, LevelSelectsTheSignedAttributes) {
    const AttributeCase& c = GetParam();
    CSignMessage::setCAdES_Level(c.level);
    timeb when{};
    when.time = 1770025277;  // 2026-02-02 09:41:17 UTC
    BlobRequest request(c.kind, hashFor(c.kind), c.withExtras, &when);
    if (c.withExtras) request.extras = TestPki::instance().extraCertificates();
    const BlobResult r = signBlob(request);
    ASSERT_EQ(r.lengthResult, 0);
    ASSERT_EQ(r.result, 0);

    const CmsPtr cms = ct::parseCms(r.der);
    ASSERT_TRUE(cms);
    CMS_SignerInfo* si = firstSigner(cms.get());
    std::vector<std::string> expected{"1.2.840.113549.1.9.3"};
    if (c.level != 1) expected.push_back("1.2.840.113549.1.9.5");
    if (c.level != 5) {
        expected.push_back("1.2.840.113549.1.9.4");
        expected.push_back("1.2.840.113549.1.9.16.2.47");
    }
    EXPECT_EQ(signedAttributeOids(si), expected);
    EXPECT_EQ(CMS_unsigned_get_attr_count(si), -1);  // no unsigned attributes at all
    if (c.level != 1) {
        EXPECT_EQ(signingTimeOf(si), std::optional<std::int64_t>(1770025277));
    }

    STACK_OF(X509)* certificates = CMS_get1_certs(cms.get());
    std::vector<Bytes> order{SigningKeys::get().signer(c.kind).der};
    order.insert(order.end(), request.extras.begin(), request.extras.end());
    ASSERT_EQ(sk_X509_num(certificates), static_cast<int>(order.size()));
    for (int i = 0; i < sk_X509_num(certificates); ++i) {
        EXPECT_EQ(kivo::test::derOf(sk_X509_value(certificates, i)), order[static_cast<std::size_t>(i)]) << i;
    }
    sk_X509_pop_free(certificates, X509_free);

    const Bytes* detached = c.withExtras ? nullptr : &request.data;
    X509* cert = SigningKeys::get().signer(c.kind).cert.get();
    EXPECT_EQ(verifySignedAttributes(r.der, cert, request.hash), 1);
    if (c.level == 5) {
        // Without messageDigest OpenSSL refuses the attributes (RFC 5652
        // requires it); the signature over them was checked above.
        EXPECT_NE(cmsVerify(r.der, detached), 1);
    } else {
        EXPECT_EQ(cmsVerify(r.der, detached, CMS_CADES), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, SigningAttributes, ::testing::ValuesIn(attributeCases()), [](const auto& info) {
    const AttributeCase& c = info.param;
    return std::string(kivo::test::keyKindName(c.kind)) + "_level" + std::to_string(c.level) +
           (c.withExtras ? "_attachedThreeExtras" : "_detachedNoExtras");
});

// ---- signing time -------------------------------------------------------------------------

// The whole seconds of the timeb are written as UTCTime, whatever the
// local time zone.
TEST_F(SigningTest, GivenSigningTimeIsWrittenAsUtc) {
    kivo::test::ScopedTimeZone zone("Asia/Kolkata");
    for (const std::int64_t seconds : {std::int64_t{1770025277}, std::int64_t{946684799}, std::int64_t{2524607999}}) {
        timeb when{};
        when.time = static_cast<time_t>(seconds);
        when.millitm = 999;
        when.timezone = -330;
        const BlobResult r = signBlob(BlobRequest(KeyKind::EcP256, 1, true, &when));
        ASSERT_EQ(r.result, 0);
        const CmsPtr cms = ct::parseCms(r.der);
        ASSERT_TRUE(cms);
        EXPECT_EQ(signingTimeOf(firstSigner(cms.get())), std::optional<std::int64_t>(seconds));
    }
}

TEST_F(SigningTest, NullSigningTimeIsNow) {
    const auto before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    const BlobResult r = signBlob(BlobRequest(KeyKind::Rsa2048));
    const auto after = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    ASSERT_EQ(r.result, 0);
    const CmsPtr cms = ct::parseCms(r.der);
    ASSERT_TRUE(cms);
    const auto written = signingTimeOf(firstSigner(cms.get()));
    ASSERT_TRUE(written.has_value());
    EXPECT_GE(*written, before - 2);
    EXPECT_LE(*written, after + 2);
}

// ---- lengths and failures --------------------------------------------------------------------

// With a fixed signing time an RSA PKCS#1 v1.5 signature is deterministic:
// two calls give the same container, and a null length pointer still
// gives it.
TEST(SigningLengths, RsaContainerIsReproducibleAndNeedsNoLengthPointer) {
    timeb when{};
    when.time = 1770025277;
    BlobRequest request(KeyKind::Rsa3072, 2, false, &when);
    const BlobResult first = signBlob(request);
    const BlobResult second = signBlob(request);
    ASSERT_EQ(first.result, 0);
    EXPECT_EQ(first.der, second.der);

    Bytes out(first.reported, 0xEE);
    EXPECT_EQ(CSignMessage::SignBlobSSL(request.data.data(), static_cast<int>(request.data.size()), out.data(),
                                        nullptr, &when, SigningKeys::get().signer(request.kind).cert.get(),
                                        SigningKeys::get().key(request.kind), request.hash, false, nullptr, 0),
              0);
    EXPECT_EQ(out, first.der);
}

TEST(SigningLengths, FailuresAndTheirCodes) {
    Bytes data = kivo::test::randomBytes(500, 9);
    const int len = static_cast<int>(data.size());
    unsigned long* key = SigningKeys::get().key(KeyKind::Rsa2048);
    X509* cert = SigningKeys::get().signer(KeyKind::Rsa2048).cert.get();
    Bytes out(4000, 0xEE);
    unsigned long length = 0xDEAD;

    EXPECT_EQ(CSignMessage::SignBlobSSLForLength(data.data(), len, nullptr, nullptr, nullptr, cert, key, 1, true,
                                                 nullptr, 0),
              -29);
    EXPECT_EQ(CSignMessage::SignBlobSSLForLength(data.data(), len, nullptr, &length, nullptr, nullptr, key, 1, true,
                                                 nullptr, 0),
              -29);
    EXPECT_EQ(CSignMessage::SignBlobSSLForLength(data.data(), len, nullptr, &length, nullptr, cert, nullptr, 1, true,
                                                 nullptr, 0),
              -37);

    // A null output buffer is refused before the key or certificate is looked at.
    EXPECT_EQ(CSignMessage::SignBlobSSL(data.data(), len, nullptr, &length, nullptr, nullptr, nullptr, 1, true,
                                        nullptr, 0),
              -301);
    EXPECT_EQ(CSignMessage::SignBlobSSL(data.data(), len, nullptr, &length, nullptr, cert, key, 1, true, nullptr, 0),
              -301);
    EXPECT_EQ(length, 0xDEADu);

    EXPECT_EQ(CSignMessage::SignBlobSSL(data.data(), len, out.data(), &length, nullptr, nullptr, key, 1, true, nullptr,
                                        0),
              -300);
    EXPECT_EQ(CSignMessage::SignBlobSSL(data.data(), len, out.data(), &length, nullptr, cert, nullptr, 1, true,
                                        nullptr, 0),
              -37);

    // The key handle still signs after the refusals.
    EXPECT_EQ(signBlob(BlobRequest(KeyKind::Rsa2048)).result, 0);
}

}  // namespace
