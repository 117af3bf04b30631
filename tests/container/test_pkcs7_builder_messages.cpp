// AddTimeStamp and GetRSAKeySize on one-signer SignedData; results read back by OpenSSL.

#include "tests/support/ContainerTestUtil.h"

#include "src/container/Pkcs7Layout.h"

#include <gtest/gtest.h>

using namespace kivo::test::container;
using kivo::test::KeyKind;
using kivo::test::cms::join;
using kivo::test::cms::tlv;

namespace {

// A DER SEQUENCE of exactly `size` octets (size >= 260).
Bytes syntheticToken(std::size_t size) { return tlv(0x30, kivo::test::randomBytes(size - 4, 3161)); }

// Output of AddTimeStamp; `buffer` is the whole buffer after the call.
struct Stamped {
    int result = 0;
    unsigned long length = 0;
    Bytes buffer;
    Bytes message() const { return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(length, buffer.size()))); }
};

// AddTimeStamp on a buffer with exactly the room the member may use.
Stamped addTimeStamp(const Bytes& der, Bytes token) {
    HeapCopy room(join({der, Bytes(token.size() + 25, 0xEE)}));
    Stamped s{0, static_cast<unsigned long>(der.size()), {}};
    s.result = CPKCS7SSL::AddTimeStamp(room.data(), &s.length, token.data(), static_cast<unsigned long>(token.size()));
    s.buffer.assign(room.data(), room.data() + room.size());
    return s;
}

// `der` with the headers of the five elements that enclose its end in the four-octet long form.
Bytes withFourOctetLengths(const Bytes& der, std::size_t depth = 0) {
    if (depth == 5) return der;
    std::vector<Bytes> children = childrenOf(der);
    children.back() = withFourOctetLengths(children.back(), depth + 1);
    Bytes content;
    for (const Bytes& child : children) content.insert(content.end(), child.begin(), child.end());
    const auto n = static_cast<std::uint32_t>(content.size());
    return join({Bytes{der[0], 0x84, Bytes::value_type(n >> 24), Bytes::value_type(n >> 16), Bytes::value_type(n >> 8), Bytes::value_type(n)}, content});
}

Bytes detachedRsaBuilderMessage() { return signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), {.attach = false}); }

TEST(Pkcs7InspectAddTimeStamp, ThreeThousandOctetTokenMakesTheDescribedBytes) {
    const Bytes der = detachedRsaBuilderMessage();
    const Bytes token = syntheticToken(3000);
    const Stamped s = addTimeStamp(der, token);
    ASSERT_TRUE(s.result == 0 && s.length == der.size() + 3025);
    EXPECT_EQ(Bytes(s.buffer.begin() + static_cast<std::ptrdiff_t>(der.size()), s.buffer.end()),
              join({kivo::test::hex("A1820BCD 30820BC9 060B2A864886F70D010910020E 31820BB8"), token}));
    // Before the insertion only the five enclosing length fields change.
    for (const std::vector<std::size_t>& path : {std::vector<std::size_t>{}, {1}, {1, 0}, {1, 0, 4}, {1, 0, 4, 0}}) {
        const auto before = kivo::test::cms::locate(der, path), after = kivo::test::cms::locate(s.buffer, path);
        EXPECT_TRUE(after.offset == before.offset && after.header == 4u && after.size == before.size + 3025) << path.size();
    }
    unsigned long before = 0, after = 0;
    EXPECT_EQ(CPKCS7SSL::GetRSAKeySize(Message(der).p(), &before) + CPKCS7SSL::GetRSAKeySize(Message(s.buffer).p(), &after), 512);
    EXPECT_EQ(after, before);
}

// Any SignedData with one SignerInfo takes the token as its last unsigned attribute,
// id-aa-timeStampToken, and the signature still verifies.
TEST(Pkcs7InspectAddTimeStamp, AddsToEverySignedDataWithOneSigner) {
    const Bytes der = detachedRsaBuilderMessage();
    const Bytes token = syntheticToken(800);
    const Party &ec = TestPki::instance().signer(KeyKind::EcP256), &rsa = TestPki::instance().signer(KeyKind::Rsa2048);
    const Bytes small = kivo::test::cms::BuildOptions{}.content;
    const auto withUnsignedAttribute = [](CMS_ContentInfo* c) {
        CMS_unsigned_add1_attr_by_txt(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(c), 0), "1.3.6.1.4.1.55555.1",
                                      V_ASN1_OCTET_STRING, reinterpret_cast<const unsigned char*>("kivo"), 4);
    };
    // growth: octets the enclosing lengths grow by beyond the member's room.
    const struct { const char* what; Bytes der; Bytes token; bool detached; int attributesBefore; std::size_t growth; } cases[] = {
        {"builder RSA, a real token over the signature value", der, timeStampToken(*signatureBlob(der, 0, true)), true, 0, 0},
        {"builder message with a token already", addTimeStamp(der, token).message(), token, true, 1, 0},
        {"builder EC with attached content", signedBuilderMessage(ec, {.content = Bytes(300, 'x')}), token, false, 0, 0},
        {"CMS_sign attached over 64 KiB", cmsSigned(rsa, kivo::test::randomBytes(70000, 12), 0), token, false, 0, 0},
        {"CMS_sign with further certificates", cmsSigned(rsa, small, CMS_DETACHED, {&ec, &TestPki::instance().ca()}), token, true, 0, 0},
        {"CMS_sign with an unsigned attribute", kivo::test::cms::opensslSignedData(rsa, small, CMS_DETACHED, withUnsignedAttribute), token, true, 1, 0},
        {"EC without signed attributes (lengths grow from 0x81 to 0x82)", cmsSigned(ec, small, CMS_NOATTR | CMS_DETACHED), token, true, 0, 2},
        {"four-octet lengths everywhere", withFourOctetLengths(cmsSigned(rsa, small, CMS_DETACHED)), token, true, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Stamped s = addTimeStamp(c.der, c.token);
        if (c.growth > 0) {
            // Refused by the exported member, done where the caller says how much room it has.
            ASSERT_EQ(s.result, -22);
            Bytes room = join({c.der, Bytes(c.token.size() + 25 + c.growth, 0xEE)});
            std::size_t length = 0;
            ASSERT_TRUE(kivo::pkcs7::appendTimeStampToken(room.data(), c.der.size(), room.size(), c.token, &length));
            s = {0, static_cast<unsigned long>(length), room};
        }
        const Bytes stamped = s.message();
        ASSERT_TRUE(s.result == 0 && stamped.size() == s.length);
        const CmsPtr cms = parseCms(stamped);
        ASSERT_TRUE(cms);
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
        ASSERT_EQ(CMS_unsigned_get_attr_count(si), c.attributesBefore + 1);
        X509_ATTRIBUTE* attribute = CMS_unsigned_get_attr(si, c.attributesBefore);
        ASSERT_TRUE(OBJ_obj2nid(X509_ATTRIBUTE_get0_object(attribute)) == NID_id_smime_aa_timeStampToken && X509_ATTRIBUTE_count(attribute) == 1);
        EXPECT_EQ(octets(X509_ATTRIBUTE_get0_type(attribute, 0)->value.sequence), c.token);
        BioPtr data = c.detached ? kivo::test::cms::memoryBio(small) : nullptr;
        EXPECT_EQ(CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr, CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY), 1);
        EXPECT_FALSE(CPKCS7SSL::IsTimestamp(Message(stamped).p(), s.length));
    }
}

// What is not a definite-length SignedData with exactly one SignerInfo ending where the message
// ends, or a token that is not one DER element, is refused: -22, nothing written, the length left
// alone. GetRSAKeySize refuses such messages as well.
TEST(Pkcs7InspectAddTimeStamp, RefusesWhatIsNotOneSignerSignedData) {
    const Bytes der = detachedRsaBuilderMessage();
    const Bytes token = syntheticToken(800);
    const Bytes signer = elementAtPath(der, signerInfoPath(der));
    const auto changed = [&](std::size_t at, unsigned char value) { Bytes d = der; d[at] = value; return d; };
    const Party& ec = TestPki::instance().signer(KeyKind::EcP256);
    const Bytes content = kivo::test::cms::BuildOptions{}.content;
    const struct { const char* what; Bytes der; Bytes token; bool stampRefuses; bool rsaKeySizeRefuses; } cases[] = {
        {"two signers", replaceAt(der, {1, 0, 4}, tlv(0x31, join({signer, signer}))), token, true, true},
        {"one octet short", Bytes(der.begin(), der.end() - 1), token, true, false},
        {"one octet of trailing data", join({der, Bytes{0x00}}), token, true, false},
        {"content type data", changed(14, 0x01), token, true, true},
        {"[0] length", changed(18, der[18] ^ 0x01), token, true, false},
        {"version of two octets", changed(24, 0x02), token, false, true},
        {"indefinite lengths", kivo::test::cms::opensslSignedData(ec, content, CMS_STREAM | CMS_DETACHED), token, true, false},
        {"short SignerInfo", cmsSigned(ec, content, CMS_NOATTR | CMS_DETACHED), token, false, true},
        {"truncated token header", der, Bytes{0x30, 0x82, 0x01}, true, false},
        {"token not DER", der, kivo::test::randomBytes(500, 7), true, false},
        {"token with trailing octet", der, join({syntheticToken(500), Bytes{0x00}}), true, false},
        {"65,000-octet token: lengths grow past the room", der, syntheticToken(65000), true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Stamped s = addTimeStamp(c.der, c.token);
        if (c.stampRefuses) { EXPECT_TRUE(s.result == -22 && s.length == c.der.size() && s.buffer == join({c.der, Bytes(c.token.size() + 25, 0xEE)})); }
        unsigned long offset = 4242;
        if (c.rsaKeySizeRefuses) { EXPECT_TRUE(CPKCS7SSL::GetRSAKeySize(Message(c.der).p(), &offset) == -22 && offset == 4242u); }
    }
    Message room(join({der, Bytes(100, 0xEE)}));
    unsigned long length = static_cast<unsigned long>(der.size());
    Bytes small = syntheticToken(300);
    EXPECT_EQ(CPKCS7SSL::AddTimeStamp(room.p(), &length, nullptr, 300) + CPKCS7SSL::AddTimeStamp(room.p(), &length, small.data(), 0) +
                  CPKCS7SSL::AddTimeStamp(nullptr, &length, small.data(), 300) + CPKCS7SSL::AddTimeStamp(room.p(), nullptr, small.data(), 300), -88);
    EXPECT_EQ(length, der.size());
}

}  // namespace
