// The two members that work on the fixed layout of the library's own
// builder (createSignedData, signed here with OpenSSL): GetRSAKeySize and
// AddTimeStamp. The reading members on builder messages are compared with
// OpenSSL in test_pkcs7_openssl_messages.cpp.

#include "ContainerTestUtil.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace kivo::test::container;
using kivo::test::KeyKind;
using kivo::test::cms::BuildOptions;
using kivo::test::cms::HeapCopy;
using kivo::test::cms::join;
using kivo::test::cms::locate;
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

// Checks that OpenSSL reads `stamped` with `token` as the first signer's
// only unsigned attribute, of type id-aa-timeStampToken.
void expectTokenAttribute(const Bytes& stamped, const Bytes& token) {
    CmsPtr cms = parseCms(stamped);
    ASSERT_TRUE(cms);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    ASSERT_EQ(CMS_unsigned_get_attr_count(si), 1);
    const int position = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1);
    ASSERT_EQ(position, 0);
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

TEST_F(Pkcs7InspectAddTimeStamp, RefusesMessagesOfAnotherLayout) {
    const Bytes token = syntheticToken(800);
    const auto signedData = signedDataPath();
    const auto signerInfos = std::vector<std::size_t>{1, 0, 4};

    // Already time-stamped.
    const Stamped once = addTimeStamp(der_, token);
    ASSERT_EQ(once.result, 0);
    expectRefused(once.message, token, "second token");

    // A CRL between the certificates and the signers.
    {
        const Bytes crls = tlv(0xA1, tlv(0x30, Bytes(40, 0x05)));
        auto children = childrenOf(elementAtPath(der_, signedData));
        children.insert(children.begin() + 4, crls);
        Bytes content;
        for (const Bytes& c : children) content.insert(content.end(), c.begin(), c.end());
        const Bytes withCrl = replaceAt(der_, signedData, tlv(0x30, content));
        expectRefused(withCrl, token, "CRLs");
    }
    // Two signers.
    {
        const Bytes signer = elementAtPath(der_, signerInfoPath(der_));
        expectRefused(replaceAt(der_, signerInfos, tlv(0x31, join({signer, signer}))), token, "two signers");
    }
    // A long attached content: the EncapsulatedContentInfo needs long-form lengths.
    {
        BuildOptions options;
        options.attach = true;
        options.content = Bytes(300, 'x');
        expectRefused(signedBuilderMessage(*signer_, options), token, "long content");
    }
    // The message length does not match its header.
    expectRefused(Bytes(der_.begin(), der_.end() - 1), token, "one octet short");
    expectRefused(join({der_, Bytes{0x00}}), token, "one octet of trailing data");
    // Not signedData.
    {
        Bytes data = der_;
        data[14] = 0x01;
        expectRefused(data, token, "content type data");
    }
    // An outer length field that disagrees with the inner ones.
    {
        Bytes bad = der_;
        bad[18] ^= 0x01;
        expectRefused(bad, token, "[0] length");
    }
    // An OpenSSL message with short-form lengths in the signer (EC, no attributes).
    expectRefused(cmsSigned(TestPki::instance().signer(KeyKind::EcP256), options_.content, CMS_NOATTR | CMS_DETACHED),
                  token, "short SignerInfo");
}

TEST_F(Pkcs7InspectAddTimeStamp, RefusesTokensThatDoNotFit) {
    expectRefused(der_, Bytes{0x30, 0x82, 0x01}, "truncated token header");
    expectRefused(der_, kivo::test::randomBytes(500, 7), "not DER");
    expectRefused(der_, join({syntheticToken(500), Bytes{0x00}}), "token with trailing octet");
    // Beyond what two-octet lengths can carry.
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
