// CSC_Profile_Base operations that need no card: the signature block against OpenSSL's DigestInfo and PKCS#1
// type 1 padding, the secure-messaging keys and the serial number.

#include "tests/smartcard/base/TestProfile.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace kivo::test {
namespace {

using Bytes = CSC_Profile_Base::Bytes;

Bytes pattern(std::size_t length, std::uint8_t seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + 7 * i);
    return bytes;
}

// DigestInfo by OpenSSL's ASN.1 code; the hash itself for NID_undef.
Bytes opensslDigestInfo(int nid, const Bytes& hash) {
    if (nid == NID_undef) return hash;
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

TEST(ProfileBuildSignBuffer, MatchesOpenSslForEveryAlgorithmAndKeySize) {
    const struct { std::uint32_t calg; int nid; std::size_t hashLength;
    } algorithms[] = {{0x8003, NID_md5, 16},    {0x8004, NID_sha1, 20},   {0x8007, NID_ripemd160, 20},
                      {0x8008, NID_undef, 36},  {0x800C, NID_sha256, 32}, {0x800D, NID_sha384, 48},
                      {0x800E, NID_sha512, 64}, {0xFFFF, NID_undef, 32},  {0x1234, NID_sha256, 32}};
    TestProfile profile;
    for (std::uint32_t keyBits : {0u, 1024u, 2048u, 4096u}) {  // 0: the DigestInfo unpadded
        for (const auto& c : algorithms) {
            SCOPED_TRACE(::testing::Message() << std::hex << c.calg << std::dec << ", " << keyBits << " bits");
            const Bytes hash = pattern(c.hashLength, static_cast<std::uint8_t>(keyBits + c.calg));
            Bytes expected = opensslDigestInfo(c.nid, hash);
            if (keyBits != 0) {
                Bytes block(keyBits / 8);
                ASSERT_EQ(RSA_padding_add_PKCS1_type_1(block.data(), static_cast<int>(block.size()), expected.data(),
                                                       static_cast<int>(expected.size())),
                          1);
                expected = block;
            }
            Bytes out;
            ASSERT_EQ(profile.BuildSignBuffer(c.calg, keyBits == 0 ? 2048 : keyBits, hash.data(),
                                              static_cast<std::uint32_t>(hash.size()), out, keyBits != 0),
                      kivo::card::cOk);
            EXPECT_EQ(hexText(out), hexText(expected));
        }
    }
    // Blocks that do not fit the key: 83 octets into 64, 32 raw into 32, no key; a PSS value has no DigestInfo.
    const Bytes sha512 = pattern(64, 1);
    Bytes out;
    EXPECT_NE(profile.BuildSignBuffer(CSC_Profile_Base::cAlgSha256 | CSC_Profile_Base::cAlgFlagPss, 2048, sha512.data(), 32, out, false), kivo::card::cOk);
    EXPECT_NE(profile.BuildSignBuffer(CSC_Profile_Base::cAlgSha512, 512, sha512.data(), 64, out, true), kivo::card::cOk);
    EXPECT_NE(profile.BuildSignBuffer(CSC_Profile_Base::cAlgRawHash, 256, sha512.data(), 32, out, true), kivo::card::cOk);
    EXPECT_NE(profile.BuildSignBuffer(CSC_Profile_Base::cAlgSha256, 0, sha512.data(), 32, out, true), kivo::card::cOk);
}

TEST(ProfileSMKeys, UpTo512BytesAndAFailureClearsBoth) {
    TestProfile profile;
    const Bytes key1 = pattern(512, 3), key2 = pattern(3, 9), tooLong = pattern(513, 5);
    const struct { const Bytes* first; const Bytes* second; bool accepted;
    } rows[] = {{&key1, &key2, true}, {&tooLong, &key2, false}, {&key2, &key1, true},
                {&key2, &tooLong, false}, {nullptr, &key2, false}, {&key2, nullptr, false}};
    for (const auto& row : rows) {
        ASSERT_EQ(profile.SetSMKeys(key2.data(), 3, key2.data(), 3), kivo::card::cOk);
        const Bytes* sizes = row.first != nullptr ? row.first : &key2;
        const Bytes* sizes2 = row.second != nullptr ? row.second : &key2;
        EXPECT_EQ(profile.SetSMKeys(row.first ? row.first->data() : nullptr, static_cast<std::uint32_t>(sizes->size()),
                                    row.second ? row.second->data() : nullptr, static_cast<std::uint32_t>(sizes2->size())),
                  row.accepted ? kivo::card::cOk : kivo::card::cFailed);
        EXPECT_EQ(profile.SmKey1(), row.accepted ? *row.first : Bytes{});
        EXPECT_EQ(profile.SmKey2(), row.accepted ? *row.second : Bytes{});
    }
}

TEST(ProfileSerialNumber, HexTextAndRightAlignedSixteenByteTail) {
    EXPECT_EQ(CSC_Profile_Base::hex2str(nullptr, 0), "");
    const Bytes mixed = {0x00, 0x0A, 0xAB, 0x7F, 0xF0, 0xFF};
    EXPECT_EQ(CSC_Profile_Base::hex2str(mixed.data(), 6), "000aab7ff0ff");
    TestProfile profile;
    const Bytes longSerial = pattern(20, 0x31);
    const struct { Bytes serial; std::string tail;
    } rows[] = {{{0x4B, 0x49, 0x56, 0x4F, 0x00, 0x00, 0x00, 0x2A}, "00000000000000004B49564F0000002A"},
                {longSerial, hexText(Bytes(longSerial.begin() + 4, longSerial.end()))},
                {{0x99}, "00000000000000000000000000000099"}};
    for (const auto& row : rows) {
        profile.SetSerialNumber(row.serial.data(), static_cast<std::uint32_t>(row.serial.size()));
        EXPECT_EQ(profile.SerialNumberText(), CSC_Profile_Base::hex2str(row.serial.data(), row.serial.size()));
        EXPECT_EQ(hexText(Bytes(profile.CardIdTail().begin(), profile.CardIdTail().end())), row.tail);
    }
    EXPECT_EQ(profile.GetCurrFilePath(), "3f00");
}

}  // namespace
}  // namespace kivo::test
