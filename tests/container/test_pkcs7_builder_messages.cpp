// The two members that work on the fixed layout of the library's own
// builder (createSignedData, signed here with OpenSSL): GetRSAKeySize and
// AddTimeStamp. The reading members on builder messages are compared with
// OpenSSL in test_pkcs7_openssl_messages.cpp.

#include "tests/support/ContainerTestUtil.h"

#include "tests/support/TestSupport.h"
#include "src/container/Pkcs7Layout.h"

#include <gtest/gtest.h>

using namespace kivo::test::container;
using kivo::test::KeyKind;
using kivo::test::cms::BuildOptions;
using kivo::test::cms::HeapCopy;
using kivo::test::cms::join;
using kivo::test::cms::locate;
using kivo::test::cms::opensslSignedData;
using kivo::test::cms::tlv;

namespace {

// ---- AddTimeStamp ------------------------------------------------------------------------------

// A DER SEQUENCE of exactly `size` octets (size >= 260), deterministic content.
Bytes syntheticToken(std::size_t size) {
    Bytes content = kivo::test::randomBytes(size - 4, 3161);
    Bytes token = tlv(0x30, content);
    if (token.size() != size) throw std::runtime_error("token size");
    return token;
}

// The five enclosing elements AddTimeStamp lengthens, by path.
std::vector<std::vector<std::size_t>> enclosingPaths() { return {{}, {1}, {1, 0}, {1, 0, 4}, {1, 0, 4, 0}}; }

struct Stamped {
    Bytes message;  // the buffer after the call, cut to the new length
    unsigned long length = 0;
    int result = 0;
};

// AddTimeStamp on a buffer with exactly the room it needs.
Stamped addTimeStamp(const Bytes& der, const Bytes& token) {
    HeapCopy room(join({der, Bytes(token.size() + 25, 0xEE)}));
    Bytes tokenCopy = token;
    Stamped stamped;
    stamped.length = static_cast<unsigned long>(der.size());
    stamped.result = CPKCS7SSL::AddTimeStamp(mutableData(room), &stamped.length, tokenCopy.data(),
                                             static_cast<unsigned long>(tokenCopy.size()));
    stamped.message.assign(room.data(), room.data() + std::min<std::size_t>(stamped.length, room.size()));
    return stamped;
}

// Checks that OpenSSL reads `stamped` with `token` as the last of the
// first signer's `count` unsigned attributes, of type id-aa-timeStampToken.
void expectTokenAttribute(const Bytes& stamped, const Bytes& token, int count = 1) {
    CmsPtr cms = parseCms(stamped);
    ASSERT_TRUE(cms);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    ASSERT_EQ(CMS_unsigned_get_attr_count(si), count);
    const int position = count - 1;
    ASSERT_EQ(OBJ_obj2nid(X509_ATTRIBUTE_get0_object(CMS_unsigned_get_attr(si, position))),
              NID_id_smime_aa_timeStampToken);
    X509_ATTRIBUTE* attribute = CMS_unsigned_get_attr(si, position);
    ASSERT_EQ(X509_ATTRIBUTE_count(attribute), 1);
    ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
    ASSERT_NE(value, nullptr);
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_TYPE(value, &der);
    ASSERT_GT(length, 0);
    EXPECT_EQ(Bytes(der, der + length), token);
    OPENSSL_free(der);
}

class Pkcs7InspectAddTimeStamp : public testing::Test {
protected:
    void SetUp() override {
        signer_ = &TestPki::instance().signer(KeyKind::Rsa2048);
        options_.attach = false;
        der_ = signedBuilderMessage(*signer_, options_);
    }
    const Party* signer_ = nullptr;
    BuildOptions options_;
    Bytes der_;
};

TEST_F(Pkcs7InspectAddTimeStamp, ThreeThousandOctetTokenMakesTheDescribedBytes) {
    const Bytes token = syntheticToken(3000);
    const std::size_t l = der_.size();
    const Stamped stamped = addTimeStamp(der_, token);
    ASSERT_EQ(stamped.result, 0);
    ASSERT_EQ(stamped.length, l + 3025);

    const Bytes header = {0xA1, 0x82, 0x0B, 0xCD, 0x30, 0x82, 0x0B, 0xC9, 0x06, 0x0B, 0x2A, 0x86, 0x48,
                          0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x02, 0x0E, 0x31, 0x82, 0x0B, 0xB8};
    EXPECT_EQ(Bytes(stamped.message.begin() + static_cast<std::ptrdiff_t>(l),
                    stamped.message.begin() + static_cast<std::ptrdiff_t>(l + 25)),
              header);
    EXPECT_EQ(Bytes(stamped.message.begin() + static_cast<std::ptrdiff_t>(l + 25), stamped.message.end()), token);
    // Everything before the insertion is the same apart from the five length fields.
    for (const auto& path : enclosingPaths()) {
        const auto before = locate(der_, path);
        const auto after = locate(stamped.message, path);
        EXPECT_EQ(after.offset, before.offset);
        EXPECT_EQ(after.header, 4u);
        EXPECT_EQ(after.size, before.size + 3025);
    }
    std::size_t differing = 0;
    for (std::size_t i = 0; i < l; ++i) differing += stamped.message[i] != der_[i] ? 1 : 0;
    EXPECT_LE(differing, 10u);

    expectTokenAttribute(stamped.message, token);
    // The unsigned attribute is outside the signature: still valid.
    HeapCopy copy(stamped.message);
    Bytes content = options_.content;
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(mutableData(copy), stamped.length, content.data(),
                                   static_cast<unsigned long>(content.size())),
              0);
    // And the signature value is still found where it was.
    unsigned long offsetBefore = 0;
    unsigned long offsetAfter = 0;
    HeapCopy original(der_);
    EXPECT_EQ(CPKCS7SSL::GetRSAKeySize(mutableData(original), &offsetBefore), 256);
    EXPECT_EQ(CPKCS7SSL::GetRSAKeySize(mutableData(copy), &offsetAfter), 256);
    EXPECT_EQ(offsetAfter, offsetBefore);
}

TEST_F(Pkcs7InspectAddTimeStamp, RealTokenOverTheSignatureValue) {
    // As the time-stamp client does: a token for the signature value.
    HeapCopy copy(der_);
    unsigned long size = 0;
    ASSERT_EQ(CPKCS7SSL::GetSignatureBlobSize(mutableData(copy), &size, 0, true), 0);
    Bytes value(size);
    ASSERT_EQ(CPKCS7SSL::GetSignatureBlob(mutableData(copy), value.data(), 0, true), 0);
    const Bytes token = timeStampToken(value);

    const Stamped stamped = addTimeStamp(der_, token);
    ASSERT_EQ(stamped.result, 0);
    EXPECT_EQ(stamped.length, der_.size() + 25 + token.size());
    expectTokenAttribute(stamped.message, token);

    // The container with the token is still a signature, not a token.
    HeapCopy stampedCopy(stamped.message);
    EXPECT_FALSE(CPKCS7SSL::IsTimestamp(mutableData(stampedCopy), stamped.length));
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(mutableData(stampedCopy), stamped.length), 1);
}

TEST_F(Pkcs7InspectAddTimeStamp, EcAndAttachedMessagesOfTheLayout) {
    for (const bool attach : {false, true}) {
        BuildOptions options;
        options.attach = attach;
        const Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::EcP256), options);
        const Bytes token = syntheticToken(1200);
        const Stamped stamped = addTimeStamp(der, token);
        ASSERT_EQ(stamped.result, 0) << attach;
        EXPECT_EQ(stamped.length, der.size() + 1225);
        expectTokenAttribute(stamped.message, token);
    }
}

// A message that is not of the builder's layout is refused: -22, nothing
// written, the length left alone.
void expectRefused(const Bytes& der, const Bytes& token, const char* what) {
    SCOPED_TRACE(what);
    Bytes buffer = join({der, Bytes(token.size() + 25, 0xEE)});
    HeapCopy room(buffer);
    Bytes tokenCopy = token;
    unsigned long length = static_cast<unsigned long>(der.size());
    EXPECT_EQ(CPKCS7SSL::AddTimeStamp(mutableData(room), &length, tokenCopy.data(),
                                      static_cast<unsigned long>(tokenCopy.size())),
              -22);
    EXPECT_EQ(length, der.size());
    EXPECT_EQ(Bytes(room.data(), room.data() + room.size()), buffer);
}

// `der` with the headers of the elements that enclose its end (ContentInfo,
// [0], SignedData, SignerInfos, SignerInfo) in the four-octet long form.
Bytes withFourOctetLengths(const Bytes& der, std::size_t depth = 0) {
    const auto tlv84 = [](unsigned char identifier, const Bytes& content) {
        const std::size_t n = content.size();
        return join({Bytes{identifier, 0x84, static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                           static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)},
                     content});
    };
    if (depth == 5) return der;
    std::vector<Bytes> children = childrenOf(der);
    // The element that ends the message is the last child at every level.
    children.back() = withFourOctetLengths(children.back(), depth + 1);
    Bytes content;
    for (const Bytes& child : children) content.insert(content.end(), child.begin(), child.end());
    return tlv84(der[0], content);
}

// Any SignedData with one SignerInfo takes the token: every enclosing
// length is rewritten (growing where it must), OpenSSL reads the token as
// the last unsigned attribute and the signature still verifies.
TEST_F(Pkcs7InspectAddTimeStamp, AddsToEverySignedDataWithOneSigner) {
    const Bytes token = syntheticToken(800);
    const Party& ec = TestPki::instance().signer(KeyKind::EcP256);
    const Party& rsa = TestPki::instance().signer(KeyKind::Rsa2048);
    const Bytes small = options_.content;
    const Bytes large = kivo::test::randomBytes(70000, 12);
    const auto withCrl = [&](CMS_ContentInfo* c) {
        X509_CRL* crl = X509_CRL_new();
        ASN1_TIME* now = ASN1_TIME_set(nullptr, std::time(nullptr));
        X509_CRL_set_issuer_name(crl, X509_get_subject_name(rsa.cert.get()));
        X509_CRL_set1_lastUpdate(crl, now);
        ASN1_TIME_free(now);
        X509_CRL_sign(crl, rsa.key.get(), EVP_sha256());
        CMS_add0_crl(c, crl);
    };
    const auto withUnsignedAttribute = [](CMS_ContentInfo* c) {
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(c), 0);
        CMS_unsigned_add1_attr_by_txt(si, "1.3.6.1.4.1.55555.1", V_ASN1_OCTET_STRING,
                                      reinterpret_cast<const unsigned char*>("kivo"), 4);
    };
    const Stamped once = addTimeStamp(der_, token);
    ASSERT_EQ(once.result, 0);
    BuildOptions attachedOptions;
    attachedOptions.attach = true;
    attachedOptions.content = Bytes(300, 'x');

    struct Case {
        const char* what;
        Bytes der;
        const Bytes* content;  // to verify against; null: attached
        int attributesBefore;
        std::size_t growth = 0;  // octets the enclosing lengths grow by
    };
    const Case cases[] = {
        {"builder message with a token already", once.message, &small, 1},
        {"builder message with long attached content", signedBuilderMessage(*signer_, attachedOptions), nullptr, 0},
        {"CMS_sign detached", cmsSigned(rsa, small, CMS_DETACHED), &small, 0},
        {"CMS_sign attached over 64 KiB", cmsSigned(rsa, large, 0), nullptr, 0},
        {"CMS_sign with further certificates", cmsSigned(rsa, small, CMS_DETACHED, {&ec, &TestPki::instance().ca()}), &small, 0},
        {"CMS_sign with a CRL", opensslSignedData(rsa, small, CMS_DETACHED, withCrl), &small, 0},
        {"CMS_sign with an unsigned attribute", opensslSignedData(rsa, small, CMS_DETACHED, withUnsignedAttribute),
         &small, 1},
        {"EC signer without signed attributes (SignerInfo and SignerInfos lengths grow from 0x81 to 0x82)",
         cmsSigned(ec, small, CMS_NOATTR | CMS_DETACHED), &small, 0, 2},
        {"four-octet lengths everywhere", withFourOctetLengths(cmsSigned(rsa, small, CMS_DETACHED)), &small, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Stamped stamped = addTimeStamp(c.der, token);
        if (c.growth > 0) {
            // More than the exported member's room of message + 25 + token:
            // refused there, done where the caller says how much room it has.
            ASSERT_EQ(stamped.result, -22);
            Bytes room = join({c.der, Bytes(token.size() + 25 + c.growth, 0xEE)});
            std::size_t length = 0;
            ASSERT_TRUE(kivo::pkcs7::appendTimeStampToken(room.data(), c.der.size(), room.size(), token, &length));
            EXPECT_EQ(length, room.size());
            stamped = {room, static_cast<unsigned long>(length), 0};
        }
        ASSERT_EQ(stamped.result, 0);
        EXPECT_EQ(stamped.message.size(), stamped.length);
        expectTokenAttribute(stamped.message, token, c.attributesBefore + 1);
        CmsPtr cms = parseCms(stamped.message);
        ASSERT_TRUE(cms);
        BioPtr data = c.content != nullptr ? kivo::test::cms::memoryBio(*c.content) : nullptr;
        EXPECT_EQ(CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr, CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY), 1);
        ERR_clear_error();
    }
}

// A message that is not a definite-length SignedData with exactly one
// SignerInfo ending where the message ends is refused.
TEST_F(Pkcs7InspectAddTimeStamp, RefusesWhatIsNotOneSignerSignedData) {
    const Bytes token = syntheticToken(800);
    const Bytes signer = elementAtPath(der_, signerInfoPath(der_));
    expectRefused(replaceAt(der_, {1, 0, 4}, tlv(0x31, join({signer, signer}))), token, "two signers");
    expectRefused(Bytes(der_.begin(), der_.end() - 1), token, "one octet short");
    expectRefused(join({der_, Bytes{0x00}}), token, "one octet of trailing data");
    Bytes data = der_;
    data[14] = 0x01;
    expectRefused(data, token, "content type data");
    Bytes bad = der_;
    bad[18] ^= 0x01;
    expectRefused(bad, token, "[0] length");
    expectRefused(cmsSigned(TestPki::instance().signer(KeyKind::EcP256), options_.content, CMS_STREAM | CMS_DETACHED),
                  token, "indefinite lengths");
}

TEST_F(Pkcs7InspectAddTimeStamp, RefusesTokensThatDoNotFit) {
    expectRefused(der_, Bytes{0x30, 0x82, 0x01}, "truncated token header");
    expectRefused(der_, kivo::test::randomBytes(500, 7), "not DER");
    expectRefused(der_, join({syntheticToken(500), Bytes{0x00}}), "token with trailing octet");
    // Beyond what two-octet lengths carry, the enclosing lengths would grow
    // past the room the caller gives (message + 25 + token).
    expectRefused(der_, syntheticToken(65000), "65,000-octet token");

    HeapCopy room(join({der_, Bytes(100, 0xEE)}));
    unsigned long length = static_cast<unsigned long>(der_.size());
    Bytes token = syntheticToken(300);
    EXPECT_EQ(CPKCS7SSL::AddTimeStamp(mutableData(room), &length, nullptr, 300), -22);
    EXPECT_EQ(CPKCS7SSL::AddTimeStamp(mutableData(room), &length, token.data(), 0), -22);
    EXPECT_EQ(CPKCS7SSL::AddTimeStamp(nullptr, &length, token.data(), 300), -22);
    EXPECT_EQ(CPKCS7SSL::AddTimeStamp(mutableData(room), nullptr, token.data(), 300), -22);
    EXPECT_EQ(length, der_.size());
}

TEST_F(Pkcs7InspectAddTimeStamp, RsaKeySizeRefusesWhatAddTimeStampRefuses) {
    const auto refused = [](Bytes der, const char* what) {
        SCOPED_TRACE(what);
        // The members without a length read it from the outer header.
        HeapCopy copy(der);
        unsigned long offset = 4242;
        EXPECT_EQ(CPKCS7SSL::GetRSAKeySize(mutableData(copy), &offset), -22);
        EXPECT_EQ(offset, 4242u);
    };
    Bytes data = der_;
    data[14] = 0x01;
    refused(data, "content type data");
    const Bytes signer = elementAtPath(der_, signerInfoPath(der_));
    refused(replaceAt(der_, {1, 0, 4}, tlv(0x31, join({signer, signer}))), "two signers");
    Bytes version = der_;
    version[24] = 0x02;
    refused(version, "version of two octets");
    refused(cmsSigned(TestPki::instance().signer(KeyKind::EcP256), options_.content, CMS_NOATTR | CMS_DETACHED),
            "short SignerInfo");
    HeapCopy copy(der_);
    EXPECT_EQ(CPKCS7SSL::GetRSAKeySize(mutableData(copy), nullptr), -22);
    EXPECT_EQ(CPKCS7SSL::GetRSAKeySize(nullptr, nullptr), -22);
}

}  // namespace
