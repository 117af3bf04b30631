// Agreement with OpenSSL: messages from createSignedData parse with
// OpenSSL's CMS decoder with the same content, and after
// setSignerSignature with a signature OpenSSL computed over the signed
// attributes, CMS_verify accepts them.

#include "tests/asn1/CmsTestUtil.h"

#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <gtest/gtest.h>

using namespace kivo::test::cms;
using kivo::test::KeyKind;

namespace {

const EVP_MD* digestFor(int hashId) {
    const EVP_MD* digests[] = {EVP_sha1(), EVP_sha256(), EVP_sha384(), EVP_sha512(), EVP_ripemd160(), EVP_md5()};
    return hashId >= 0 && hashId < 6 ? digests[hashId] : EVP_sha256();
}

std::string textOf(const ASN1_OBJECT* object) {
    char text[128];
    OBJ_obj2txt(text, sizeof text, object, 1);
    return text;
}

CmsPtr parse(const Bytes& der) { return CmsPtr(d2i_CMS_bio(memoryBio(der).get(), nullptr)); }

// OpenSSL's signature over the signed attributes of `message` as signed (the
// first octet A0 made 31), RSASSA-PSS with a salt of the digest's length
// when `pss`; ECDSA signatures turned into r‖s of two halves of the key size.
Bytes opensslSignature(EVP_PKEY* key, int hashId, bool pss, const CAsn1_Pkcs7& message) {
    Bytes input = bytesOf(*message.getSignerSignedAttributes(0));
    input.at(0) = 0x31;
    const EVP_MD* md = digestFor(hashId);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_PKEY_CTX* keyContext = nullptr;
    std::size_t length = 0;
    if (EVP_DigestSignInit(context.get(), &keyContext, md, nullptr, key) != 1 ||
        (pss && (EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PSS_PADDING) != 1 ||
                 EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext, EVP_MD_get_size(md)) != 1)) ||
        EVP_DigestSign(context.get(), nullptr, &length, input.data(), input.size()) != 1) {
        throw std::runtime_error("signature context setup failed");
    }
    Bytes der(length);
    if (EVP_DigestSign(context.get(), der.data(), &length, input.data(), input.size()) != 1) throw std::runtime_error("sign");
    der.resize(length);
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return der;
    const int half = (EVP_PKEY_get_bits(key) + 7) / 8;
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, long(der.size()));
    Bytes raw(2 * std::size_t(half));
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw.data(), half);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw.data() + half, half);
    ECDSA_SIG_free(sig);
    return raw;
}

}  // namespace

TEST(CmsOpenSslAgreement, MessagesParseWithTheSameContentAndVerify) {
    auto& pki = TestPki::instance();
    const std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
    X509_STORE_add_cert(store.get(), pki.ca().cert.get());
    const struct {
        const Party& signer;
        int scheme, hashId, mode;
        bool attach;
    } cases[] = {
        {pki.signer(KeyKind::Rsa2048), 0, 1, 0, true},    {pki.signer(KeyKind::Rsa2048), 0, 0, 1, false},
        {pki.signer(KeyKind::Rsa2048), 0, 4, 0, false},   {pki.signer(KeyKind::Rsa2048), 0, 5, 1, true},
        {pki.signer(KeyKind::Rsa2048), 0, 7, 0, true},    {pki.signer(KeyKind::Rsa3072), 0, 3, 1, true},
        {pki.signer(KeyKind::Rsa3072), 1, 2, 0, false},  // PSS with a plain RSA key
        {pki.signer(KeyKind::RsaPss2048), 1, 1, 0, true}, {pki.signer(KeyKind::EcP256), 0, 0, 0, false},
        {pki.signer(KeyKind::EcP256), 0, 3, 1, true},     {pki.signer(KeyKind::EcP384), 0, 2, 0, true},
        {pki.extraSigner("P-521"), 0, 3, 0, false},       // long-form lengths
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(EVP_PKEY_get0_type_name(c.signer.key.get())) + " hash " + std::to_string(c.hashId) +
                     " mode " + std::to_string(c.mode) + (c.attach ? " attached" : " detached"));
        BuildOptions options;
        options.scheme = c.scheme;
        options.hashId = c.hashId;
        options.attributeMode = c.mode;
        options.attach = c.attach;
        options.extraCertificates = c.mode == 0;
        options.content = kivo::test::randomBytes(1000, 17);
        // The message with its placeholder signature, as OpenSSL reads it.
        const CmsPtr cms = parse(bytesOf(*buildMessage(c.signer.der, options)));
        ASSERT_TRUE(cms) << "d2i_CMS_bio refused the message";
        EXPECT_EQ(OBJ_obj2nid(CMS_get0_eContentType(cms.get())), NID_pkcs7_data);
        const ASN1_OCTET_STRING* content = *CMS_get0_content(cms.get());
        const unsigned char* octets = content == nullptr ? nullptr : ASN1_STRING_get0_data(content);
        EXPECT_EQ(Bytes(octets, octets + (content == nullptr ? 0 : ASN1_STRING_length(content))),
                  c.attach ? options.content : Bytes{});
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
        X509_ALGOR* digest = nullptr;
        CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest, nullptr);
        EXPECT_EQ(OBJ_obj2nid(digest->algorithm), EVP_MD_get_type(digestFor(options.hashId)));
        EXPECT_EQ(CMS_SignerInfo_cert_cmp(si, c.signer.cert.get()), 0);
        std::vector<std::string> attributes;
        for (int i = 0; i < CMS_signed_get_attr_count(si); ++i) {
            attributes.push_back(textOf(X509_ATTRIBUTE_get0_object(CMS_signed_get_attr(si, i))));
        }
        std::vector<std::string> expected{"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.5", "1.2.840.113549.1.9.4",
                                          "1.2.840.113549.1.9.16.2.47"};
        if (c.mode == 1) expected.erase(expected.begin() + 1);  // no signing time
        EXPECT_EQ(attributes, expected);
        STACK_OF(X509)* certificates = CMS_get1_certs(cms.get());
        std::vector<Bytes> carried;
        for (int i = 0; i < sk_X509_num(certificates); ++i) carried.push_back(kivo::test::derOf(sk_X509_value(certificates, i)));
        sk_X509_pop_free(certificates, X509_free);
        std::vector<Bytes> order{c.signer.der};
        if (options.extraCertificates) order.insert(order.end(), pki.extraCertificates().begin(), pki.extraCertificates().end());
        EXPECT_EQ(carried, order);
        // Signed (the placeholder made the first encoding at least as long as
        // the final one), and verified by OpenSSL with the test CA as trust
        // anchor and CAdES checks, which take in the signing-certificate-v2
        // attribute.
        const auto message = buildMessage(c.signer.der, options);
        const std::size_t placeholderLength = message->getCb();
        const Bytes signature = opensslSignature(c.signer.key.get(), c.hashId, c.scheme == 1, *message);
        ASSERT_TRUE(message->setSignerSignature(0, signature.data(), signature.size()));
        EXPECT_LE(message->getCb(), placeholderLength);
        const CmsPtr signedCms = parse(bytesOf(*message));
        BioPtr detached = c.attach ? nullptr : memoryBio(options.content);
        BioPtr out(BIO_new(BIO_s_mem()));
        EXPECT_EQ(CMS_verify(signedCms.get(), nullptr, store.get(), detached.get(), out.get(), CMS_CADES | CMS_BINARY), 1);
        ERR_clear_error();
        EXPECT_EQ(bioBytes(out.get()), options.content);
    }
}
