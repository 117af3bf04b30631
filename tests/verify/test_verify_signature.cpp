// The signature checks of CVerifyMsg: CheckSignDetached (checks 0x01) on
// attached, detached and undecodable input, in agreement with OpenSSL's CMS
// verification, intact and tampered; CheckSignPKCS1Detached on bare RSA
// PKCS#1 v1.5 signatures.

#include "tests/verify/VerifyTestUtil.h"

#include "SignMessageSSLM.h"

#include <openssl/objects.h>

#include <algorithm>
#include <map>

namespace kivo::test::verify {
namespace {

// One signer per key kind under one CA, made once.
const Party& signerOf(KeyKind kind) {
    static const Party ca = Certify("/CN=Signature CA").ca().make();
    static std::map<KeyKind, Party> signers;
    Party& party = signers[kind];
    // Distinct serials: a signer is named by issuer and serial.
    if (!party.cert) {
        party = Certify(std::string("/CN=Signer ") + keyKindName(kind)).issuer(ca).serial(0x500 + static_cast<long>(kind)).key(kind).make();
    }
    return party;
}

// A CMS container by CSignMessage::SignBlobSSL (SHA-256) with the signer's key from a PKCS#12 file.
Bytes librarySign(KeyKind kind, const Bytes& content, bool embed) {
    const Party& signer = signerOf(kind);
    TempDir dir;
    writePkcs12(dir.file("key.p12"), signer.key.get(), signer.cert.get(), "kivo-verify-p12");
    unsigned long* key = CSignMessage::OpenSSLKey_P12(dir.file("key.p12").c_str(), "kivo-verify-p12", nullptr, 0, 0, nullptr);
    Bytes data = content, out(64 * 1024);
    unsigned long written = 0;
    const int result = key == nullptr ? -1
                                      : CSignMessage::SignBlobSSL(data.data(), static_cast<int>(data.size()), out.data(),
                                                                  &written, nullptr, signer.cert.get(), key, 1, embed, nullptr, 0);
    CSignMessage::CloseSSLKey(key);
    if (result != 0) throw std::runtime_error("CSignMessage failed: " + std::to_string(result));
    out.resize(written);
    return out;
}

CMS_SignerInfo* firstSigner(const Bytes& signature, CmsPtr& cms) {
    BioPtr in = memoryBio(signature);
    cms.reset(d2i_CMS_bio(in.get(), nullptr));
    STACK_OF(CMS_SignerInfo)* signers = cms ? CMS_get0_SignerInfos(cms.get()) : nullptr;
    if (sk_CMS_SignerInfo_num(signers) < 1) throw std::runtime_error("no signer");
    return sk_CMS_SignerInfo_value(signers, 0);
}

// `der` with one octet changed inside the only occurrence of `value`, at
// `offset` from its start (negative: from its end); a digit stays a digit.
Bytes changedInside(Bytes der, const ASN1_STRING* value, long offset) {
    if (value == nullptr) throw std::runtime_error("nothing to change");
    const Bytes needle(ASN1_STRING_get0_data(value), ASN1_STRING_get0_data(value) + ASN1_STRING_length(value));
    const auto first = std::search(der.begin(), der.end(), needle.begin(), needle.end());
    if (first == der.end() || std::search(first + 1, der.end(), needle.begin(), needle.end()) != der.end()) {
        throw std::runtime_error("the value is not found exactly once");
    }
    unsigned char& octet = *(first + (offset >= 0 ? offset : static_cast<long>(needle.size()) + offset));
    octet = octet == '9' ? '0' : static_cast<unsigned char>(octet ^ 0x01);
    return der;
}

Bytes signatureValueFlipped(const Bytes& signature) {
    CmsPtr cms;
    const ASN1_STRING* value = CMS_SignerInfo_get0_signature(firstSigner(signature, cms));
    return changedInside(signature, value, ASN1_STRING_length(value) / 2);
}

struct Variant {
    const char* name;
    Bytes signature, content;
};

std::vector<Variant> variantsOf(const Bytes& signature, const Bytes& content) {
    CmsPtr cms;
    CMS_SignerInfo* signer = firstSigner(signature, cms);
    auto attribute = [&](int nid, int type) {
        return static_cast<ASN1_STRING*>(CMS_signed_get0_data_by_OBJ(signer, OBJ_nid2obj(nid), -3, type));
    };
    Bytes changed = content;
    changed[changed.size() / 2] ^= 0x01;
    return {{"intact", signature, content},
            {"content byte flipped", signature, changed},
            {"signature value byte flipped", signatureValueFlipped(signature), content},
            {"messageDigest byte flipped",
             changedInside(signature, attribute(NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING), -1), content},
            // The seconds of the UTCTime: still well formed, no longer covered.
            {"signingTime changed", changedInside(signature, attribute(NID_pkcs9_signingTime, V_ASN1_UTCTIME), 11),
             content}};
}

class SignatureTest : public VerifyTest {
protected:
    const Bytes m_content = randomBytes(2500, 61);
};

TEST_F(SignatureTest, ContentAndContainerCases) {
    const Party& ec = signerOf(KeyKind::EcP256);
    const Party& rsa = signerOf(KeyKind::Rsa2048);
    const Bytes attached = cmsSign(ec, m_content, {.attached = true}), detached = cmsSign(ec, m_content);
    const Bytes emptySigned = cmsSign(rsa, {}), changed = randomBytes(2500, 62);
    const Bytes truncated(detached.begin(), detached.begin() + static_cast<long>(detached.size() / 2));
    BioPtr data = memoryBio(m_content);
    const CmsPtr noCertificates(
        CMS_sign(ec.cert.get(), ec.key.get(), nullptr, data.get(), CMS_BINARY | CMS_DETACHED | CMS_NOCERTS));
    const unsigned int flags = CMS_BINARY | CMS_DETACHED | CMS_PARTIAL;
    const CmsPtr twoSigners(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    CMS_add1_signer(twoSigners.get(), ec.cert.get(), ec.key.get(), EVP_sha256(), flags);
    CMS_add1_signer(twoSigners.get(), rsa.cert.get(), rsa.key.get(), EVP_sha384(), flags);
    data = memoryBio(m_content);
    ASSERT_EQ(CMS_final(twoSigners.get(), data.get(), nullptr, flags), 1);
    const Bytes both = derOf(twoSigners.get());
    ASSERT_TRUE(cmsVerifies(both, &m_content));
    struct Case { const char* what; Verification call; unsigned int expected; } cases[] = {
        {"no checks, unknown bits: null input", Verification().checks(0x22).crl(0x0F, std::nullopt), kValid},
        {"attached, given content counts", Verification(attached).content(m_content).checks(1), kValid},
        {"attached, other content given", Verification(attached).content(changed).checks(1), kBadSignature},
        {"attached, no content: empty", Verification(attached).checks(1), kBadSignature},
        {"detached checked as attached", Verification(detached).attached().checks(1), kBadSignature},
        {"detached, empty content", Verification(detached).content({}).checks(1), kBadSignature},
        {"empty content signed", Verification(emptySigned).content({}).checks(1), kValid},
        {"empty content signed, no content", Verification(emptySigned).checks(1), kValid},
        {"empty content signed, one octet", Verification(emptySigned).content({0}).checks(1), kBadSignature},
        {"no signer certificate", Verification(derOf(noCertificates.get())).content(m_content).checks(1), kBadSignature},
        {"two signers, two digests", Verification(both).content(m_content).checks(1), kValid},
        {"two signers, first broken", Verification(signatureValueFlipped(both)).content(m_content).checks(1),
         kBadSignature},
        {"null signature", Verification().content(m_content).checks(1), kBadSignature}};
    for (const Case& c : cases) EXPECT_EQ(c.call.run(), c.expected) << c.what;
    // Without a signer certificate the signature check fails; the default rules set no other bit (no certificate to
    // judge), the strict ones fail every requested check; OCSP finds no issuer either way.
    for (const bool strict : {false, true}) {
        ScopedStrictPolicy policy(strict);
        for (const Bytes& der : {truncated, derOf(noCertificates.get())}) {
            const Verification every = Verification(der).content(m_content).checks(0x1D).at(m_now).trust(m_dir.file("ca.pem"));
            EXPECT_EQ(Verification(every).crl(0x04, m_empty).run(), strict ? kBadSignature | kNoTrustedChain | kSignerNotValid : kBadSignature) << strict;
            EXPECT_EQ(Verification(every).crl(0x01, std::nullopt).run(), strict ? kBadSignature | kNoTrustedChain | kSignerNotValid : kBadSignature) << strict;
            EXPECT_EQ(Verification(every).checks(0x11).crl(0x08, std::nullopt).run(), kBadSignature | kNoTrustedChain) << strict;
        }
    }
    Bytes der = detached;
    EXPECT_EQ(static_cast<unsigned int>(CVerifyMsg().CheckSignDetached(der.data(), der.size(), 0, nullptr, 10, 0x01, 0,
                                                                        nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr)),
              kBadSignature) << "a null content pointer with a length";
}

class AgreementTest : public SignatureTest, public ::testing::WithParamInterface<KeyKind> {};

// Our verdict against OpenSSL's CMS verification; intact signatures pass,
// tampered ones fail. An rsaEncryption key with PSS padding verifies only
// in OpenSSL's CMS code, not its PKCS#7 code: the CMS verdict decides.
TEST_P(AgreementTest, WithOpenSsl) {
    const KeyKind kind = GetParam();
    const CmsOptions pss{.pss = kind == KeyKind::RsaPss2048 || kind == KeyKind::Rsa2048};
    const Bytes attached = librarySign(kind, m_content, true);
    const std::pair<const char*, Bytes> producers[] = {{"SignBlobSSL", librarySign(kind, m_content, false)},
                                                       {"SignBlobSSL attached", attached},
                                                       {"CMS_sign", cmsSign(signerOf(kind), m_content, pss)}};
    for (const auto& [producer, signature] : producers) {
        for (const Variant& variant : variantsOf(signature, m_content)) {
            SCOPED_TRACE(std::string(producer) + ", " + variant.name);
            const bool intact = std::string(variant.name) == "intact";
            const bool isAttached = signature == attached;
            if (isAttached && variant.signature == attached && !intact) continue;  // only the container counts
            Verification call(variant.signature);
            isAttached ? call.attached() : call.content(variant.content);
            EXPECT_EQ(call.checks(1).run(), intact ? kValid : kBadSignature);
            EXPECT_EQ(cmsVerifies(variant.signature, isAttached ? nullptr : &variant.content), intact);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(KeyKinds, AgreementTest, ::testing::ValuesIn(allKeyKinds()),
                         [](const auto& info) { return std::string(keyKindName(info.param)); });

// EVP_DigestSign with the DigestInfo of `md`; without one, PKCS#1 v1.5
// padding around `data` as it is.
Bytes pkcs1Sign(const Party& signer, const EVP_MD* md, const Bytes& data) {
    EVP_MD_CTX* digest = EVP_MD_CTX_new();
    EVP_PKEY_CTX* raw = EVP_PKEY_CTX_new(signer.key.get(), nullptr);
    std::size_t length = 1024;
    Bytes signature(length);
    const bool ok = md != nullptr ? EVP_DigestSignInit(digest, nullptr, md, nullptr, signer.key.get()) == 1 &&
                                        EVP_DigestSign(digest, signature.data(), &length, data.data(), data.size()) == 1
                                  : EVP_PKEY_sign_init(raw) == 1 && EVP_PKEY_CTX_set_rsa_padding(raw, RSA_PKCS1_PADDING) == 1 &&
                                        EVP_PKEY_sign(raw, signature.data(), &length, data.data(), data.size()) == 1;
    EVP_MD_CTX_free(digest);
    EVP_PKEY_CTX_free(raw);
    if (!ok) throw std::runtime_error("cannot sign");
    signature.resize(length);
    return signature;
}

// CheckSignPKCS1Detached, with null pointers for what is missing (the
// lengths then as given); the error text is emptied and nothing more.
unsigned int pkcs1Check(std::optional<Bytes> signature, std::optional<Bytes> certificate, std::optional<Bytes> data,
                        std::size_t dataLength) {
    char errorText[16] = "untouched";
    if (data) data->push_back(0);  // a pointer also for empty data
    const int result = CVerifyMsg().CheckSignPKCS1Detached(
        signature ? signature->data() : nullptr, signature ? signature->size() : 256,
        certificate ? certificate->data() : nullptr, certificate ? certificate->size() : 500,
        data ? data->data() : nullptr, static_cast<unsigned int>(dataLength), 7, 8, nullptr, errorText, nullptr, 0, 0,
        nullptr, nullptr);
    EXPECT_TRUE(errorText[0] == '\0' && std::string(errorText + 1) == "ntouched");
    return static_cast<unsigned int>(result);
}

TEST(Pkcs1Test, SignaturesAndKeys) {
    const Party &rsa = signerOf(KeyKind::Rsa2048), &rsa3072 = signerOf(KeyKind::Rsa3072), &pss = signerOf(KeyKind::RsaPss2048);
    const Bytes data = randomBytes(1500, 37), changed = randomBytes(1500, 38);
    for (const EVP_MD* md : {EVP_sha1(), EVP_sha256(), EVP_sha384(), EVP_sha512(), EVP_md5(), EVP_ripemd160()}) {
        SCOPED_TRACE(EVP_MD_get0_name(md));
        const Bytes signature = pkcs1Sign(rsa3072, md, data);
        EXPECT_EQ(pkcs1Check(signature, rsa3072.der, data, data.size()), kValid);
        EXPECT_EQ(pkcs1Check(signature, rsa3072.der, changed, changed.size()), kBadSignature);
    }
    const Bytes signature = pkcs1Sign(rsa, EVP_sha256(), data), emptySigned = pkcs1Sign(rsa, EVP_sha256(), {});
    Bytes flipped = signature;
    flipped[flipped.size() / 2] ^= 0x01;
    const Bytes garbage = randomBytes(300, 2);
    const std::optional<Bytes> none;
    const struct { const char* what; std::optional<Bytes> signature, certificate, data; std::size_t length;
        unsigned int expected; } cases[] = {
        {"empty data", emptySigned, rsa.der, Bytes{}, 0, kValid},
        {"empty data signed, one octet given", emptySigned, rsa.der, Bytes{0}, 1, kBadSignature},
        // A block without DigestInfo is read as a SHA-1 hash, and only as one.
        {"bare SHA-1", pkcs1Sign(rsa, nullptr, opensslDigest("SHA1", data.data(), data.size())), rsa.der, data, 1500, kValid},
        {"bare SHA-256", pkcs1Sign(rsa, nullptr, opensslDigest("SHA256", data.data(), data.size())), rsa.der, data, 1500,
         kBadSignature},
        {"another RSA key", signature, rsa3072.der, data, 1500, kBadSignature},
        {"not an RSA key", signature, signerOf(KeyKind::EcP256).der, data, 1500, kBadSignature},
        {"an RSASSA-PSS key", pkcs1Sign(pss, EVP_sha256(), data), pss.der, data, 1500, kBadSignature},
        {"a byte flipped", flipped, rsa.der, data, 1500, kBadSignature},
        {"an octet short", Bytes(signature.begin(), signature.end() - 1), rsa.der, data, 1500, kBadSignature},
        {"not a certificate", signature, garbage, data, 1500, kBadSignature},
        {"a null data pointer with length 0", emptySigned, rsa.der, none, 0, kValid},
        {"a null data pointer with a length", emptySigned, rsa.der, none, 5, kBadSignature},
        {"no signature", none, rsa.der, data, 1500, kBadSignature},
        {"no certificate", signature, none, data, 1500, kBadSignature}};
    for (const auto& c : cases) EXPECT_EQ(pkcs1Check(c.signature, c.certificate, c.data, c.length), c.expected) << c.what;
}

}  // namespace
}  // namespace kivo::test::verify
