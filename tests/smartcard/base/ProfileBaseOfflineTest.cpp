// CSC_Profile_Base operations that need no card: the signature block,
// the secure-messaging keys, the serial number, the card type names and
// the state of a new card object.

#include "tests/smartcard/base/TestProfile.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

namespace kivo::test {
namespace {

using Bytes = CSC_Profile_Base::Bytes;

Bytes pattern(std::size_t length, std::uint8_t seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + 7 * i);
    return bytes;
}

// DigestInfo built by OpenSSL's own ASN.1 code: SEQUENCE { AlgorithmIdentifier
// { oid, NULL }, OCTET STRING hash }.
Bytes opensslDigestInfo(int nid, const Bytes& hash) {
    X509_SIG* sig = X509_SIG_new();
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* digest = nullptr;
    X509_SIG_getm(sig, &algorithm, &digest);
    X509_ALGOR_set0(algorithm, OBJ_nid2obj(nid), V_ASN1_NULL, nullptr);
    ASN1_OCTET_STRING_set(digest, hash.data(), static_cast<int>(hash.size()));
    Bytes der(static_cast<std::size_t>(i2d_X509_SIG(sig, nullptr)));
    unsigned char* p = der.data();
    i2d_X509_SIG(sig, &p);
    X509_SIG_free(sig);
    return der;
}

// PKCS#1 v1.5 type 1 block by OpenSSL; empty when it does not fit.
Bytes opensslType1(const Bytes& content, std::size_t blockLength) {
    Bytes block(blockLength);
    if (RSA_padding_add_PKCS1_type_1(block.data(), static_cast<int>(blockLength), content.data(),
                                     static_cast<int>(content.size())) != 1) {
        return {};
    }
    return block;
}

struct AlgorithmCase {
    std::uint32_t calg;
    int nid;  // NID_undef: the hash is used raw
    std::size_t hashLength;
};

const AlgorithmCase kAlgorithms[] = {
    {0x8003, NID_md5, 16},        {0x8004, NID_sha1, 20},     {0x8007, NID_ripemd160, 20},
    {0x8008, NID_undef, 36},      {0x800C, NID_sha256, 32},   {0x800D, NID_sha384, 48},
    {0x800E, NID_sha512, 64},     {0xFFFF, NID_undef, 32},    {0x1234, NID_sha256, 32},
    {0x0000, NID_sha256, 32},
};

TEST(ProfileBuildSignBuffer, DigestInfoMatchesOpenSslForEveryAlgorithm) {
    TestProfile profile;
    for (const auto& c : kAlgorithms) {
        SCOPED_TRACE(::testing::Message() << "algorithm 0x" << std::hex << c.calg);
        const Bytes hash = pattern(c.hashLength, static_cast<std::uint8_t>(c.calg));
        const Bytes expected = c.nid == NID_undef ? hash : opensslDigestInfo(c.nid, hash);
        Bytes out;
        ASSERT_EQ(profile.BuildSignBuffer(c.calg, 2048, hash.data(),
                                          static_cast<std::uint32_t>(hash.size()), out, false),
                  kivo::card::cOk);
        EXPECT_EQ(hexText(out), hexText(expected));
    }
}

TEST(ProfileBuildSignBuffer, PaddedBlockMatchesOpenSslType1ForEveryAlgorithmAndKeySize) {
    TestProfile profile;
    for (std::uint32_t keyBits : {1024u, 2048u, 3072u, 4096u}) {
        for (const auto& c : kAlgorithms) {
            SCOPED_TRACE(::testing::Message()
                         << "algorithm 0x" << std::hex << c.calg << std::dec << ", " << keyBits << " bits");
            const Bytes hash = pattern(c.hashLength, static_cast<std::uint8_t>(keyBits + c.calg));
            const Bytes content = c.nid == NID_undef ? hash : opensslDigestInfo(c.nid, hash);
            const Bytes expected = opensslType1(content, keyBits / 8);
            ASSERT_FALSE(expected.empty());
            Bytes out;
            ASSERT_EQ(profile.BuildSignBuffer(c.calg, keyBits, hash.data(),
                                              static_cast<std::uint32_t>(hash.size()), out, true),
                      kivo::card::cOk);
            ASSERT_EQ(out.size(), keyBits / 8);
            EXPECT_EQ(hexText(out), hexText(expected));
        }
    }
}

TEST(ProfileBuildSignBuffer, Sha256With2048BitKeyIsTheKnownBlock) {
    TestProfile profile;
    const Bytes hash = pattern(32, 0x11);
    Bytes out;
    ASSERT_EQ(profile.BuildSignBuffer(CSC_Profile_Base::cAlgSha256, 2048, hash.data(), 32, out, true),
              kivo::card::cOk);
    ASSERT_EQ(out.size(), 256u);
    // 00 01, FF up to the separator, 00, then the 51-byte DigestInfo.
    const std::size_t separator = 256 - 51 - 1;
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0x01);
    for (std::size_t i = 2; i < separator; ++i) ASSERT_EQ(out[i], 0xFF) << "byte " << i;
    EXPECT_EQ(out[separator], 0x00);
    EXPECT_EQ(hexText(Bytes(out.begin() + separator + 1, out.end())),
              "3031300D060960864801650304020105000420" + hexText(hash));
}

TEST(ProfileBuildSignBuffer, KeyTooSmallForThePaddedBlockFails) {
    TestProfile profile;
    const Bytes sha512 = pattern(64, 1);
    const Bytes raw = pattern(32, 2);
    Bytes out;
    // An 83-byte SHA-512 DigestInfo cannot fit into a 64-byte block.
    EXPECT_NE(profile.BuildSignBuffer(CSC_Profile_Base::cAlgSha512, 512, sha512.data(), 64, out, true),
              kivo::card::cOk);
    // A raw 32-byte value needs at least 35 bytes (00 01 .. 00).
    EXPECT_NE(profile.BuildSignBuffer(CSC_Profile_Base::cAlgRawHash, 256, raw.data(), 32, out, true),
              kivo::card::cOk);
    EXPECT_NE(profile.BuildSignBuffer(CSC_Profile_Base::cAlgSha256, 0, raw.data(), 32, out, true),
              kivo::card::cOk);
    // Without padding the key size does not matter.
    EXPECT_EQ(profile.BuildSignBuffer(CSC_Profile_Base::cAlgSha512, 512, sha512.data(), 64, out, false),
              kivo::card::cOk);
    EXPECT_EQ(out.size(), 83u);
}

TEST(ProfileSMKeys, StoresBothKeysUpTo512BytesAndRefusesLongerOrMissingOnes) {
    TestProfile profile;
    const Bytes key1 = pattern(512, 3);
    const Bytes key2 = pattern(3, 9);
    ASSERT_EQ(profile.SetSMKeys(key1.data(), 512, key2.data(), 3), kivo::card::cOk);
    EXPECT_EQ(profile.SmKey1(), key1);
    EXPECT_EQ(profile.SmKey2(), key2);

    // Too long a first or second key: refused, and both keys are gone.
    const Bytes tooLong = pattern(513, 5);
    EXPECT_EQ(profile.SetSMKeys(tooLong.data(), 513, key2.data(), 3), kivo::card::cFailed);
    EXPECT_TRUE(profile.SmKey1().empty());
    EXPECT_TRUE(profile.SmKey2().empty());

    ASSERT_EQ(profile.SetSMKeys(key2.data(), 3, key1.data(), 512), kivo::card::cOk);
    EXPECT_EQ(profile.SmKey1(), key2);
    EXPECT_EQ(profile.SmKey2(), key1);
    EXPECT_EQ(profile.SetSMKeys(key2.data(), 3, tooLong.data(), 513), kivo::card::cFailed);
    EXPECT_TRUE(profile.SmKey1().empty());
    EXPECT_TRUE(profile.SmKey2().empty());

    // A missing key: refused, both cleared.
    ASSERT_EQ(profile.SetSMKeys(key2.data(), 3, key2.data(), 3), kivo::card::cOk);
    EXPECT_EQ(profile.SetSMKeys(nullptr, 3, key2.data(), 3), kivo::card::cFailed);
    EXPECT_TRUE(profile.SmKey1().empty());
    EXPECT_TRUE(profile.SmKey2().empty());
    ASSERT_EQ(profile.SetSMKeys(key2.data(), 3, key2.data(), 3), kivo::card::cOk);
    EXPECT_EQ(profile.SetSMKeys(key2.data(), 3, nullptr, 3), kivo::card::cFailed);
    EXPECT_TRUE(profile.SmKey1().empty());
    EXPECT_TRUE(profile.SmKey2().empty());
}

TEST(ProfileSerialNumber, HexTextAndRightAlignedSixteenByteTail) {
    EXPECT_EQ(CSC_Profile_Base::hex2str(nullptr, 0), "");
    const Bytes mixed = {0x00, 0x0A, 0xAB, 0x7F, 0xF0, 0xFF};
    EXPECT_EQ(CSC_Profile_Base::hex2str(mixed.data(), 6), "000aab7ff0ff");

    TestProfile profile;
    const Bytes shortSerial = {0x4B, 0x49, 0x56, 0x4F, 0x00, 0x00, 0x00, 0x2A};
    profile.SetSerialNumber(shortSerial.data(), 8);
    EXPECT_EQ(profile.SerialNumberText(), "4b49564f0000002a");
    Bytes tail(profile.CardIdTail().begin(), profile.CardIdTail().end());
    EXPECT_EQ(hexText(tail), "00000000000000004B49564F0000002A");

    // Longer than 16 bytes: the text keeps all of it, the tail the last 16.
    const Bytes longSerial = pattern(20, 0x31);
    profile.SetSerialNumber(longSerial.data(), 20);
    EXPECT_EQ(profile.SerialNumberText(), CSC_Profile_Base::hex2str(longSerial.data(), 20));
    EXPECT_EQ(profile.SerialNumberText().size(), 40u);
    tail.assign(profile.CardIdTail().begin(), profile.CardIdTail().end());
    EXPECT_EQ(tail, Bytes(longSerial.begin() + 4, longSerial.end()));

    // A shorter number after a longer one leaves no bytes of the old one.
    const Bytes one = {0x99};
    profile.SetSerialNumber(one.data(), 1);
    EXPECT_EQ(profile.SerialNumberText(), "99");
    tail.assign(profile.CardIdTail().begin(), profile.CardIdTail().end());
    EXPECT_EQ(hexText(tail), "00000000000000000000000000000099");
}

TEST(ProfileCardType, NamesOfTheCardTypes) {
    const std::pair<std::int32_t, const char*> known[] = {
        {1, "TCOS 2.0"},     {2, "TCOS 3.0"},         {3, "Micardo 2.1"},
        {4, "CardOS 4.3b"},  {5, "Starcos 3.0"},      {6, "Seccos"},
        {7, "Setcos"},       {9, "Starcos 3.2"},      {10, "Setcos 4.4.2"},
        {11, "CardOS 4.4"},  {12, "Starcos 3.4"},     {13, "TCOS 3.0v2"},
        {14, "Starcos 3.5"}, {15, "CardOS 5.0"},      {16, "CardOS 5.4"},
        {19, "Starcos 3.7 DGN"}, {20, "CardOS 6.0"},  {21, "Starcos 3.7 D-Trust"},
    };
    TestProfile profile;
    for (const auto& [type, name] : known) {
        profile.SetCardType(type);
        EXPECT_EQ(profile.CardType(), type);
        EXPECT_EQ(profile.CardOsName(), name) << "type " << type;
    }
    for (std::int32_t type : {0, 8, 17, 18, 22, -1}) {
        profile.SetCardType(type);
        EXPECT_EQ(profile.CardType(), type);
        EXPECT_EQ(profile.CardOsName(), "unknown smartcard") << "type " << type;
    }
}

TEST(ProfileNewCardObject, StartsAtTheMfAndTakesLengthsWithTheProfile) {
    TestProfile profile;
    EXPECT_EQ(profile.GetCurrFilePath(), "3f00");
    EXPECT_EQ(profile.CardType(), 0);
    EXPECT_EQ(profile.CardProfile(), 0);
    EXPECT_EQ(profile.BlockSize(), 240);
    EXPECT_EQ(profile.RsaKeyLength(), 2048u);
    EXPECT_EQ(profile.SecondKeyLength(), 1024u);
    EXPECT_FALSE(profile.IsSMActive());

    // Setting the profile asks for the PIN and key lengths.
    profile.SetCardProfile(21);
    EXPECT_EQ(profile.CardProfile(), 21);
    EXPECT_EQ(profile.PinMinLength(), 4);
    EXPECT_EQ(profile.PinMaxLength(), 8);
    EXPECT_EQ(profile.SecondKeyLength(), 2048u);

    EXPECT_EQ(profile.InitSM(), kivo::card::cOk);
    EXPECT_TRUE(profile.IsSMActive());
}

}  // namespace
}  // namespace kivo::test
