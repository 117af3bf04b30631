// Verify and VerifyCMS beyond OpenSSL's own messages: plain-ECDSA signatures
// (0.4.0.127.0.7.1.1.4.1, r‖s over the signed attributes) made here,
// RSASSA-PSS, and the log line of a failed CMS verification.

#include "tests/support/ContainerTestUtil.h"

#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

using namespace kivo::test::container;
using kivo::test::KeyKind;
using kivo::test::cms::tlv;

namespace {

const Bytes kPlainEcdsa = tlv(0x30, kivo::test::cms::oidElement("0.4.0.127.0.7.1.1.4.1"));

// A builder message turned plain ECDSA: the OID and r‖s over the signed attributes.
Bytes plainEcdsaMessage(const Party& signer, const kivo::test::cms::BuildOptions& options) {
    Bytes der = kivo::test::cms::bytesOf(*kivo::test::cms::buildMessage(signer.der, options));
    der = replaceAt(der, signerInfoPath(der, 0, 4), kPlainEcdsa);
    const Bytes signature = digestSign(signer.key.get(), mdForHashId(options.hashId), signedAttributesInput(der));
    return replaceAt(der, signerInfoPath(der, 0, 5), tlv(0x04, ecdsaRawFromDer(signature, ecHalf(signer.key.get()))));
}

TEST(Pkcs7InspectPlainEcdsa, AcceptedOnlyWhenValueAttributesAndContentAgree) {
    for (const auto& [kind, hashId] : {std::pair{KeyKind::EcP256, 1}, std::pair{KeyKind::EcP384, 2}}) {
        SCOPED_TRACE(kivo::test::keyKindName(kind));
        const Party& signer = TestPki::instance().signer(kind);
        kivo::test::cms::BuildOptions o;
        o.hashId = hashId;
        o.attach = false;
        const Bytes der = plainEcdsaMessage(signer, o);
        const auto valuePath = signerInfoPath(der, 0, 5);
        const Bytes value = elementAtPath(der, valuePath);
        EXPECT_EQ(verifyCms(der, o.content), 0);
        EXPECT_EQ(verifyCms(der, tamper(o.content, o.content, 0)), -22);
        EXPECT_EQ(verifyCms(der, std::nullopt), -22) << "no content to check the messageDigest against";
        EXPECT_EQ(verifyCms(replaceAt(der, valuePath, tamper(value, value, value.size() - 1)), o.content), -22);
        const Bytes attributes = elementAtPath(der, signerInfoPath(der, 0, 3));
        EXPECT_EQ(verifyCms(tamper(der, attributes, attributes.size() - 40), o.content), -22) << "attributes changed after signing";
        const Bytes derValue = digestSign(signer.key.get(), mdForHashId(hashId), signedAttributesInput(der));
        EXPECT_EQ(verifyCms(replaceAt(der, valuePath, tlv(0x04, derValue)), o.content), 0) << "the value in DER form";

        o.attach = true;
        const Bytes attached = plainEcdsaMessage(signer, o);
        EXPECT_EQ(verify(attached), 0);
        EXPECT_EQ(verify(tamper(attached, o.content, 0)), -22);
    }
    // Without messageDigest, or without signed attributes at all, nothing is accepted.
    const Party& signer = TestPki::instance().signer(KeyKind::EcP256);
    kivo::test::cms::BuildOptions o;
    o.attributeMode = 5;
    ERR_clear_error();
    EXPECT_EQ(verifyCms(plainEcdsaMessage(signer, o), o.content), -22);
    EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), CMS_R_ERROR_READING_MESSAGEDIGEST_ATTRIBUTE);
    ERR_clear_error();
    o.attributeMode = 0;
    Bytes bare = plainEcdsaMessage(signer, o);
    bare = replaceAt(bare, signerInfoPath(bare, 0, 3), std::nullopt);
    bare = replaceAt(bare, signerInfoPath(bare, 0, 4), tlv(0x04, ecdsaRawFromDer(digestSign(signer.key.get(), EVP_sha256(), o.content), 32)));
    EXPECT_EQ(verifyCms(bare, o.content), -22);
}

// A failed CMS verification logs OpenSSL's reason once and leaves no error
// queued (an RSA signer under the plain-ECDSA OID fails there too).
TEST(Pkcs7InspectVerifyCms, FailureLogsOpenSslsReason) {
    const kivo::test::cms::BuildOptions o;
    const Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), o);
    for (const bool wrongContent : {true, false}) {
        kivo::test::LogCapture log(CPKCS7SSL::m_logger);
        EXPECT_EQ(wrongContent ? verifyCms(der, Bytes{'w'}) : verifyCms(replaceAt(der, signerInfoPath(der, 0, 4), kPlainEcdsa), o.content), -22);
        std::vector<std::string> errors;
        for (const auto& event : log.events()) {
            if (event.level == "ERROR") errors.push_back(event.message);
        }
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind("error on CMS_verify: ", 0), 0u) << errors[0];
        if (wrongContent) { EXPECT_NE(errors[0].find("CMS routines"), std::string::npos) << errors[0]; }
        EXPECT_EQ(ERR_peek_error(), 0u);
    }
    kivo::test::LogCapture log(CPKCS7SSL::m_logger);
    EXPECT_EQ(verifyCms(der, o.content), 0);
    for (const auto& event : log.events()) EXPECT_NE(event.level, "ERROR") << event.message;
}

// RSASSA-PSS is checked by CMS verification; its digest comes from the attribute only.
TEST(Pkcs7InspectRsaPss, CheckedByCmsVerification) {
    const Party& signer = TestPki::instance().signer(KeyKind::Rsa2048);
    const Bytes content = {'p', 's', 's'};
    for (const unsigned flags : {0u, unsigned{CMS_NOATTR}}) {
        SCOPED_TRACE(flags);
        CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags | CMS_BINARY | CMS_PARTIAL));
        CMS_SignerInfo* si = CMS_add1_signer(cms.get(), signer.cert.get(), signer.key.get(), EVP_sha256(), flags | CMS_BINARY | CMS_KEY_PARAM);
        EVP_PKEY_CTX_set_rsa_padding(CMS_SignerInfo_get0_pkey_ctx(si), RSA_PKCS1_PSS_PADDING);
        BioPtr data = kivo::test::cms::memoryBio(content);
        BioPtr out(BIO_new(BIO_s_mem()));
        ASSERT_EQ(CMS_final(cms.get(), data.get(), nullptr, flags | CMS_BINARY) + i2d_CMS_bio(out.get(), cms.get()), 2);
        const Bytes pss = kivo::test::cms::bioBytes(out.get());
        const Bytes pssOid = kivo::test::cms::oidElement("1.2.840.113549.1.1.10");
        ASSERT_NE(std::search(pss.begin(), pss.end(), pssOid.begin(), pssOid.end()), pss.end());
        EXPECT_EQ(verify(pss), 0);
        EXPECT_EQ(verifyCms(pss, std::nullopt), 0);
        EXPECT_EQ(verify(tamper(pss, content, 0)), -22);
        EXPECT_EQ(verifyCms(tamper(pss, content, 0), std::nullopt), -22);
        EXPECT_EQ(hashOf(CPKCS7SSL::GetHash, pss), flags == 0 ? std::optional(digest(EVP_sha256(), content)) : std::nullopt);
    }
}

}  // namespace
