// The signature check (checks 0x01) of CVerifyMsg::CheckSignDetached:
// attached and detached content, undecodable input, and agreement with
// OpenSSL's CMS verification over signatures made by this library and by
// OpenSSL, intact and tampered.

#include "tests/verify/VerifyTestUtil.h"

#include "SignMessageSSLM.h"

#include <openssl/objects.h>

#include <algorithm>
#include <map>

namespace kivo::test::verify {
namespace {

// The CA and one signer per key kind, made once for this file.
const Party& signerOf(KeyKind kind) {
    static const Party ca = Certify("/O=Kivo Verify/CN=Signature CA").ca().make();
    static std::map<KeyKind, Party> signers;
    Party& party = signers[kind];
    if (!party.cert) {
        party = Certify(std::string("/O=Kivo Verify/CN=Signer ") + keyKindName(kind))
                    .issuer(ca).serial(0x500 + static_cast<long>(kind)).key(kind).make();
    }
    return party;
}

// A container made by CSignMessage::SignBlobSSL with the key from a PKCS#12 file.
Bytes librarySign(const TempDir& dir, KeyKind kind, const Bytes& content, bool embed) {
    const Party& signer = signerOf(kind);
    const std::string p12 = dir.file(std::string(keyKindName(kind)) + ".p12");
    writePkcs12(p12, signer.key.get(), signer.cert.get(), "kivo-verify-p12");
    unsigned long* key = CSignMessage::OpenSSLKey_P12(p12.c_str(), "kivo-verify-p12", nullptr, 0, 0, nullptr);
    if (key == nullptr) throw std::runtime_error("OpenSSLKey_P12 refused " + p12);
    Bytes data = content, out(64 * 1024);
    unsigned long written = 0;
    const int result = CSignMessage::SignBlobSSL(data.data(), static_cast<int>(data.size()), out.data(), &written,
                                                 nullptr, signer.cert.get(), key, 1, embed, nullptr, 0);
    CSignMessage::CloseSSLKey(key);
    if (result != 0) throw std::runtime_error("SignBlobSSL failed: " + std::to_string(result));
    out.resize(written);
    return out;
}

CMS_SignerInfo* firstSigner(const CmsPtr& cms) {
    STACK_OF(CMS_SignerInfo)* signers = cms ? CMS_get0_SignerInfos(cms.get()) : nullptr;
    if (sk_CMS_SignerInfo_num(signers) < 1) throw std::runtime_error("no signer");
    return sk_CMS_SignerInfo_value(signers, 0);
}

// `der` with one byte changed inside the only occurrence of `value`, at
// `offset` from its start (negative: from its end).
Bytes changedInside(Bytes der, const ASN1_STRING* value, long offset) {
    if (value == nullptr) throw std::runtime_error("nothing to change");
    const unsigned char* text = ASN1_STRING_get0_data(value);
    const Bytes needle(text, text + ASN1_STRING_length(value));
    const auto first = std::search(der.begin(), der.end(), needle.begin(), needle.end());
    if (first == der.end() || std::search(first + 1, der.end(), needle.begin(), needle.end()) != der.end()) {
        throw std::runtime_error("the value is not found exactly once");
    }
    unsigned char& octet = *(offset >= 0 ? first + offset : first + static_cast<long>(needle.size()) + offset);
    octet = octet == '9' ? '0' : static_cast<unsigned char>(octet ^ 0x01);
    return der;
}

struct Variant {
    const char* name;
    Bytes signature, content;
};

CMS_SignerInfo* firstSigner(const Bytes& signature, CmsPtr& cms) {
    BioPtr in = memoryBio(signature);
    cms.reset(d2i_CMS_bio(in.get(), nullptr));
    return firstSigner(cms);
}

Bytes signatureValueFlipped(const Bytes& signature) {
    CmsPtr cms;
    const ASN1_STRING* value = CMS_SignerInfo_get0_signature(firstSigner(signature, cms));
    return changedInside(signature, value, ASN1_STRING_length(value) / 2);
}

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
    unsigned int verifyDetached(const Bytes& signature, const Bytes& content) const {
        return Verification(signature).content(content).checks(0x01).run();
    }
    const Bytes m_content = randomBytes(2500, 61);
};

TEST_F(SignatureTest, ContentAndContainerCases) {
    const Party& ec = signerOf(KeyKind::EcP256);
    const Party& rsa = signerOf(KeyKind::Rsa2048);
    const Bytes attached = cmsSign(ec, m_content, attachedContent());
    const Bytes detached = cmsSign(ec, m_content);
    const Bytes emptySigned = cmsSign(rsa, {});
    const Bytes garbage = randomBytes(400, 9);
    const Bytes changed = randomBytes(2500, 62);
    const Bytes truncated(detached.begin(), detached.begin() + static_cast<long>(detached.size() / 2));
    const Bytes withoutCertificate = [&] {
        BioPtr data = memoryBio(m_content), out(BIO_new(BIO_s_mem()));
        CmsPtr cms(CMS_sign(ec.cert.get(), ec.key.get(), nullptr, data.get(), CMS_BINARY | CMS_DETACHED | CMS_NOCERTS));
        return cms && i2d_CMS_bio(out.get(), cms.get()) == 1 ? bioBytes(out.get()) : Bytes{};
    }();
    const Bytes twoSigners = [&] {
        const unsigned int flags = CMS_BINARY | CMS_DETACHED | CMS_PARTIAL;
        CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
        CMS_add1_signer(cms.get(), ec.cert.get(), ec.key.get(), EVP_sha256(), flags);
        CMS_add1_signer(cms.get(), rsa.cert.get(), rsa.key.get(), EVP_sha384(), flags);
        BioPtr data = memoryBio(m_content), out(BIO_new(BIO_s_mem()));
        return CMS_final(cms.get(), data.get(), nullptr, flags) == 1 && i2d_CMS_bio(out.get(), cms.get()) == 1
                   ? bioBytes(out.get()) : Bytes{};
    }();
    ASSERT_TRUE(cmsVerifies(twoSigners, &m_content));
    const Bytes twoSignersFirstBroken = signatureValueFlipped(twoSigners);
    struct Case {
        const char* what;
        Verification call;
        unsigned int expected;
    } cases[] = {
        {"no checks: whatever the input", Verification(garbage).content(garbage), kValid},
        {"no checks, unknown bits: null input", Verification().checks(0x22).crl(0x0F, std::nullopt), kValid},
        {"attached", Verification(attached).attached().checks(1), kValid},
        {"attached, given content counts", Verification(attached).content(m_content).checks(1), kValid},
        {"attached, other content given", Verification(attached).content(changed).checks(1), kBadSignature},
        {"attached, no content: empty", Verification(attached).checks(1), kBadSignature},
        {"detached", Verification(detached).content(m_content).checks(1), kValid},
        {"detached, changed content", Verification(detached).content(changed).checks(1), kBadSignature},
        {"detached checked as attached", Verification(detached).attached().checks(1), kBadSignature},
        {"detached, empty content", Verification(detached).content({}).checks(1), kBadSignature},
        {"empty content signed", Verification(emptySigned).content({}).checks(1), kValid},
        {"empty content signed, no content", Verification(emptySigned).checks(1), kValid},
        {"empty content signed, one octet", Verification(emptySigned).content({0}).checks(1), kBadSignature},
        {"no signer certificate", Verification(withoutCertificate).content(m_content).checks(1), kBadSignature},
        {"two signers, two digests", Verification(twoSigners).content(m_content).checks(1), kValid},
        {"two signers, first broken", Verification(twoSignersFirstBroken).content(m_content).checks(1), kBadSignature},
        {"null signature", Verification().content(m_content).checks(1), kBadSignature},
        {"garbage", Verification(garbage).content(m_content).checks(1), kBadSignature},
        // Without a signer certificate every requested check fails.
        {"truncated, every check",
         Verification(truncated).content(m_content).checks(0x1D).crl(0x04, m_empty).at(m_now).trust(m_dir.file("ca.pem")),
         kBadSignature | kNoTrustedChain | kSignerNotValid},
    };
    for (const Case& c : cases) EXPECT_EQ(c.call.run(), c.expected) << c.what;
    // A null pointer with a length is no content that could match.
    CVerifyMsg verifier;
    Bytes der = detached;
    EXPECT_EQ(static_cast<unsigned int>(verifier.CheckSignDetached(der.data(), der.size(), 0, nullptr, 10, 0x01, 0,
                                                                   nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr)),
              kBadSignature);
}

class AgreementTest : public SignatureTest, public ::testing::WithParamInterface<KeyKind> {};

// Our verdict against OpenSSL's CMS verification; intact signatures pass,
// tampered ones fail. An rsaEncryption key with PSS padding verifies only
// in OpenSSL's CMS code, not its PKCS#7 code: the CMS verdict decides.
TEST_P(AgreementTest, WithOpenSsl) {
    const KeyKind kind = GetParam();
    CmsOptions pss;
    pss.pss = kind == KeyKind::RsaPss2048 || kind == KeyKind::Rsa2048;
    const Bytes attached = librarySign(m_dir, kind, m_content, true);
    const std::pair<const char*, Bytes> producers[] = {{"SignBlobSSL", librarySign(m_dir, kind, m_content, false)},
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

}  // namespace
}  // namespace kivo::test::verify
