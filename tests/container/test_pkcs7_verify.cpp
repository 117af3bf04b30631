// Verify and VerifyCMS beyond OpenSSL's own messages: plain-ECDSA
// signatures (0.4.0.127.0.7.1.1.4.1, r‖s over the signed attributes) made
// here, RSASSA-PSS, the log line of a failed CMS verification, and
// signature classes that must not pass unchecked.

#include "tests/support/ContainerTestUtil.h"

#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

using namespace kivo::test::container;
using kivo::test::KeyKind;
using kivo::test::cms::BuildOptions;
using kivo::test::cms::oidElement;
using kivo::test::cms::tlv;

namespace {

constexpr const char* kPlainEcdsaOid = "0.4.0.127.0.7.1.1.4.1";
constexpr std::size_t kSignedAttrs = 3;
constexpr std::size_t kSignatureAlgorithm = 4;
constexpr std::size_t kSignature = 5;

// A builder message whose SignerInfo is plain ECDSA: the OID without
// parameters and a real r‖s over the signed attributes.
Bytes plainEcdsaMessage(const Party& signer, const BuildOptions& options) {
    auto message = kivo::test::cms::buildMessage(signer.der, options);
    Bytes der = kivo::test::cms::bytesOf(*message);
    der = replaceAt(der, signerInfoPath(der, 0, kSignatureAlgorithm), tlv(0x30, oidElement(kPlainEcdsaOid)));
    const Bytes signature = digestSign(signer.key.get(), mdForHashId(options.hashId), signedAttributesInput(der));
    return replaceAt(der, signerInfoPath(der, 0, kSignature), tlv(0x04, ecdsaRawFromDer(signature, ecHalf(signer.key.get()))));
}

int verifyCms(const Bytes& der, std::optional<Bytes> content) {
    Message m(der);
    return CPKCS7SSL::VerifyCMS(m.p(), m.len, content ? content->data() : nullptr,
                                content ? static_cast<unsigned long>(content->size()) : 0);
}

int verify(const Bytes& der) {
    Message m(der);
    return CPKCS7SSL::Verify(m.p(), m.len);
}

// `der` with the first occurrence of `part` changed in its octet `at`.
Bytes tamper(Bytes der, const Bytes& part, std::size_t at) {
    std::search(der.begin(), der.end(), part.begin(), part.end())[static_cast<std::ptrdiff_t>(at)] ^= 0x01;
    return der;
}

TEST(Pkcs7InspectPlainEcdsa, AcceptedOnlyWhenValueAttributesAndContentAgree) {
    for (const auto& [kind, hashId] : {std::pair{KeyKind::EcP256, 1}, std::pair{KeyKind::EcP384, 2}}) {
        SCOPED_TRACE(kivo::test::keyKindName(kind));
        const Party& signer = TestPki::instance().signer(kind);
        BuildOptions o;
        o.hashId = hashId;
        o.attach = false;
        const Bytes der = plainEcdsaMessage(signer, o);
        const auto signaturePath = signerInfoPath(der, 0, kSignature);
        Bytes value = elementAtPath(der, signaturePath);
        ASSERT_EQ(value.size(), 2 + 2 * ecHalf(signer.key.get())) << "r‖s, not an ECDSA-Sig-Value";
        EXPECT_EQ(verifyCms(der, o.content), 0);
        Bytes other = o.content;
        other[0] ^= 0x20;
        EXPECT_EQ(verifyCms(der, other), -22);
        EXPECT_EQ(verifyCms(der, std::nullopt), -22) << "no content to check the messageDigest against";
        EXPECT_EQ(verifyCms(der, Bytes{}), -22);
        value.back() ^= 0x01;
        EXPECT_EQ(verifyCms(replaceAt(der, signaturePath, value), o.content), -22);
        // The signing time changed after signing.
        const Bytes attributes = elementAtPath(der, signerInfoPath(der, 0, kSignedAttrs));
        const Bytes utcTag = {0x17, 0x0D};
        const auto time = static_cast<std::size_t>(
            std::search(attributes.begin(), attributes.end(), utcTag.begin(), utcTag.end()) - attributes.begin());
        EXPECT_EQ(verifyCms(tamper(der, attributes, time + 3), o.content), -22);
        // The same value kept in DER form is accepted as well.
        const Bytes derValue = digestSign(signer.key.get(), mdForHashId(hashId), signedAttributesInput(der));
        EXPECT_EQ(verifyCms(replaceAt(der, signaturePath, tlv(0x04, derValue)), o.content), 0);

        o.attach = true;
        const Bytes attached = plainEcdsaMessage(signer, o);
        EXPECT_EQ(verify(attached), 0);
        EXPECT_EQ(verifyCms(attached, o.content), 0);
        EXPECT_EQ(verify(tamper(attached, o.content, 0)), -22);
    }
}

TEST(Pkcs7InspectPlainEcdsa, WithoutMessageDigestOrSignedAttributesNothingIsAccepted) {
    const Party& signer = TestPki::instance().signer(KeyKind::EcP256);
    BuildOptions o;
    o.attributeMode = 5;  // contentType and signingTime only
    ERR_clear_error();
    EXPECT_EQ(verifyCms(plainEcdsaMessage(signer, o), o.content), -22);
    const unsigned long error = ERR_peek_last_error();
    EXPECT_EQ(ERR_GET_LIB(error), ERR_LIB_CMS);
    EXPECT_EQ(ERR_GET_REASON(error), CMS_R_ERROR_READING_MESSAGEDIGEST_ATTRIBUTE);
    ERR_clear_error();

    // A correct r‖s over the content itself, with no signed attributes.
    o.attributeMode = 0;
    Bytes der = plainEcdsaMessage(signer, o);
    der = replaceAt(der, signerInfoPath(der, 0, kSignedAttrs), std::nullopt);
    const Bytes signature = digestSign(signer.key.get(), EVP_sha256(), o.content);
    der = replaceAt(der, signerInfoPath(der, 0, kSignature - 1), tlv(0x04, ecdsaRawFromDer(signature, 32)));
    EXPECT_EQ(verifyCms(der, o.content), -22);
}

// A failed CMS verification logs OpenSSL's reason once and leaves no error
// queued; OpenSSL does not know the plain-ECDSA OID, so with an RSA signer
// it is such a failure. Success logs no error.
TEST(Pkcs7InspectVerifyCms, FailureLogsOpenSslsReason) {
    const Party& signer = TestPki::instance().signer(KeyKind::Rsa2048);
    BuildOptions o;
    const Bytes der = signedBuilderMessage(signer, o);
    Bytes plainOid = replaceAt(der, signerInfoPath(der, 0, kSignatureAlgorithm), tlv(0x30, oidElement(kPlainEcdsaOid)));
    for (const bool wrongContent : {true, false}) {
        kivo::test::LogCapture log(CPKCS7SSL::m_logger);
        EXPECT_EQ(wrongContent ? verifyCms(der, Bytes{'w', 'r', 'o', 'n', 'g'}) : verifyCms(plainOid, o.content), -22);
        std::vector<std::string> errors;
        for (const auto& event : log.events()) {
            if (event.level == "ERROR") errors.push_back(event.message);
        }
        ASSERT_EQ(errors.size(), 1u);
        const std::string prefix = "error on CMS_verify: ";
        ASSERT_EQ(errors[0].rfind(prefix, 0), 0u) << errors[0];
        if (wrongContent) { EXPECT_NE(errors[0].find("CMS routines"), std::string::npos) << errors[0]; }
        EXPECT_LE(errors[0].size(), prefix.size() + 500);
        EXPECT_EQ(ERR_peek_error(), 0u);
    }
    kivo::test::LogCapture log(CPKCS7SSL::m_logger);
    EXPECT_EQ(verifyCms(der, o.content), 0);
    for (const auto& event : log.events()) EXPECT_NE(event.level, "ERROR") << event.message;
}

// RSASSA-PSS (1.2.840.113549.1.1.10 with parameters) is checked by CMS
// verification; its digest comes from the attribute only.
TEST(Pkcs7InspectRsaPss, CheckedByCmsVerification) {
    const Party& signer = TestPki::instance().signer(KeyKind::Rsa2048);
    const Bytes content = {'p', 's', 's'};
    for (const unsigned flags : {0u, unsigned{CMS_NOATTR}}) {
        SCOPED_TRACE(flags);
        CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags | CMS_BINARY | CMS_PARTIAL));
        CMS_SignerInfo* si = CMS_add1_signer(cms.get(), signer.cert.get(), signer.key.get(), EVP_sha256(), flags | CMS_BINARY | CMS_KEY_PARAM);
        ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(CMS_SignerInfo_get0_pkey_ctx(si), RSA_PKCS1_PSS_PADDING), 1);
        BioPtr data = kivo::test::cms::memoryBio(content);
        BioPtr out(BIO_new(BIO_s_mem()));
        ASSERT_EQ(CMS_final(cms.get(), data.get(), nullptr, flags | CMS_BINARY), 1);
        ASSERT_EQ(i2d_CMS_bio(out.get(), cms.get()), 1);
        const Bytes der = kivo::test::cms::bioBytes(out.get());
        X509_ALGOR* algorithm = nullptr;
        CMS_SignerInfo_get0_algs(si, nullptr, nullptr, nullptr, &algorithm);
        ASSERT_EQ(dotted(algorithm->algorithm), "1.2.840.113549.1.1.10");
        EXPECT_EQ(verify(der), 0);
        EXPECT_EQ(verifyCms(der, std::nullopt), 0);
        EXPECT_EQ(verify(tamper(der, content, 0)), -22);
        EXPECT_EQ(verifyCms(tamper(der, content, 0), std::nullopt), -22);
        const auto expected = flags == 0 ? std::optional<Bytes>(digest(EVP_sha256(), content)) : std::nullopt;
        EXPECT_EQ(hashOf(CPKCS7SSL::GetHash, der), expected);
    }
}

}  // namespace
