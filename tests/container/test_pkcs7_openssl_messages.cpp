// Every inspection member on messages that OpenSSL made (CMS_sign and
// PKCS7_sign; with and without signed attributes; attached and detached;
// RSA, RSASSA-PSS and EC keys) and on messages of the library's own
// builder (signed here), each answer compared with what OpenSSL's own
// decoder says about the same message.

#include "tests/support/ContainerTestUtil.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>

using namespace kivo::test::container;
using kivo::test::KeyKind;

namespace {

enum class Source { Cms, Pkcs7, Builder };  // CMS_sign, PKCS7_sign, createSignedData

struct MessageCase {
    KeyKind kind;
    Source source;
    bool attributes;  // signed attributes, else NOATTR
    bool attached;
    bool extras;      // two further certificates in the set
};

std::string caseName(const testing::TestParamInfo<MessageCase>& info) {
    const MessageCase& c = info.param;
    const char* source = c.source == Source::Cms ? "_cms" : c.source == Source::Pkcs7 ? "_pkcs7" : "_builder";
    std::string name = std::string(kivo::test::keyKindName(c.kind)) + source +
                       (c.attributes ? "_attrs" : "_noattrs") + (c.attached ? "_attached" : "_detached") +
                       (c.extras ? "_extras" : "");
    for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return name;
}

std::vector<MessageCase> cases() {
    std::vector<MessageCase> all;
    // RSASSA-PSS: see Pkcs7InspectRsaPss (CMS_sign labels a PSS key's
    // signature rsaEncryption, which OpenSSL's own CMS_verify refuses).
    for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::EcP256, KeyKind::EcP384}) {
        for (const Source source : {Source::Cms, Source::Pkcs7}) {
            for (const bool attributes : {true, false}) {
                for (const bool attached : {true, false}) {
                    all.push_back({kind, source, attributes, attached, source == Source::Cms && attached});
                }
            }
        }
        all.push_back({kind, Source::Builder, true, false, false});
        if (kind != KeyKind::EcP384) all.push_back({kind, Source::Builder, true, true, false});
    }
    all.push_back({KeyKind::Rsa3072, Source::Builder, true, false, false});
    return all;
}

const Bytes kContent = {'K', 'i', 'v', 'o', ' ', 'i', 'n', 's', 'p', 'e', 'c', 't', 's', ' ', 'i', 't'};

class Pkcs7InspectOpenSslMessage : public testing::TestWithParam<MessageCase> {
protected:
    void SetUp() override {
        const MessageCase& c = GetParam();
        auto& pki = TestPki::instance();
        signer_ = &pki.signer(c.kind);
        if (c.source == Source::Builder) {
            kivo::test::cms::BuildOptions options;
            options.attach = c.attached;
            options.content = kContent;
            options.useSigningTime = false;  // now
            der_ = signedBuilderMessage(*signer_, options);
        } else if (c.source == Source::Cms) {
            unsigned flags = (c.attributes ? 0u : CMS_NOATTR) | (c.attached ? 0u : CMS_DETACHED);
            std::vector<const Party*> extras;
            if (c.extras) extras = {&pki.ca(), &pki.signer(KeyKind::EcP256 == c.kind ? KeyKind::Rsa2048 : KeyKind::EcP256)};
            der_ = cmsSigned(*signer_, kContent, flags, extras);
        } else {
            const int flags = (c.attributes ? 0 : PKCS7_NOATTR) | (c.attached ? 0 : PKCS7_DETACHED);
            der_ = pkcs7Signed(*signer_, kContent, flags);
        }
        cms_ = parseCms(der_);
        ASSERT_TRUE(cms_);
        signerInfo_ = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms_.get()), 0);
        ASSERT_NE(signerInfo_, nullptr);
    }

    unsigned char* input() { return copy_.emplace(der_), mutableData(*copy_); }
    unsigned long length() const { return static_cast<unsigned long>(der_.size()); }
    bool rsaV15() const { return GetParam().kind == KeyKind::Rsa2048 || GetParam().kind == KeyKind::Rsa3072; }
    bool ec() const { return GetParam().kind == KeyKind::EcP256 || GetParam().kind == KeyKind::EcP384; }

    const Party* signer_ = nullptr;
    Bytes der_;
    CmsPtr cms_;
    CMS_SignerInfo* signerInfo_ = nullptr;
    std::optional<kivo::test::cms::HeapCopy> copy_;
};

TEST_P(Pkcs7InspectOpenSslMessage, CertificatesAsOpenSslPairsAndListsThem) {
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(input(), length()), 1);
    for (const CallerBufferMember member : {&CPKCS7SSL::GetSignerCert, &CPKCS7SSL::GetSignerCertEx}) {
        const Output cert = callIndexed(member, der_, 0);
        ASSERT_EQ(cert.result, 0);
        EXPECT_EQ(cert.written(), signer_->der);
        // Index equal to the number of signers, and a negative one.
        for (const int index : {1, -1}) {
            const Output none = callIndexed(member, der_, index);
            EXPECT_EQ(none.result, -22);
            EXPECT_TRUE(none.untouched());
        }
    }

    STACK_OF(X509)* certs = CMS_get1_certs(cms_.get());
    ASSERT_NE(certs, nullptr);
    const int count = sk_X509_num(certs);
    EXPECT_EQ(count, GetParam().extras ? 3 : 1);
    EXPECT_EQ(CPKCS7SSL::GetNCertNum(input(), length()), count);
    for (int i = 0; i < count; ++i) {
        const Output cert = callIndexed(CPKCS7SSL::GetNCert, der_, i);
        ASSERT_EQ(cert.result, 0) << i;
        EXPECT_EQ(cert.written(), kivo::test::derOf(sk_X509_value(certs, i))) << i;
    }
    sk_X509_pop_free(certs, X509_free);
    const Output past = callIndexed(CPKCS7SSL::GetNCert, der_, count);
    EXPECT_EQ(past.result, -22);
    EXPECT_TRUE(past.untouched());
}

TEST_P(Pkcs7InspectOpenSslMessage, ContentIsTheAttachedOneOnly) {
    unsigned long size = 0;
    const int sizeResult = CPKCS7SSL::GetData(input(), length(), nullptr, &size);
    if (!GetParam().attached) {
        EXPECT_EQ(sizeResult, -1);
        Output out = callIndexed([](unsigned char* d, unsigned long l, int, unsigned char** o, unsigned long* n) {
            return CPKCS7SSL::GetData(d, l, o, n);
        }, der_, 0);
        EXPECT_EQ(out.result, -1);
        EXPECT_TRUE(out.untouched());
        return;
    }
    ASSERT_EQ(sizeResult, 0);
    EXPECT_EQ(size, kContent.size());
    // Too small a buffer: 0, nothing copied.
    Bytes small(kContent.size() - 1, 0xEE);
    unsigned char* smallOut = small.data();
    unsigned long smallRoom = static_cast<unsigned long>(small.size());
    EXPECT_EQ(CPKCS7SSL::GetData(input(), length(), &smallOut, &smallRoom), 0);
    EXPECT_EQ(small, Bytes(kContent.size() - 1, 0xEE));

    Bytes buffer(kContent.size(), 0xEE);
    unsigned char* out = buffer.data();
    unsigned long room = static_cast<unsigned long>(buffer.size());
    ASSERT_EQ(CPKCS7SSL::GetData(input(), length(), &out, &room), 0);
    EXPECT_EQ(buffer, kContent);
    EXPECT_EQ(room, kContent.size());

    // OpenSSL's view of the content.
    ASN1_OCTET_STRING** content = CMS_get0_content(cms_.get());
    ASSERT_TRUE(content != nullptr && *content != nullptr);
    EXPECT_EQ(octets(*content), buffer);
}

TEST_P(Pkcs7InspectOpenSslMessage, HashIsTheMessageDigestOrTheRsaBlockEnd) {
    unsigned long hashLen = 0;
    const unsigned char* hash = CPKCS7SSL::GetHash(input(), length(), &hashLen);
    unsigned long tsLen = 0;
    const unsigned char* tsHash = CPKCS7SSL::GetTimestampHash(input(), length(), &tsLen);
    const Bytes expected = digest(EVP_sha256(), kContent);

    if (GetParam().attributes) {
        const auto* attribute = static_cast<const ASN1_OCTET_STRING*>(CMS_signed_get0_data_by_OBJ(
            signerInfo_, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
        ASSERT_NE(attribute, nullptr);
        EXPECT_EQ(octets(attribute), expected);
    }
    if (GetParam().attributes || rsaV15()) {
        ASSERT_NE(hash, nullptr);
        EXPECT_EQ(Bytes(hash, hash + hashLen), expected);
        ASSERT_NE(tsHash, nullptr);
        EXPECT_EQ(Bytes(tsHash, tsHash + tsLen), expected);
        EXPECT_NE(hash, tsHash) << "each member has its own result buffer";
    } else {
        // No signed attributes and no PKCS#1 v1.5 key: nothing to read the digest from.
        EXPECT_EQ(hash, nullptr);
        EXPECT_EQ(tsHash, nullptr);
    }
}

TEST_P(Pkcs7InspectOpenSslMessage, DigestAlgorithmVersionAndType) {
    unsigned long outLen = 0;
    const char* algorithm = CPKCS7SSL::GetHashAlgo(input(), length(), 0, &outLen);
    ASSERT_NE(algorithm, nullptr);
    X509_ALGOR* digestAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(signerInfo_, nullptr, nullptr, &digestAlgorithm, nullptr);
    EXPECT_EQ(std::string(algorithm), dotted(digestAlgorithm->algorithm));
    EXPECT_STREQ(algorithm, "2.16.840.1.101.3.4.2.1");
    EXPECT_EQ(outLen, std::strlen(algorithm) + 1);
    EXPECT_EQ(CPKCS7SSL::GetHashAlgo(input(), length(), 1, &outLen), nullptr);

    const Pkcs7Ptr p7 = parsePkcs7(der_);
    ASSERT_TRUE(p7);
    EXPECT_EQ(CPKCS7SSL::GetVersion(input(), length()), ASN1_INTEGER_get(p7->d.sign->version));
    EXPECT_EQ(CPKCS7SSL::GetVersion(input(), length()), 1);
    EXPECT_FALSE(CPKCS7SSL::IsTimestamp(input(), length()));
    EXPECT_EQ(CPKCS7SSL::isEnveloped(input(), length()), -22);
    EXPECT_EQ(CPKCS7SSL::GetCipherCertNum(input(), length()), 0);
    EXPECT_EQ(CPKCS7SSL::GetSignedAttrCertNum(input(), length()), 0);
    const Output attrCert = callIndexed(CPKCS7SSL::GetSignedAttrCert, der_, 0);
    EXPECT_EQ(attrCert.result, 0);
    EXPECT_TRUE(attrCert.untouched());
}

TEST_P(Pkcs7InspectOpenSslMessage, SigningTimeAsTheAttributeSays) {
    kivo::test::ScopedTimeZone utc("UTC0");
    const __int64 seconds = CPKCS7SSL::GetSigningTime(input(), length());
    if (!GetParam().attributes) {
        EXPECT_EQ(seconds, 0);
        return;
    }
    const auto* time = static_cast<const ASN1_TIME*>(
        CMS_signed_get0_data_by_OBJ(signerInfo_, OBJ_nid2obj(NID_pkcs9_signingTime), -3, V_ASN1_UTCTIME));
    ASSERT_NE(time, nullptr);
    EXPECT_EQ(seconds, utcSeconds(time));
    EXPECT_LE(std::llabs(seconds - static_cast<__int64>(std::time(nullptr))), 600);
}

TEST_P(Pkcs7InspectOpenSslMessage, SignatureValueAsOpenSslDecodesIt) {
    const Bytes expected = octets(CMS_SignerInfo_get0_signature(signerInfo_));
    kivo::test::cms::HeapCopy copy(der_);
    unsigned long size = 0;
    ASSERT_EQ(CPKCS7SSL::GetSignatureBlobSize(mutableData(copy), &size, 0, false), 0);
    ASSERT_EQ(size, expected.size());
    Bytes value(size);
    ASSERT_EQ(CPKCS7SSL::GetSignatureBlob(mutableData(copy), value.data(), 0, false), 0);
    EXPECT_EQ(value, expected);

    // The raw form: r‖s for ECDSA, the value itself otherwise.
    const Bytes raw = ec() ? ecdsaRawFromDer(expected, ecHalf(signer_->key.get())) : expected;
    ASSERT_EQ(CPKCS7SSL::GetSignatureBlobSize(mutableData(copy), &size, 0, true), 0);
    ASSERT_EQ(size, raw.size());
    Bytes rawValue(size);
    ASSERT_EQ(CPKCS7SSL::GetSignatureBlob(mutableData(copy), rawValue.data(), 0, true), 0);
    EXPECT_EQ(rawValue, raw);

    EXPECT_EQ(CPKCS7SSL::GetSignatureBlobSize(mutableData(copy), &size, 1, false), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlob(mutableData(copy), value.data(), 1, true), -94);

    // Where the message has the builder's layout (always when the builder
    // made it), the offset and length point at the same value.
    unsigned long offset = 0;
    const int length = CPKCS7SSL::GetRSAKeySize(mutableData(copy), &offset);
    if (GetParam().source == Source::Builder) {
        ASSERT_EQ(length, static_cast<int>(expected.size()));
    }
    if (length >= 0) {
        ASSERT_LE(offset + static_cast<unsigned long>(length), der_.size());
        EXPECT_EQ(Bytes(der_.begin() + static_cast<std::ptrdiff_t>(offset),
                        der_.begin() + static_cast<std::ptrdiff_t>(offset) + length),
                  expected);
    } else {
        EXPECT_EQ(length, -22);
    }
    if (rsaV15() && GetParam().attributes) {
        EXPECT_EQ(length, kivo::test::keyBits(GetParam().kind) / 8);
    }
}

TEST_P(Pkcs7InspectOpenSslMessage, SignerKeyOctetsAndSize) {
    kivo::test::cms::HeapCopy copy(der_);
    EVP_PKEY* key = X509_get0_pubkey(signer_->cert.get());
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(mutableData(copy), 0), EVP_PKEY_get_bits(key));
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(mutableData(copy), 1), -1);

    Bytes expected;
    if (rsaV15()) {
        unsigned char* der = nullptr;
        const int length = i2d_PublicKey(key, &der);  // RSAPublicKey
        ASSERT_GT(length, 0);
        expected.assign(der, der + length);
        OPENSSL_free(der);
    } else if (ec()) {
        const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(signer_->cert.get());
        expected = kivo::test::cms::tlv(0x03, kivo::test::cms::join({Bytes{0x00}, octets(bits)}));
    }
    Bytes out(der_.size(), 0xEE);
    const int result = CPKCS7SSL::GetSignerRSAKey(mutableData(copy), out.data(), 0);
    if (expected.empty()) {
        // An RSASSA-PSS key has no key octets in the certificate getters' sense.
        EXPECT_EQ(result, -94);
        return;
    }
    ASSERT_EQ(result, 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected);
    EXPECT_EQ(out[expected.size()], 0xEE);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKey(mutableData(copy), out.data(), 1), -94);
}

TEST_P(Pkcs7InspectOpenSslMessage, VerifiesWithTheRightContentOnly) {
    Bytes content = kContent;
    const Bytes other = {'o', 't', 'h', 'e', 'r'};
    if (GetParam().attached) {
        EXPECT_EQ(CPKCS7SSL::Verify(input(), length()), 0);
        EXPECT_EQ(CPKCS7SSL::VerifyCMS(input(), length(), nullptr, 0), 0);
    } else {
        // Nothing to check the signature against.
        EXPECT_EQ(CPKCS7SSL::Verify(input(), length()), -22);
        EXPECT_EQ(CPKCS7SSL::VerifyCMS(input(), length(), content.data(), static_cast<unsigned long>(content.size())), 0);
        Bytes wrong = other;
        EXPECT_EQ(CPKCS7SSL::VerifyCMS(input(), length(), wrong.data(), static_cast<unsigned long>(wrong.size())), -22);
    }

    // The signature value changed in place: both members notice.
    const Bytes value = octets(CMS_SignerInfo_get0_signature(signerInfo_));
    Bytes tampered = der_;
    const auto at = std::search(tampered.begin(), tampered.end(), value.begin(), value.end());
    ASSERT_NE(at, tampered.end());
    at[static_cast<std::ptrdiff_t>(value.size() / 2)] ^= 0x01;
    kivo::test::cms::HeapCopy bad(tampered);
    const auto badLength = static_cast<unsigned long>(tampered.size());
    EXPECT_EQ(CPKCS7SSL::Verify(mutableData(bad), badLength), -22);
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(mutableData(bad), badLength, content.data(),
                                   static_cast<unsigned long>(content.size())),
              -22);
}

INSTANTIATE_TEST_SUITE_P(Pkcs7InspectMessages, Pkcs7InspectOpenSslMessage, testing::ValuesIn(cases()), caseName);

// ---- two signers ------------------------------------------------------------------------------

class Pkcs7InspectTwoSigners : public testing::Test {
protected:
    void SetUp() override {
        auto& pki = TestPki::instance();
        first_ = &pki.signer(KeyKind::Rsa2048);
        second_ = &pki.signer(KeyKind::EcP256);
        der_ = cmsTwoSigners(*first_, *second_, kContent, 0, EVP_sha384());
    }
    const Party* first_ = nullptr;
    const Party* second_ = nullptr;
    Bytes der_;
};

TEST_F(Pkcs7InspectTwoSigners, EachSignerByIndex) {
    kivo::test::cms::HeapCopy copy(der_);
    const auto len = static_cast<unsigned long>(der_.size());
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(mutableData(copy), len), 2);
    EXPECT_EQ(CPKCS7SSL::GetNCertNum(mutableData(copy), len), 2);
    EXPECT_EQ(callIndexed(CPKCS7SSL::GetSignerCert, der_, 2).result, -22);

    // The SignerInfos are a SET: their order is the encoding's, as OpenSSL reads it.
    CmsPtr cms = parseCms(der_);
    ASSERT_EQ(CMS_set1_signers_certs(cms.get(), nullptr, 0), 2);
    std::set<Bytes> signerCerts;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), i);
        X509* cert = nullptr;
        CMS_SignerInfo_get0_algs(si, nullptr, &cert, nullptr, nullptr);
        ASSERT_NE(cert, nullptr);
        const Bytes expectedCert = kivo::test::derOf(cert);
        EXPECT_EQ(callIndexed(CPKCS7SSL::GetSignerCert, der_, i).written(), expectedCert);
        EXPECT_EQ(callIndexed(CPKCS7SSL::GetSignerCertEx, der_, i).written(), expectedCert);
        EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(mutableData(copy), i), EVP_PKEY_get_bits(X509_get0_pubkey(cert)));
        signerCerts.insert(expectedCert);

        const Bytes expected = octets(CMS_SignerInfo_get0_signature(si));
        unsigned long size = 0;
        ASSERT_EQ(CPKCS7SSL::GetSignatureBlobSize(mutableData(copy), &size, i, false), 0);
        Bytes value(size);
        ASSERT_EQ(CPKCS7SSL::GetSignatureBlob(mutableData(copy), value.data(), i, false), 0);
        EXPECT_EQ(value, expected);
    }
    EXPECT_EQ(signerCerts, (std::set<Bytes>{first_->der, second_->der}));
}

TEST_F(Pkcs7InspectTwoSigners, DigestAlgorithmsInTheSetsOrder) {
    kivo::test::cms::HeapCopy copy(der_);
    const auto len = static_cast<unsigned long>(der_.size());
    const Pkcs7Ptr p7 = parsePkcs7(der_);
    ASSERT_TRUE(p7);
    const int count = sk_X509_ALGOR_num(p7->d.sign->md_algs);
    ASSERT_EQ(count, 2);
    std::set<std::string> names;
    for (int i = 0; i < count; ++i) {
        unsigned long outLen = 0;
        const char* text = CPKCS7SSL::GetHashAlgo(mutableData(copy), len, i, &outLen);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text), dotted(sk_X509_ALGOR_value(p7->d.sign->md_algs, i)->algorithm));
        EXPECT_EQ(outLen, std::strlen(text) + 1);
        names.insert(text);
    }
    EXPECT_EQ(names, (std::set<std::string>{"2.16.840.1.101.3.4.2.1", "2.16.840.1.101.3.4.2.2"}));

    // The first signer in the encoding decides GetHash: its messageDigest.
    CmsPtr cms = parseCms(der_);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    const auto* attribute = static_cast<const ASN1_OCTET_STRING*>(
        CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
    ASSERT_NE(attribute, nullptr);
    unsigned long hashLen = 0;
    const unsigned char* hash = CPKCS7SSL::GetHash(mutableData(copy), len, &hashLen);
    ASSERT_NE(hash, nullptr);
    EXPECT_EQ(Bytes(hash, hash + hashLen), octets(attribute));
    const Bytes sha256 = digest(EVP_sha256(), kContent);
    const Bytes sha384 = digest(EVP_sha384(), kContent);
    EXPECT_TRUE(octets(attribute) == sha256 || octets(attribute) == sha384);
}

TEST_F(Pkcs7InspectTwoSigners, VerificationCoversBothSigners) {
    kivo::test::cms::HeapCopy copy(der_);
    const auto len = static_cast<unsigned long>(der_.size());
    EXPECT_EQ(CPKCS7SSL::Verify(mutableData(copy), len), 0);
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(mutableData(copy), len, nullptr, 0), 0);

    // The second signer's signature broken: the first one alone is not enough.
    CmsPtr cms = parseCms(der_);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 1);
    const Bytes value = octets(CMS_SignerInfo_get0_signature(si));
    Bytes tampered = der_;
    const auto at = std::search(tampered.begin(), tampered.end(), value.begin(), value.end());
    ASSERT_NE(at, tampered.end());
    at[10] ^= 0x40;
    kivo::test::cms::HeapCopy bad(tampered);
    EXPECT_EQ(CPKCS7SSL::Verify(mutableData(bad), len), -22);
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(mutableData(bad), len, nullptr, 0), -22);
}

// ---- digest algorithms beyond SHA-256 -----------------------------------------------------------

TEST(Pkcs7InspectDigestAlgorithm, EveryKnownDigestByItsOid) {
    const Party& signer = TestPki::instance().signer(KeyKind::Rsa2048);
    const std::pair<int, const char*> known[] = {
        {0, "1.3.14.3.2.26"},          {1, "2.16.840.1.101.3.4.2.1"}, {2, "2.16.840.1.101.3.4.2.2"},
        {3, "2.16.840.1.101.3.4.2.3"}, {4, "1.3.36.3.2.1"},           {5, "1.2.840.113549.2.5"},
    };
    for (const auto& [hashId, oid] : known) {
        kivo::test::cms::BuildOptions options;
        options.hashId = hashId;
        const Bytes der = signedBuilderMessage(signer, options);
        kivo::test::cms::HeapCopy copy(der);
        unsigned long outLen = 0;
        const char* text = CPKCS7SSL::GetHashAlgo(mutableData(copy), static_cast<unsigned long>(der.size()), 0, &outLen);
        ASSERT_NE(text, nullptr) << oid;
        EXPECT_STREQ(text, oid);
        EXPECT_EQ(outLen, std::strlen(oid) + 1);
        unsigned long hashLen = 0;
        const unsigned char* hash = CPKCS7SSL::GetHash(mutableData(copy), static_cast<unsigned long>(der.size()), &hashLen);
        ASSERT_NE(hash, nullptr);
        EXPECT_EQ(Bytes(hash, hash + hashLen), digest(mdForHashId(hashId), options.content)) << oid;
    }
}

TEST(Pkcs7InspectDigestAlgorithm, AnUnlistedDigestLeavesTheBufferAsItWas) {
    auto& pki = TestPki::instance();
    const Party& signer = pki.signer(KeyKind::Rsa2048);
    // The second signer digests with SHA-224, which the member does not name.
    const Bytes der = cmsTwoSigners(signer, pki.signer(KeyKind::EcP256), kContent, 0, EVP_sha224());
    kivo::test::cms::HeapCopy copy(der);
    const auto len = static_cast<unsigned long>(der.size());
    const Pkcs7Ptr p7 = parsePkcs7(der);
    ASSERT_TRUE(p7);
    int unlistedIndex = -1;
    for (int i = 0; i < sk_X509_ALGOR_num(p7->d.sign->md_algs); ++i) {
        if (dotted(sk_X509_ALGOR_value(p7->d.sign->md_algs, i)->algorithm) == "2.16.840.1.101.3.4.2.4") unlistedIndex = i;
    }
    ASSERT_GE(unlistedIndex, 0);

    unsigned long outLen = 0;
    const char* sha256 = CPKCS7SSL::GetHashAlgo(mutableData(copy), len, 1 - unlistedIndex, &outLen);
    ASSERT_NE(sha256, nullptr);
    const std::string before = sha256;
    unsigned long unchanged = 12345;
    const char* again = CPKCS7SSL::GetHashAlgo(mutableData(copy), len, unlistedIndex, &unchanged);
    EXPECT_EQ(again, sha256);
    EXPECT_EQ(std::string(again), before);
    EXPECT_EQ(unchanged, 12345u);
}

}  // namespace
