// Every inspection member on OpenSSL-made and builder messages, compared with OpenSSL;
// verification of plain-ECDSA and RSASSA-PSS signatures.

#include "tests/support/ContainerTestUtil.h"

#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kivo::test::container;
using kivo::test::KeyKind;
using kivo::test::cms::tlv;

namespace {

// CMS_sign (without signed attributes for RSA and EC P-384 only) or the library's builder.
struct MessageCase { KeyKind kind; bool builder; bool attributes; bool attached; };

const MessageCase kCases[] = {
    {KeyKind::Rsa2048, false, true, true}, {KeyKind::Rsa2048, false, false, false}, {KeyKind::EcP256, false, true, false},
    {KeyKind::EcP384, false, false, true}, {KeyKind::Rsa3072, true, true, true},    {KeyKind::EcP256, true, true, true},
    {KeyKind::EcP384, true, true, false},
};

const Bytes kContent = {'K', 'i', 'v', 'o', ' ', 'i', 'n', 's', 'p', 'e', 'c', 't', 's'};

Bytes messageOf(const MessageCase& c) {
    auto& pki = TestPki::instance();
    const Party& signer = pki.signer(c.kind);
    if (c.builder) return signedBuilderMessage(signer, {.content = kContent, .attach = c.attached});
    // Attached ones carry two further certificates.
    const Party& other = pki.signer(c.kind == KeyKind::EcP256 ? KeyKind::Rsa2048 : KeyKind::EcP256);
    return cmsSigned(signer, kContent, (c.attributes ? 0u : CMS_NOATTR) | (c.attached ? 0u : CMS_DETACHED),
                     c.attached ? std::vector<const Party*>{&pki.ca(), &other} : std::vector<const Party*>{});
}

class Pkcs7InspectOpenSslMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(Pkcs7InspectOpenSslMessage, EveryAnswerAsOpenSslReadsIt) {
    kivo::test::ScopedTimeZone utc("UTC0");
    const MessageCase& c = GetParam();
    const bool rsa = c.kind == KeyKind::Rsa2048 || c.kind == KeyKind::Rsa3072;
    const Party& signer = TestPki::instance().signer(c.kind);
    const Bytes der = messageOf(c);
    Message m(der);
    const CmsPtr cms = parseCms(der);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    ASSERT_NE(si, nullptr);
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(m.p(), m.len), 1);
    for (const CallerBufferMember member : {&CPKCS7SSL::GetSignerCert, &CPKCS7SSL::GetSignerCertEx}) {
        EXPECT_EQ(callIndexed(member, der, 0).written(), signer.der);
        for (const int index : {1, -1}) EXPECT_TRUE(callIndexed(member, der, index).untouched());
    }
    STACK_OF(X509)* certs = CMS_get1_certs(cms.get());
    const int count = sk_X509_num(certs);
    EXPECT_EQ(CPKCS7SSL::GetNCertNum(m.p(), m.len), count);
    for (int i = 0; i < count; ++i) EXPECT_EQ(callIndexed(CPKCS7SSL::GetNCert, der, i).written(), kivo::test::derOf(sk_X509_value(certs, i))) << i;
    sk_X509_pop_free(certs, X509_free);
    EXPECT_TRUE(callIndexed(CPKCS7SSL::GetNCert, der, count).untouched());
    Bytes buffer(kContent.size(), 0xEE);
    unsigned char* out = buffer.data();
    unsigned long room = static_cast<unsigned long>(buffer.size()) - 1;
    EXPECT_EQ(CPKCS7SSL::GetData(m.p(), m.len, &out, &room) == 0 && buffer == Bytes(kContent.size(), 0xEE), c.attached) << "too small: nothing copied";
    room = static_cast<unsigned long>(buffer.size());
    ASSERT_EQ(CPKCS7SSL::GetData(m.p(), m.len, &out, &room), c.attached ? 0 : -1);
    if (c.attached) { EXPECT_EQ(buffer, octets(*CMS_get0_content(cms.get()))); }
    // The digest: the messageDigest attribute, else the end of a PKCS#1 v1.5 block.
    const auto wanted = c.attributes || rsa ? std::optional<Bytes>(digest(EVP_sha256(), kContent)) : std::nullopt;
    const auto* messageDigest = CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING);
    EXPECT_TRUE(!c.attributes || octets(static_cast<const ASN1_OCTET_STRING*>(messageDigest)) == wanted);
    EXPECT_EQ(hashOf(CPKCS7SSL::GetHash, der), wanted);
    EXPECT_EQ(hashOf(CPKCS7SSL::GetTimestampHash, der), wanted);
    unsigned long outLen = 0;
    const char* algorithm = CPKCS7SSL::GetHashAlgo(m.p(), m.len, 0, &outLen);
    ASSERT_NE(algorithm, nullptr);
    X509_ALGOR* digestAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digestAlgorithm, nullptr);
    EXPECT_TRUE(algorithm == dotted(digestAlgorithm->algorithm) && outLen == std::strlen(algorithm) + 1) << algorithm;
    EXPECT_EQ(CPKCS7SSL::GetHashAlgo(m.p(), m.len, 1, &outLen), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetVersion(m.p(), m.len), ASN1_INTEGER_get(parsePkcs7(der)->d.sign->version));
    EXPECT_FALSE(CPKCS7SSL::IsTimestamp(m.p(), m.len));
    EXPECT_EQ((Codes{CPKCS7SSL::isEnveloped(m.p(), m.len), CPKCS7SSL::GetCipherCertNum(m.p(), m.len), CPKCS7SSL::GetSignedAttrCertNum(m.p(), m.len)}), (Codes{-22, 0, 0}));
    const auto* time = static_cast<const ASN1_TIME*>(CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_pkcs9_signingTime), -3, V_ASN1_UTCTIME));
    EXPECT_EQ(CPKCS7SSL::GetSigningTime(m.p(), m.len), c.attributes ? utcSeconds(time) : 0);
    // The signature value, raw: r‖s for ECDSA; GetRSAKeySize points at it in the builder's layout.
    const Bytes value = octets(CMS_SignerInfo_get0_signature(si));
    EXPECT_TRUE(signatureBlob(der, 0, false) == value && signatureBlob(der, 1, false) == std::nullopt);
    EXPECT_EQ(signatureBlob(der, 0, true), rsa ? value : ecdsaRawFromDer(value, ecHalf(signer.key.get())));
    unsigned long offset = 0;
    const int length = CPKCS7SSL::GetRSAKeySize(m.p(), &offset);
    if (c.builder) { ASSERT_EQ(length, static_cast<int>(value.size())); }
    if (length >= 0) { EXPECT_EQ(Bytes(der.begin() + static_cast<std::ptrdiff_t>(offset), der.begin() + static_cast<std::ptrdiff_t>(offset + length)), value); }
    EXPECT_TRUE(CPKCS7SSL::GetSignerRSAKeySize(m.p(), 0) == EVP_PKEY_get_bits(X509_get0_pubkey(signer.cert.get())) && CPKCS7SSL::GetSignerRSAKeySize(m.p(), 1) == -1);
    // RSA: the RSAPublicKey; EC: the BIT STRING with the point.
    const Bytes bits = octets(X509_get0_pubkey_bitstr(signer.cert.get()));
    const Bytes keyOctets = rsa ? bits : kivo::test::cms::tlv(0x03, kivo::test::cms::join({Bytes{0}, bits}));
    Bytes keyOut(der.size(), 0xEE);
    EXPECT_EQ((Codes{CPKCS7SSL::GetSignerRSAKey(m.p(), keyOut.data(), 0), CPKCS7SSL::GetSignerRSAKey(m.p(), keyOut.data(), 1)}), (Codes{0, -94}));
    EXPECT_EQ(Bytes(keyOut.begin(), keyOut.begin() + static_cast<std::ptrdiff_t>(keyOctets.size() + 1)), kivo::test::cms::join({keyOctets, Bytes{0xEE}}));
    EXPECT_EQ(verify(der), c.attached ? 0 : -22);
    EXPECT_EQ(verifyCms(der, c.attached ? std::nullopt : std::optional<Bytes>(kContent)), 0);
    if (!c.attached) { EXPECT_EQ(verifyCms(der, Bytes{'o', 't', 'h', 'e', 'r'}), -22); }
    const Bytes broken = tamper(der, value, value.size() / 2);
    EXPECT_EQ((Codes{verify(broken), verifyCms(broken, kContent)}), (Codes{-22, -22}));
}

INSTANTIATE_TEST_SUITE_P(Pkcs7InspectMessages, Pkcs7InspectOpenSslMessage, testing::ValuesIn(kCases), [](const auto& info) {
    const MessageCase& c = info.param;
    std::string name = std::string(kivo::test::keyKindName(c.kind)) + (c.builder ? "_builder" : "_cms") +
                       (c.attributes ? "_attrs" : "_noattrs") + (c.attached ? "_attached" : "_detached");
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

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
        kivo::test::cms::BuildOptions o{.hashId = hashId, .attach = false};
        const Bytes der = plainEcdsaMessage(signer, o);
        const auto valuePath = signerInfoPath(der, 0, 5);
        const Bytes value = elementAtPath(der, valuePath);
        const Bytes attributes = elementAtPath(der, signerInfoPath(der, 0, 3));
        EXPECT_EQ(verifyCms(der, o.content), 0);
        EXPECT_EQ(verifyCms(der, tamper(o.content, o.content, 0)), -22) << "other content";
        EXPECT_EQ(verifyCms(der, std::nullopt), -22) << "no content to check the messageDigest against";
        EXPECT_EQ(verifyCms(replaceAt(der, valuePath, tamper(value, value, value.size() - 1)), o.content), -22);
        EXPECT_EQ(verifyCms(tamper(der, attributes, attributes.size() - 40), o.content), -22) << "attributes changed after signing";
        const Bytes derValue = digestSign(signer.key.get(), mdForHashId(hashId), signedAttributesInput(der));
        EXPECT_EQ(verifyCms(replaceAt(der, valuePath, tlv(0x04, derValue)), o.content), 0) << "the value in DER form";
        const Bytes attached = plainEcdsaMessage(signer, {.hashId = hashId});
        EXPECT_EQ((Codes{verify(attached), verify(tamper(attached, o.content, 0))}), (Codes{0, -22}));
    }
    // Without messageDigest, or without signed attributes at all, nothing is accepted.
    const Party& signer = TestPki::instance().signer(KeyKind::EcP256);
    const kivo::test::cms::BuildOptions o;
    ERR_clear_error();
    EXPECT_EQ(verifyCms(plainEcdsaMessage(signer, {.attributeMode = 5}), o.content), -22);
    EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), CMS_R_ERROR_READING_MESSAGEDIGEST_ATTRIBUTE);
    ERR_clear_error();
    Bytes bare = plainEcdsaMessage(signer, o);
    bare = replaceAt(bare, signerInfoPath(bare, 0, 3), std::nullopt);
    bare = replaceAt(bare, signerInfoPath(bare, 0, 4), tlv(0x04, ecdsaRawFromDer(digestSign(signer.key.get(), EVP_sha256(), o.content), 32)));
    EXPECT_EQ(verifyCms(bare, o.content), -22);
}

// A failed CMS verification logs OpenSSL's reason once and leaves no error queued
// (an RSA signer under the plain-ECDSA OID fails there too).
TEST(Pkcs7InspectVerifyCms, FailureLogsOpenSslsReason) {
    const kivo::test::cms::BuildOptions o;
    const Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), o);
    for (const bool wrongContent : {true, false}) {
        kivo::test::LogCapture log(CPKCS7SSL::m_logger);
        EXPECT_EQ(wrongContent ? verifyCms(der, Bytes{'w'}) : verifyCms(replaceAt(der, signerInfoPath(der, 0, 4), kPlainEcdsa), o.content), -22);
        std::vector<std::string> errors;
        for (const auto& event : log.events()) if (event.level == "ERROR") errors.push_back(event.message);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind("error on CMS_verify: ", 0), 0u) << errors[0];
        EXPECT_TRUE(!wrongContent || errors[0].find("CMS routines") != std::string::npos) << errors[0];
        EXPECT_EQ(ERR_peek_error(), 0u);
    }
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
        const Bytes broken = tamper(pss, content, 0);
        EXPECT_EQ((Codes{verify(pss), verifyCms(pss, std::nullopt)}), (Codes{0, 0}));
        EXPECT_EQ((Codes{verify(broken), verifyCms(broken, std::nullopt)}), (Codes{-22, -22}));
        EXPECT_EQ(hashOf(CPKCS7SSL::GetHash, pss), flags == 0 ? std::optional(digest(EVP_sha256(), content)) : std::nullopt);
    }
}

}  // namespace
