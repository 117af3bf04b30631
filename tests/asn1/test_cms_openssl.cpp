// Agreement with OpenSSL: messages from createSignedData parse with
// OpenSSL's CMS decoder with the same content, and after
// setSignerSignature with a signature OpenSSL computed over the signed
// attributes, CMS_verify accepts them.

#include "tests/asn1/CmsTestUtil.h"

#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/ess.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using kivo::test::KeyKind;
using kivo::test::cms::bioBytes;
using kivo::test::cms::BioPtr;
using kivo::test::cms::BuildOptions;
using kivo::test::cms::buildMessage;
using kivo::test::cms::Bytes;
using kivo::test::cms::bytesOf;
using kivo::test::cms::CmsPtr;
using kivo::test::cms::memoryBio;
using kivo::test::cms::TestPki;

namespace {

// OpenSSL's digest and its OID for a hash id of createSignedData.
struct DigestOfId {
    const EVP_MD* md;
    const char* oid;
};

DigestOfId digestFor(int hashId) {
    switch (hashId) {
        case 0: return {EVP_sha1(), "1.3.14.3.2.26"};
        case 2: return {EVP_sha384(), "2.16.840.1.101.3.4.2.2"};
        case 3: return {EVP_sha512(), "2.16.840.1.101.3.4.2.3"};
        case 4: return {EVP_ripemd160(), "1.3.36.3.2.1"};
        case 5: return {EVP_md5(), "1.2.840.113549.2.5"};
        default: return {EVP_sha256(), "2.16.840.1.101.3.4.2.1"};
    }
}

// A signing or verifying context for `key` with the digest of `hashId`,
// RSASSA-PSS padding (salt of the digest's length) when `pss`.
EVP_MD_CTX* signatureContext(EVP_PKEY* key, int hashId, bool pss, bool verifying) {
    const EVP_MD* md = digestFor(hashId).md;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_PKEY_CTX* keyContext = nullptr;
    bool ok = (verifying ? EVP_DigestVerifyInit(context, &keyContext, md, nullptr, key)
                         : EVP_DigestSignInit(context, &keyContext, md, nullptr, key)) == 1;
    if (ok && pss) {
        ok = EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PSS_PADDING) == 1 &&
             EVP_PKEY_CTX_set_rsa_mgf1_md(keyContext, md) == 1 &&
             EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext, EVP_MD_get_size(md)) == 1;
    }
    if (!ok) {
        EVP_MD_CTX_free(context);
        throw std::runtime_error("signature context setup failed");
    }
    return context;
}

std::string textOf(const ASN1_OBJECT* object) {
    char text[128];
    OBJ_obj2txt(text, sizeof text, object, 1);
    return text;
}

CmsPtr parse(const Bytes& der) {
    BioPtr bio = memoryBio(der);
    return CmsPtr(d2i_CMS_bio(bio.get(), nullptr));
}

// The signature OpenSSL makes over the DER of the signed attributes, with
// the first octet changed from A0 to 31; ECDSA signatures are turned into
// r‖s of two halves of the key size.
Bytes signAttributes(EVP_PKEY* key, const CAsn1_AuthAttributes& attributes, int hashId, bool pss) {
    Bytes input = bytesOf(attributes);
    if (input.empty() || input[0] != 0xA0) throw std::runtime_error("signed attributes must start with A0");
    input[0] = 0x31;

    EVP_MD_CTX* context = signatureContext(key, hashId, pss, false);
    std::size_t length = 0;
    bool ok = EVP_DigestSign(context, nullptr, &length, input.data(), input.size()) == 1;
    Bytes signature(length);
    ok = ok && EVP_DigestSign(context, signature.data(), &length, input.data(), input.size()) == 1;
    EVP_MD_CTX_free(context);
    if (!ok) throw std::runtime_error("EVP_DigestSign failed");
    signature.resize(length);

    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return signature;
    const std::size_t half = (static_cast<std::size_t>(EVP_PKEY_get_bits(key)) + 7) / 8;
    const unsigned char* p = signature.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(signature.size()));
    if (sig == nullptr) throw std::runtime_error("not an ECDSA-Sig-Value");
    Bytes raw(2 * half);
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw.data(), static_cast<int>(half));
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw.data() + half, static_cast<int>(half));
    ECDSA_SIG_free(sig);
    return raw;
}

// Checks the signature of the first signer with the signer certificate's
// key over the signed attributes as OpenSSL parsed them, written again in
// their received order as a SET (what CMS_SignerInfo_verify hashes).
// CMS_SignerInfo_verify itself refuses signed attributes without
// messageDigest before it looks at the signature.
int verifyAttributeSignature(CMS_ContentInfo* cms, X509* certificate, int hashId, bool pss) {
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
    Bytes attributes;
    for (int i = 0; i < CMS_signed_get_attr_count(si); ++i) {
        unsigned char* der = nullptr;
        const int length = i2d_X509_ATTRIBUTE(CMS_signed_get_attr(si, i), &der);
        if (length <= 0) return -1;
        attributes.insert(attributes.end(), der, der + length);
        OPENSSL_free(der);
    }
    const Bytes input = kivo::test::cms::tlv(0x31, attributes);
    const ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(si);

    EVP_MD_CTX* context = signatureContext(X509_get0_pubkey(certificate), hashId, pss, true);
    const int result = EVP_DigestVerify(context, ASN1_STRING_get0_data(signature),
                                        static_cast<std::size_t>(ASN1_STRING_length(signature)), input.data(),
                                        input.size());
    EVP_MD_CTX_free(context);
    ERR_clear_error();
    return result;
}

// Builds, signs and returns the final message.
Bytes signedMessage(const kivo::test::cms::Party& signer, const BuildOptions& options) {
    auto message = buildMessage(signer.der, options);
    if (message->getError() != 0) throw std::runtime_error("createSignedData failed");
    const std::size_t placeholderLength = message->getCb();
    const Bytes signature =
        signAttributes(signer.key.get(), *message->getSignerSignedAttributes(0), options.hashId, options.scheme == 1);
    if (!message->setSignerSignature(0, signature.data(), signature.size())) {
        throw std::runtime_error("setSignerSignature failed");
    }
    // The placeholder made the first encoding at least as long as the final one.
    if (message->getCb() > placeholderLength) throw std::runtime_error("message grew after signing");
    return bytesOf(*message);
}

// CMS_verify without a trust store; returns 1 on success and the content
// OpenSSL extracted.
int verify(const Bytes& der, const BuildOptions& options, Bytes* extracted) {
    CmsPtr cms = parse(der);
    if (!cms) return -1;
    BioPtr detached = options.attach ? nullptr : memoryBio(options.content);
    BioPtr out(BIO_new(BIO_s_mem()));
    const int result = CMS_verify(cms.get(), nullptr, nullptr, detached.get(), out.get(),
                                  CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY);
    ERR_clear_error();
    if (extracted != nullptr) *extracted = bioBytes(out.get());
    return result;
}

struct MatrixCase {
    KeyKind kind;
    bool attach;
    int mode;
    bool extras;
};

std::string caseName(const testing::TestParamInfo<MatrixCase>& info) {
    const MatrixCase& c = info.param;
    return std::string(kivo::test::keyKindName(c.kind)) + (c.attach ? "_attached" : "_detached") + "_mode" +
           std::to_string(c.mode) + (c.extras ? "_threeExtras" : "_noExtras");
}

std::vector<MatrixCase> matrix() {
    std::vector<MatrixCase> cases;
    for (const KeyKind kind : kivo::test::allKeyKinds()) {
        for (const bool attach : {true, false}) {
            for (const int mode : {0, 1, 5}) {
                for (const bool extras : {false, true}) cases.push_back({kind, attach, mode, extras});
            }
        }
    }
    return cases;
}

// A different hash per key kind, so that the matrix covers several.
int hashFor(KeyKind kind) {
    switch (kind) {
        case KeyKind::Rsa3072: return 3;
        case KeyKind::EcP384: return 2;
        default: return 1;
    }
}

class CmsOpenSsl : public testing::TestWithParam<MatrixCase> {};

}  // namespace

TEST_P(CmsOpenSsl, ParsesAndVerifies) {
    const MatrixCase& c = GetParam();
    const auto& signer = TestPki::instance().signer(c.kind);
    BuildOptions options;
    options.attach = c.attach;
    options.attributeMode = c.mode;
    options.extraCertificates = c.extras;
    options.hashId = hashFor(c.kind);
    options.scheme = c.kind == KeyKind::RsaPss2048 ? 1 : 0;
    options.content = kivo::test::randomBytes(1000 + static_cast<std::size_t>(c.mode), 17);

    // ---- the message with its placeholder signature, as OpenSSL reads it
    const auto placeholder = buildMessage(signer.der, options);
    ASSERT_EQ(placeholder->getError(), 0);
    const CmsPtr cms = parse(bytesOf(*placeholder));
    ASSERT_TRUE(cms) << "d2i_CMS_bio refused the message";
    EXPECT_EQ(OBJ_obj2nid(CMS_get0_type(cms.get())), NID_pkcs7_signed);
    EXPECT_EQ(OBJ_obj2nid(CMS_get0_eContentType(cms.get())), NID_pkcs7_data);
    EXPECT_EQ(CMS_is_detached(cms.get()), c.attach ? 0 : 1);
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    ASSERT_NE(content, nullptr);
    if (c.attach) {
        ASSERT_NE(*content, nullptr);
        EXPECT_EQ(Bytes(ASN1_STRING_get0_data(*content), ASN1_STRING_get0_data(*content) + ASN1_STRING_length(*content)),
                  options.content);
    } else {
        EXPECT_EQ(*content, nullptr);
    }

    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    ASSERT_EQ(sk_CMS_SignerInfo_num(signers), 1);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, 0);
    X509_ALGOR* digest = nullptr;
    X509_ALGOR* signature = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest, &signature);
    const ASN1_OBJECT* digestOid = nullptr;
    X509_ALGOR_get0(&digestOid, nullptr, nullptr, digest);
    EXPECT_EQ(textOf(digestOid), digestFor(options.hashId).oid);
    EXPECT_EQ(CMS_SignerInfo_cert_cmp(si, signer.cert.get()), 0);

    std::vector<std::string> attributes;
    for (int i = 0; i < CMS_signed_get_attr_count(si); ++i) {
        attributes.push_back(textOf(X509_ATTRIBUTE_get0_object(CMS_signed_get_attr(si, i))));
    }
    std::vector<std::string> expected{"1.2.840.113549.1.9.3"};
    if (c.mode != 1) expected.push_back("1.2.840.113549.1.9.5");
    if (c.mode != 5) {
        expected.push_back("1.2.840.113549.1.9.4");
        expected.push_back("1.2.840.113549.1.9.16.2.47");
    }
    EXPECT_EQ(attributes, expected);

    STACK_OF(X509)* certificates = CMS_get1_certs(cms.get());
    ASSERT_NE(certificates, nullptr);
    std::vector<Bytes> order{signer.der};
    if (c.extras) {
        for (const Bytes& extra : TestPki::instance().extraCertificates()) order.push_back(extra);
    }
    ASSERT_EQ(sk_X509_num(certificates), static_cast<int>(order.size()));
    for (int i = 0; i < sk_X509_num(certificates); ++i) {
        EXPECT_EQ(kivo::test::derOf(sk_X509_value(certificates, i)), order[static_cast<std::size_t>(i)]) << i;
    }
    sk_X509_pop_free(certificates, X509_free);

    // ---- signed, and verified by OpenSSL
    const Bytes final = signedMessage(signer, options);
    Bytes extracted;
    const int verified = verify(final, options, &extracted);
    if (c.mode == 5) {
        // Without messageDigest OpenSSL refuses the signed attributes (RFC
        // 5652 requires it); the signature over them still holds.
        EXPECT_EQ(verified, 0);
        const CmsPtr signedCms = parse(final);
        ASSERT_TRUE(signedCms);
        EXPECT_EQ(verifyAttributeSignature(signedCms.get(), signer.cert.get(), options.hashId, options.scheme == 1), 1);
    } else {
        EXPECT_EQ(verified, 1);
        EXPECT_EQ(extracted, options.content);
    }
}

INSTANTIATE_TEST_SUITE_P(CmsMatrix, CmsOpenSsl, testing::ValuesIn(matrix()), caseName);

TEST(CmsOpenSslAgreement, ChangedContentOrSignatureIsRejected) {
    const auto& signer = TestPki::instance().signer(KeyKind::EcP256);
    BuildOptions options;
    options.attach = false;
    Bytes final = signedMessage(signer, options);
    ASSERT_EQ(verify(final, options, nullptr), 1);

    BuildOptions otherContent = options;
    otherContent.content.back() ^= 1;
    EXPECT_EQ(verify(final, otherContent, nullptr), 0);

    // A signature over other attributes does not verify.
    auto message = buildMessage(signer.der, options);
    Bytes signature = signAttributes(signer.key.get(), *message->getSignerSignedAttributes(0), 1, false);
    signature[5] ^= 0x40;
    ASSERT_TRUE(message->setSignerSignature(0, signature.data(), signature.size()));
    EXPECT_EQ(verify(bytesOf(*message), options, nullptr), 0);
}

TEST(CmsOpenSslAgreement, CadesVerificationAcceptsTheSigningCertificateAttribute) {
    // With CMS_CADES OpenSSL checks the chain against the CA and the
    // signing-certificate-v2 attribute against the signer certificate.
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, TestPki::instance().ca().cert.get());
    for (const KeyKind kind : kivo::test::allKeyKinds()) {
        SCOPED_TRACE(kivo::test::keyKindName(kind));
        const auto& signer = TestPki::instance().signer(kind);
        BuildOptions options;
        options.scheme = kind == KeyKind::RsaPss2048 ? 1 : 0;
        options.useSigningTime = false;
        const Bytes final = signedMessage(signer, options);
        const CmsPtr cms = parse(final);
        ASSERT_TRUE(cms);
        BioPtr out(BIO_new(BIO_s_mem()));
        EXPECT_EQ(CMS_verify(cms.get(), nullptr, store, nullptr, out.get(), CMS_CADES | CMS_BINARY), 1);
        ERR_clear_error();

        // The attribute value names the signer certificate for OpenSSL's ESS code.
        auto message = buildMessage(signer.der, options);
        const auto* attribute = message->getSignerSignedAttributes(0)->find("1.2.840.113549.1.9.16.2.47");
        ASSERT_NE(attribute, nullptr);
        const unsigned char* p = attribute->attrValue()->getPb();
        ESS_SIGNING_CERT_V2* ess = d2i_ESS_SIGNING_CERT_V2(nullptr, &p, attribute->attrValue()->getCb());
        ASSERT_NE(ess, nullptr);
        STACK_OF(X509)* chain = sk_X509_new_null();
        sk_X509_push(chain, signer.cert.get());
        EXPECT_EQ(OSSL_ESS_check_signing_certs(nullptr, ess, chain, 1), 1);
        sk_X509_free(chain);
        ESS_SIGNING_CERT_V2_free(ess);
        ERR_clear_error();
    }
    X509_STORE_free(store);
}

TEST(CmsOpenSslAgreement, EveryHashIdVerifies) {
    for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::EcP256}) {
        for (const int hashId : {0, 1, 2, 3, 4, 5, 7}) {
            // ECDSA is only named for SHA-1 and SHA-2 (ids 0..3).
            if (kind == KeyKind::EcP256 && (hashId > 3)) continue;
            SCOPED_TRACE(std::string(kivo::test::keyKindName(kind)) + " hash " + std::to_string(hashId));
            BuildOptions options;
            options.hashId = hashId;
            const Bytes final = signedMessage(TestPki::instance().signer(kind), options);
            EXPECT_EQ(verify(final, options, nullptr), 1);
        }
    }
}

TEST(CmsOpenSslAgreement, PssWithAPlainRsaKeyAndSha384) {
    BuildOptions options;
    options.scheme = 1;
    options.hashId = 2;
    const auto& signer = TestPki::instance().signer(KeyKind::Rsa3072);
    const Bytes final = signedMessage(signer, options);
    EXPECT_EQ(verify(final, options, nullptr), 1);

    const CmsPtr cms = parse(final);
    X509_ALGOR* signature = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0), nullptr, nullptr, nullptr,
                             &signature);
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, signature);
    EXPECT_EQ(OBJ_obj2nid(algorithm), NID_rsassaPss);
}

TEST(CmsOpenSslAgreement, P521SignatureWithLongFormLengthsVerifies) {
    const auto& signer = TestPki::instance().extraSigner("P-521");
    for (const int hashId : {1, 3}) {
        BuildOptions options;
        options.hashId = hashId;
        const Bytes final = signedMessage(signer, options);
        EXPECT_EQ(verify(final, options, nullptr), 1) << hashId;

        // Our own reader gives OpenSSL's r and s back.
        const kivo::test::cms::HeapCopy copy(final);
        const CAsn1_Pkcs7 decoded(copy.data(), copy.size());
        ASSERT_EQ(decoded.getError(), 0);
        EXPECT_EQ(decoded.getSignerSignature(0, true)->content().size(), 132u);
    }
}

TEST(CmsOpenSslAgreement, CommandLineVerifiesADetachedSignature) {
    const auto& signer = TestPki::instance().signer(KeyKind::Rsa2048);
    BuildOptions options;
    options.attach = false;
    const Bytes final = signedMessage(signer, options);

    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("kivo-cms-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto write = [&](const char* name, const Bytes& bytes) {
        std::ofstream(folder / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                            static_cast<std::streamsize>(bytes.size()));
        return (folder / name).string();
    };
    const std::string message = write("message.p7s", final);
    const std::string content = write("content.bin", options.content);
    const auto result = kivo::test::runCommand("openssl cms -verify -inform DER -in " + message + " -content " +
                                               content + " -binary -noverify -out /dev/null 2>&1");
    EXPECT_EQ(result.status, 0) << result.output;
    std::filesystem::remove_all(folder);
}
