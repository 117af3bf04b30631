// Verify and VerifyCMS: plain-ECDSA signatures (0.4.0.127.0.7.1.1.4.1, r‖s
// over the signed attributes) made here and checked by hand, the log line of
// a failed CMS verification, and signature classes that must not pass
// unchecked.

#include "tests/support/ContainerTestUtil.h"

#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace kivo::test::container;
using kivo::test::KeyKind;
using kivo::test::cms::BuildOptions;
using kivo::test::cms::HeapCopy;
using kivo::test::cms::oidElement;
using kivo::test::cms::tlv;

namespace {

constexpr const char* kPlainEcdsaOid = "0.4.0.127.0.7.1.1.4.1";

// Indexes of the SignerInfo's fields in a builder message.
constexpr std::size_t kSignedAttrs = 3;
constexpr std::size_t kSignatureAlgorithm = 4;
constexpr std::size_t kSignature = 5;

std::vector<std::size_t> signerField(const Bytes& der, std::size_t field) {
    auto path = signerInfoPath(der);
    path.push_back(field);
    return path;
}

// A builder message for an EC signer whose SignerInfo is turned into a
// plain-ECDSA one: signature algorithm 0.4.0.127.0.7.1.1.4.1 (no
// parameters) and a real r‖s value over the signed attributes.
Bytes plainEcdsaMessage(const Party& signer, const BuildOptions& options) {
    auto message = kivo::test::cms::buildMessage(signer.der, options);
    if (message->getError() != 0) throw std::runtime_error("createSignedData failed");
    Bytes der = kivo::test::cms::bytesOf(*message);
    der = replaceAt(der, signerField(der, kSignatureAlgorithm), tlv(0x30, oidElement(kPlainEcdsaOid)));
    const Bytes signature = digestSign(signer.key.get(), mdForHashId(options.hashId), signedAttributesInput(der));
    const Bytes raw = ecdsaRawFromDer(signature, ecHalf(signer.key.get()));
    return replaceAt(der, signerField(der, kSignature), tlv(0x04, raw));
}

int verifyCms(const Bytes& der, const Bytes* content) {
    HeapCopy copy(der);
    Bytes contentCopy = content != nullptr ? *content : Bytes{};
    return CPKCS7SSL::VerifyCMS(mutableData(copy), static_cast<unsigned long>(der.size()),
                                content != nullptr ? contentCopy.data() : nullptr,
                                static_cast<unsigned long>(contentCopy.size()));
}

int verify(const Bytes& der) {
    HeapCopy copy(der);
    return CPKCS7SSL::Verify(mutableData(copy), static_cast<unsigned long>(der.size()));
}

struct PlainCase {
    KeyKind kind;
    int hashId;
};

class Pkcs7InspectPlainEcdsa : public testing::TestWithParam<PlainCase> {
protected:
    const Party& signer() const { return TestPki::instance().signer(GetParam().kind); }
    BuildOptions options(bool attach) const {
        BuildOptions o;
        o.hashId = GetParam().hashId;
        o.attach = attach;
        return o;
    }
};

TEST_P(Pkcs7InspectPlainEcdsa, AcceptedWithTheSignedContentOnly) {
    const BuildOptions o = options(false);
    const Bytes der = plainEcdsaMessage(signer(), o);
    // The stored value is r‖s, not an ECDSA-Sig-Value.
    const Bytes value = elementAtPath(der, signerField(der, kSignature));
    ASSERT_EQ(value.size(), 2 + 2 * ecHalf(signer().key.get()));

    EXPECT_EQ(verifyCms(der, &o.content), 0);
    Bytes other = o.content;
    other[0] ^= 0x20;
    EXPECT_EQ(verifyCms(der, &other), -22);
    EXPECT_EQ(verifyCms(der, nullptr), -22) << "no content to check the messageDigest against";
    Bytes empty;
    EXPECT_EQ(verifyCms(der, &empty), -22);
}

TEST_P(Pkcs7InspectPlainEcdsa, AttachedContentForVerify) {
    const BuildOptions o = options(true);
    const Bytes der = plainEcdsaMessage(signer(), o);
    EXPECT_EQ(verify(der), 0);
    EXPECT_EQ(verifyCms(der, &o.content), 0);

    // The attached content changed inside the message.
    Bytes tampered = der;
    const auto at = std::search(tampered.begin(), tampered.end(), o.content.begin(), o.content.end());
    ASSERT_NE(at, tampered.end());
    *at ^= 0x01;
    EXPECT_EQ(verify(tampered), -22);
}

TEST_P(Pkcs7InspectPlainEcdsa, ABrokenValueOrAttributeIsRefused) {
    const BuildOptions o = options(false);
    const Bytes der = plainEcdsaMessage(signer(), o);
    // One bit of s.
    const auto signaturePath = signerField(der, kSignature);
    Bytes value = elementAtPath(der, signaturePath);
    value.back() ^= 0x01;
    EXPECT_EQ(verifyCms(replaceAt(der, signaturePath, value), &o.content), -22);

    // The signed attributes changed after signing (the signing time).
    Bytes changed = der;
    const Bytes attributes = elementAtPath(der, signerField(der, kSignedAttrs));
    const auto at = std::search(changed.begin(), changed.end(), attributes.begin(), attributes.end());
    ASSERT_NE(at, changed.end());
    const Bytes utcTag = {0x17, 0x0D};
    const auto time = std::search(at, at + static_cast<std::ptrdiff_t>(attributes.size()), utcTag.begin(), utcTag.end());
    ASSERT_NE(time, at + static_cast<std::ptrdiff_t>(attributes.size()));
    time[3] = time[3] == '0' ? '1' : '0';
    EXPECT_EQ(verifyCms(changed, &o.content), -22);

    // The same value kept in DER form is accepted as well.
    const Bytes signature = digestSign(signer().key.get(), mdForHashId(o.hashId), signedAttributesInput(der));
    EXPECT_EQ(verifyCms(replaceAt(der, signaturePath, tlv(0x04, signature)), &o.content), 0);
}

INSTANTIATE_TEST_SUITE_P(Pkcs7InspectCurves, Pkcs7InspectPlainEcdsa,
                         testing::Values(PlainCase{KeyKind::EcP256, 1}, PlainCase{KeyKind::EcP384, 2}),
                         [](const testing::TestParamInfo<PlainCase>& info) {
                             return info.param.kind == KeyKind::EcP256 ? std::string("P256_SHA256")
                                                                       : std::string("P384_SHA384");
                         });

TEST(Pkcs7InspectPlainEcdsaAttributes, MissingMessageDigestIsRefusedAndRecorded) {
    const Party& signer = TestPki::instance().signer(KeyKind::EcP256);
    BuildOptions o;
    o.attributeMode = 5;  // contentType and signingTime only
    const Bytes der = plainEcdsaMessage(signer, o);
    ERR_clear_error();
    EXPECT_EQ(verifyCms(der, &o.content), -22);
    const unsigned long error = ERR_peek_last_error();
    EXPECT_EQ(ERR_GET_LIB(error), ERR_LIB_CMS);
    EXPECT_EQ(ERR_GET_REASON(error), CMS_R_ERROR_READING_MESSAGEDIGEST_ATTRIBUTE);
    const char* file = nullptr;
    int line = 0;
    ERR_peek_last_error_line(&file, &line);
    EXPECT_EQ(line, 2519);
    ERR_clear_error();
}

TEST(Pkcs7InspectPlainEcdsaAttributes, WithoutSignedAttributesNothingIsAccepted) {
    // A correct r‖s over the content digest itself: this class is not
    // checked without signed attributes, so it must not pass.
    const Party& signer = TestPki::instance().signer(KeyKind::EcP256);
    BuildOptions o;
    Bytes der = plainEcdsaMessage(signer, o);
    der = replaceAt(der, signerField(der, kSignedAttrs), std::nullopt);
    const Bytes signature = digestSign(signer.key.get(), EVP_sha256(), o.content);
    // Field indexes moved up by one with the attributes gone.
    der = replaceAt(der, signerField(der, kSignature - 1), tlv(0x04, ecdsaRawFromDer(signature, 32)));
    EXPECT_EQ(verifyCms(der, &o.content), -22);
}

TEST(Pkcs7InspectPlainEcdsaAttributes, PlainOidWithAnRsaKeyGoesToCmsVerification) {
    // OpenSSL does not know the plain-ECDSA OID; with an RSA signer the
    // message goes to CMS verification, which refuses it.
    const Party& signer = TestPki::instance().signer(KeyKind::Rsa2048);
    BuildOptions o;
    Bytes der = signedBuilderMessage(signer, o);
    der = replaceAt(der, signerField(der, kSignatureAlgorithm), tlv(0x30, oidElement(kPlainEcdsaOid)));
    kivo::test::LogCapture log(CPKCS7SSL::m_logger);
    EXPECT_EQ(verifyCms(der, &o.content), -22);
    bool logged = false;
    for (const auto& event : log.events()) logged = logged || (event.level == "ERROR" && event.message.rfind("error on CMS_verify: ", 0) == 0);
    EXPECT_TRUE(logged);
}

// ---- CMS verification and its log line -----------------------------------------------------

TEST(Pkcs7InspectVerifyCms, FailureLogsOpenSslsReason) {
    const Party& signer = TestPki::instance().signer(KeyKind::Rsa2048);
    BuildOptions o;
    const Bytes der = signedBuilderMessage(signer, o);
    kivo::test::LogCapture log(CPKCS7SSL::m_logger);
    Bytes wrong = {'w', 'r', 'o', 'n', 'g'};
    EXPECT_EQ(verifyCms(der, &wrong), -22);

    std::vector<kivo::test::CapturedEvent> errors;
    for (const auto& event : log.events()) {
        if (event.level == "ERROR") errors.push_back(event);
    }
    ASSERT_EQ(errors.size(), 1u);
    const std::string prefix = "error on CMS_verify: ";
    ASSERT_EQ(errors[0].message.rfind(prefix, 0), 0u) << errors[0].message;
    const std::string reason = errors[0].message.substr(prefix.size());
    EXPECT_FALSE(reason.empty());
    EXPECT_LE(reason.size(), 500u);
    EXPECT_NE(reason.find("CMS routines"), std::string::npos) << reason;
    EXPECT_EQ(ERR_peek_error(), 0u) << "the reported error is not left queued";

    // Success logs no error.
    log.clear();
    EXPECT_EQ(verifyCms(der, &o.content), 0);
    for (const auto& event : log.events()) EXPECT_NE(event.level, "ERROR") << event.message;
}

TEST(Pkcs7InspectVerify, RsaThroughPkcs7OthersThroughCms) {
    // RSA (PKCS#1 v1.5) and ECDSA signatures made by CMS_sign,
    // each verified and each refused once its content changes.
    const Bytes content = {'v', 'e', 'r', 'i', 'f', 'y', ' ', 'm', 'e'};
    for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::EcP256, KeyKind::EcP384}) {
        SCOPED_TRACE(kivo::test::keyKindName(kind));
        const Bytes der = cmsSigned(TestPki::instance().signer(kind), content, 0);
        EXPECT_EQ(verify(der), 0);
        Bytes tampered = der;
        const auto at = std::search(tampered.begin(), tampered.end(), content.begin(), content.end());
        ASSERT_NE(at, tampered.end());
        at[1] ^= 0x01;
        EXPECT_EQ(verify(tampered), -22);
        EXPECT_EQ(verifyCms(tampered, nullptr), -22);
    }
}

// ---- RSASSA-PSS ------------------------------------------------------------------------------

// A CMS signature with RSASSA-PSS padding (signature algorithm
// 1.2.840.113549.1.1.10 with its parameters), made with an RSA key.
Bytes pssSigned(const Party& signer, const Bytes& content, unsigned flags) {
    flags |= CMS_BINARY;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags | CMS_PARTIAL));
    CMS_SignerInfo* si = cms ? CMS_add1_signer(cms.get(), signer.cert.get(), signer.key.get(), EVP_sha256(),
                                               flags | CMS_KEY_PARAM)
                             : nullptr;
    if (si == nullptr || EVP_PKEY_CTX_set_rsa_padding(CMS_SignerInfo_get0_pkey_ctx(si), RSA_PKCS1_PSS_PADDING) != 1) {
        throw std::runtime_error("PSS signer setup failed");
    }
    BioPtr data = kivo::test::cms::memoryBio(content);
    if (CMS_final(cms.get(), data.get(), nullptr, flags) != 1) throw std::runtime_error("CMS_final failed");
    BioPtr out(BIO_new(BIO_s_mem()));
    if (i2d_CMS_bio(out.get(), cms.get()) != 1) throw std::runtime_error("i2d_CMS_bio failed");
    return kivo::test::cms::bioBytes(out.get());
}

TEST(Pkcs7InspectRsaPss, CheckedByCmsVerification) {
    const Party& signer = TestPki::instance().signer(KeyKind::Rsa2048);
    const Bytes content = {'p', 's', 's'};
    for (const unsigned flags : {0u, unsigned{CMS_NOATTR}}) {
        SCOPED_TRACE(flags);
        const Bytes der = pssSigned(signer, content, flags);
        CmsPtr cms = parseCms(der);
        X509_ALGOR* algorithm = nullptr;
        CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0), nullptr, nullptr,
                                 nullptr, &algorithm);
        ASSERT_EQ(dotted(algorithm->algorithm), "1.2.840.113549.1.1.10");

        EXPECT_EQ(verify(der), 0);
        EXPECT_EQ(verifyCms(der, nullptr), 0);
        Bytes tampered = der;
        const auto at = std::search(tampered.begin(), tampered.end(), content.begin(), content.end());
        ASSERT_NE(at, tampered.end());
        *at ^= 0x01;
        EXPECT_EQ(verify(tampered), -22);
        EXPECT_EQ(verifyCms(tampered, nullptr), -22);

        // The digest: from the attribute, or nothing (a PSS block holds no digest at its end).
        HeapCopy copy(der);
        unsigned long hashLen = 0;
        const unsigned char* hash = CPKCS7SSL::GetHash(mutableData(copy), static_cast<unsigned long>(der.size()), &hashLen);
        if (flags == 0) {
            ASSERT_NE(hash, nullptr);
            EXPECT_EQ(Bytes(hash, hash + hashLen), digest(EVP_sha256(), content));
        } else {
            EXPECT_EQ(hash, nullptr);
        }
    }
}

}  // namespace
