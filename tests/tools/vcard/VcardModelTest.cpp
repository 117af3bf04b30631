// The virtual card's model without PC/SC: command parsing, the description
// format, the file system, PIN counters and the key operations.

#include "tests/support/card/CryptoCheck.h"
#include "tests/support/card/VcardSession.h"

#include "tools/vcard/Apdu.h"
#include "tools/vcard/Card.h"
#include "tools/vcard/Description.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace kivo::test {
namespace {

namespace fs = std::filesystem;

const char* kDescription = R"(
atr 3B 80 80 01 01             # minimal T=1 ATR
records 3F00/2F00 sfi=30
record  3F00/2F00 6103500141
record  3F00/2F00 61035001425A
ef 3F00/0101 data=seq:500
df 3F00/5015 aid=A0000000635015
ef 3F00/5015/C000 data=0102030405 sfi=1
ef 3F00/5015/C001 data=@blob.bin fci=6F03820101
pin 81 value=1234 max=3 puk=91
pin 91 value=hex:0102030405060708 tries=2 max=5
key 02 file=rsa.pem pin=81
key 03 file=ec.pem
data 0101 CAFE
)";

class VcardModel : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        keys = std::make_unique<CardKeyFolder>(
            "vcard-model", std::vector<std::pair<std::string, std::string>>{{"rsa.pem", "rsa2048"},
                                                                           {"ec.pem", "ec256"}});
        dir = keys->path();
        std::ofstream(dir / "blob.bin", std::ios::binary) << "blob";
    }
    static void TearDownTestSuite() { keys.reset(); }

    void SetUp() override {
        std::istringstream in(kDescription);
        vcard::loadDescription(in, dir, card);
    }

    // The response in hex.
    std::string run(const std::string& hex) { return hexText(card.process(hexBytes(hex))); }
    CardBytes runBytes(const CardBytes& apdu) { return card.process(apdu); }

    static inline std::unique_ptr<CardKeyFolder> keys;
    static inline fs::path dir;
    vcard::Card card;
};

TEST(VcardApdu, ParsesTheFourCasesShortAndExtended) {
    auto case1 = vcard::parseApdu(hexBytes("00A40000"));
    ASSERT_TRUE(case1);
    EXPECT_TRUE(case1->data.empty());
    EXPECT_FALSE(case1->le);

    auto case2 = vcard::parseApdu(hexBytes("00B0000000"));
    ASSERT_TRUE(case2);
    EXPECT_EQ(case2->le, 256u);

    auto case3 = vcard::parseApdu(hexBytes("00A4000C023F00"));
    ASSERT_TRUE(case3);
    EXPECT_EQ(hexText(case3->data), "3F00");
    EXPECT_FALSE(case3->le);

    auto case4 = vcard::parseApdu(hexBytes("00A40004023F0010"));
    ASSERT_TRUE(case4);
    EXPECT_EQ(case4->le, 0x10u);

    auto extended = vcard::parseApdu(hexBytes("002A808600000201020000"));
    ASSERT_TRUE(extended);
    EXPECT_EQ(hexText(extended->data), "0102");
    EXPECT_EQ(extended->le, 65536u);

    EXPECT_FALSE(vcard::parseApdu(hexBytes("00A4000C053F00")));  // Lc larger than the data
    EXPECT_FALSE(vcard::parseApdu(hexBytes("00A4")));
}

TEST_F(VcardModel, DescriptionBuildsTheCard) {
    EXPECT_EQ(hexText(card.atr), "3B80800101");
    const vcard::CardFile* blob = card.files.find({0x3F00, 0x5015, 0xC001});
    ASSERT_NE(blob, nullptr);
    EXPECT_EQ(std::string(blob->content.begin(), blob->content.end()), "blob");
    const vcard::Pin* puk = card.security.pin(0x91);
    ASSERT_NE(puk, nullptr);
    EXPECT_EQ(hexText(puk->value), "0102030405060708");
    EXPECT_EQ(puk->retries, 2);
    EXPECT_EQ(puk->maxRetries, 5);
}

TEST(VcardDescription, ErrorsNameTheLine) {
    vcard::Card card;
    std::istringstream in("atr 3B00\nef 3F00/4711/0001 data=00\n");
    try {
        vcard::loadDescription(in, ".", card);
        FAIL() << "a file under a missing DF was accepted";
    } catch (const vcard::DescriptionError& e) {
        EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
    }
    vcard::Card other;
    std::istringstream noAtr("df 3F00/5015\n");
    EXPECT_THROW(vcard::loadDescription(noAtr, ".", other), vcard::DescriptionError);
    std::istringstream badHex("atr 3B0\n");
    EXPECT_THROW(vcard::loadDescription(badHex, ".", other), vcard::DescriptionError);
    std::istringstream missingKey("atr 3B00\nkey 01 file=does-not-exist.pem\n");
    EXPECT_THROW(vcard::loadDescription(missingKey, ".", other), vcard::DescriptionError);
    std::istringstream badSize("atr 3B00\nef 3F00/0001 data=seq:many\n");
    EXPECT_THROW(vcard::loadDescription(badSize, ".", other), vcard::DescriptionError);
    std::istringstream badCounter("atr 3B00\npin 81 value=1234 max=16\n");
    EXPECT_THROW(vcard::loadDescription(badCounter, ".", other), vcard::DescriptionError);
}

TEST_F(VcardModel, SelectAnswersPerP2AndSearchesLikeIso7816) {
    EXPECT_EQ(run("00A4000C023F00"), "9000");
    EXPECT_EQ(run("00A40004025015"), "621382013883025015" "8407A0000000635015" "8A0105" "9000");
    EXPECT_EQ(run("00A4000002C000"), "6F1180020005820101" "8302C000" "880108" "8A0105" "9000");
    EXPECT_EQ(run("00A4000002C001"), "6F038201019000");  // given FCI
    EXPECT_EQ(run("00A4000C020101"), "9000");              // a child of the parent
    EXPECT_EQ(run("00A4000C02C000"), "6A82");              // not visible from the MF
    EXPECT_EQ(run("00A4030C"), "9000");                    // parent: the MF again
    EXPECT_EQ(run("00A4080C043F005015"), "9000");          // path with the MF's own FID
    EXPECT_EQ(run("00A4090C02C000"), "9000");
    EXPECT_EQ(run("00A4080C03500"), "6700");
    EXPECT_EQ(run("00A4040C07A0000000635015"), "9000");
    EXPECT_EQ(run("00A4040C02A000"), "6A82");
    EXPECT_EQ(run("00A4001C023F00"), "6A86");
}

TEST_F(VcardModel, ReadBinaryEndsWith6282ThenRefusesBeyondTheEnd) {
    EXPECT_EQ(run("00B0000001"), "6986");  // no current EF after reset
    EXPECT_EQ(run("00A4000C020101"), "9000");
    EXPECT_EQ(run("00B001F104"), "F1F2F3" "6282");
    EXPECT_EQ(run("00B001F400"), "6282");      // at the end: nothing left
    EXPECT_EQ(run("00B001F501"), "6B00");      // beyond the end
    EXPECT_EQ(run("00B0000002"), "0001" "9000");
    EXPECT_EQ(run("00B00001"), "6700");        // no Le
    CardBytes all = runBytes(hexBytes("00B0000000"));  // Le 00: 256 bytes
    EXPECT_EQ(all.size(), 258u);
    EXPECT_EQ(run("00B0810002"), "6A82");      // no SFI 1 in the MF
    EXPECT_EQ(run("00A4000C025015"), "9000");
    EXPECT_EQ(run("00B0810203"), "030405" "9000");  // SFI 1 (C000), offset 2
}

TEST_F(VcardModel, UpdateBinaryKeepsTheFileSize) {
    EXPECT_EQ(run("00A4080C045015C000"), "9000");
    EXPECT_EQ(run("00D6000302AABB"), "9000");
    EXPECT_EQ(run("00B0000005"), "010203AABB9000");
    EXPECT_EQ(run("00D6000402AABB"), "6A84");
    EXPECT_EQ(run("00D6000602AABB"), "6B00");
}

TEST_F(VcardModel, ReadRecordByNumberAndSfi) {
    EXPECT_EQ(run("00B2020000"), "6A86");  // P2 must say "by number"
    EXPECT_EQ(run("00B202F400"), "61035001425A9000");
    EXPECT_EQ(run("00B2010400"), "61035001419000");  // SFI made 2F00 current
    EXPECT_EQ(run("00B2030400"), "6A83");
    EXPECT_EQ(run("00B2010402"), "61036282");
    EXPECT_EQ(run("00A4000C020101"), "9000");
    EXPECT_EQ(run("00B2010400"), "6981");
}

TEST_F(VcardModel, PinCountersBlockAndUnblock) {
    EXPECT_EQ(run("0020008100"), "63C3");
    EXPECT_EQ(run("002000810430303030"), "63C2");
    EXPECT_EQ(run("002000810430303030"), "63C1");
    EXPECT_EQ(run("002000810430303030"), "63C0");
    EXPECT_EQ(run("002000810431323334"), "6983");
    EXPECT_EQ(card.security.pin(0x81)->retries, 0);
    // The PUK has two tries left; a wrong one leaves one.
    EXPECT_EQ(run("002C01810801020304050607FF"), "63C1");
    EXPECT_EQ(run("002C0181080102030405060708"), "9000");
    EXPECT_EQ(card.security.pin(0x91)->retries, 5);  // PUK back to its maximum
    EXPECT_EQ(run("0020008100"), "63C3");
    EXPECT_EQ(run("002000810431323334"), "9000");
    EXPECT_EQ(run("0020008100"), "9000");
    card.reset();
    EXPECT_EQ(run("0020008100"), "63C3");  // a reset forgets the verification
}

TEST_F(VcardModel, ChangeReferenceDataSplitsOldAndNew) {
    EXPECT_EQ(run("002400810A31323334393837363534"), "9000");
    EXPECT_EQ(hexText(card.security.pin(0x81)->value), "393837363534");
    EXPECT_EQ(run("002400810431323334"), "6700");  // no room for a new PIN
    card.reset();
    EXPECT_EQ(run("00240181023131"), "6982");      // new PIN only needs a verification
    EXPECT_EQ(run("0020008106393837363534"), "9000");
    EXPECT_EQ(run("00240181023131"), "9000");      // PIN now "11"
    EXPECT_EQ(run("00240081043132FFFF"), "63C2");  // "12" is not the current PIN
    EXPECT_EQ(run("00240081043131FFFF"), "9000");
    EXPECT_EQ(hexText(card.security.pin(0x81)->value), "FFFF");
}

TEST_F(VcardModel, ResetRetryCounterWithNewPin) {
    EXPECT_EQ(run("002C00810C010203040506070835353535"), "9000");
    EXPECT_EQ(hexText(card.security.pin(0x81)->value), "35353535");
    EXPECT_EQ(run("002C00810801020304050607"), "6700");
    EXPECT_EQ(run("002C02810431313131"), "9000");  // PUK verified above
    EXPECT_EQ(run("002C00920431313131"), "6A88");
    EXPECT_EQ(run("002C00910C010203040506070835353535"), "6985");  // the PUK has no PUK
}

TEST_F(VcardModel, RsaSigningPadsADigestInfoAndSignsFullBlocksRaw) {
    CardBytes digestInfo = sha256DigestInfo({'x'});
    CardBytes sign = hexBytes("002A9E9A");
    sign.push_back(static_cast<std::uint8_t>(digestInfo.size()));
    sign.insert(sign.end(), digestInfo.begin(), digestInfo.end());
    sign.push_back(0x00);

    EXPECT_EQ(hexText(runBytes(sign)), "6985");  // no key chosen
    EXPECT_EQ(run("002241B603840102"), "9000");
    EXPECT_EQ(hexText(runBytes(sign)), "6982");  // PIN 81 not verified
    EXPECT_EQ(run("002000810431323334"), "9000");
    CardBytes response = runBytes(sign);
    ASSERT_EQ(response.size(), 258u);
    EXPECT_EQ(VcardSession::sw(response), 0x9000);
    CardBytes signature(response.begin(), response.end() - 2);
    EXPECT_TRUE(verifyRsaSha256((dir / "rsa.pem").string(), sha256({'x'}), signature));

    // The same block padded by the host is signed as it is: same signature.
    CardBytes block(256, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[256 - digestInfo.size() - 1] = 0x00;
    std::copy(digestInfo.begin(), digestInfo.end(), block.end() - static_cast<long>(digestInfo.size()));
    CardBytes raw = hexBytes("002A9E9A000100");
    raw.insert(raw.end(), block.begin(), block.end());
    raw.insert(raw.end(), {0x00, 0x00});
    CardBytes rawResponse = runBytes(raw);
    EXPECT_EQ(hexText(rawResponse), hexText(response));
}

TEST_F(VcardModel, EcdsaSignatureIsPlainRAndS) {
    EXPECT_EQ(run("002241B603840103"), "9000");  // key 03 needs no PIN
    CardBytes hash = sha256({'y'});
    CardBytes sign = hexBytes("002A9E9A20");
    sign.insert(sign.end(), hash.begin(), hash.end());
    sign.push_back(0x00);
    CardBytes response = runBytes(sign);
    ASSERT_EQ(response.size(), 66u);
    CardBytes signature(response.begin(), response.end() - 2);
    EXPECT_TRUE(verifyEcdsaPlain((dir / "ec.pem").string(), hash, signature));
    signature[5] ^= 1;
    EXPECT_FALSE(verifyEcdsaPlain((dir / "ec.pem").string(), hash, signature));
}

TEST_F(VcardModel, DecipherInExtendedFormAndChained) {
    EXPECT_EQ(run("002000810431323334"), "9000");
    EXPECT_EQ(run("002241B803840102"), "9000");
    CardBytes secret = {1, 2, 3, 4, 5, 6, 7, 8};
    CardBytes cryptogram = rsaEncrypt((dir / "rsa.pem").string(), secret);
    ASSERT_EQ(cryptogram.size(), 256u);

    CardBytes extended = hexBytes("002A8086000101");
    extended.push_back(0x00);  // padding indicator
    extended.insert(extended.end(), cryptogram.begin(), cryptogram.end());
    extended.insert(extended.end(), {0x00, 0x00});
    EXPECT_EQ(hexText(runBytes(extended)), "01020304050607089000");

    CardBytes head = hexBytes("102A808680");
    head.insert(head.end(), cryptogram.begin(), cryptogram.begin() + 128);
    CardBytes tail = hexBytes("002A808680");
    tail.insert(tail.end(), cryptogram.begin() + 128, cryptogram.end());
    tail.push_back(0x00);
    EXPECT_EQ(hexText(runBytes(head)), "9000");
    EXPECT_EQ(hexText(runBytes(tail)), "01020304050607089000");

    // A chain broken by another instruction is refused.
    EXPECT_EQ(hexText(runBytes(head)), "9000");
    EXPECT_EQ(run("00B0000001"), "6883");
    // A damaged cryptogram does not decipher.
    cryptogram[10] ^= 0x55;
    CardBytes bad = hexBytes("002A8086000100");
    bad.insert(bad.end(), cryptogram.begin(), cryptogram.end());
    bad.insert(bad.end(), {0x00, 0x00});
    EXPECT_EQ(hexText(runBytes(bad)), "6A80");
}

// The dialect options of the CardOS family, each off and on: a wrong PIN
// answered 6300 (still counted), PSO DECIPHER signing a PKCS#1 type-1
// block while still deciphering real cryptograms, and MSE RESTORE nn
// choosing key nn for signing.
TEST_F(VcardModel, CardOsDialectOptions) {
    EXPECT_EQ(run("002000810439393939"), "63C2");
    card.dialect->options["wrong-pin-sw"] = "6300";
    EXPECT_EQ(run("002000810439393939"), "6300");
    EXPECT_EQ(run("0020008100"), "63C1") << "counted";
    EXPECT_EQ(run("002000810431323334"), "9000");

    const CardBytes digestInfo = sha256DigestInfo({'z'});
    CardBytes decipherSign = hexBytes("002A8086000101");
    decipherSign.insert(decipherSign.end(), {0x00, 0x00, 0x01});
    decipherSign.insert(decipherSign.end(), 256 - 3 - digestInfo.size(), 0xFF);
    decipherSign.push_back(0x00);
    decipherSign.insert(decipherSign.end(), digestInfo.begin(), digestInfo.end());
    decipherSign.insert(decipherSign.end(), {0x01, 0x00});
    EXPECT_EQ(run("002241B803830102"), "9000");
    EXPECT_EQ(hexText(runBytes(decipherSign)), "6A80") << "not a cryptogram";
    card.dialect->options["decipher-signs"] = "type1";
    CardBytes response = runBytes(decipherSign);
    ASSERT_EQ(response.size(), 258u);
    EXPECT_TRUE(verifyRsaSha256((dir / "rsa.pem").string(), sha256({'z'}),
                                CardBytes(response.begin(), response.end() - 2)));
    const CardBytes cryptogram = rsaEncrypt((dir / "rsa.pem").string(), {7, 7, 7});
    CardBytes decipher = hexBytes("002A8086000101");
    decipher.push_back(0x00);
    decipher.insert(decipher.end(), cryptogram.begin(), cryptogram.end());
    decipher.insert(decipher.end(), {0x01, 0x00});
    EXPECT_EQ(hexText(runBytes(decipher)), "0707079000");

    CardBytes sign = hexBytes("002A9E9A");
    sign.push_back(static_cast<std::uint8_t>(digestInfo.size()));
    sign.insert(sign.end(), digestInfo.begin(), digestInfo.end());
    sign.push_back(0x00);
    EXPECT_EQ(run("0022F302"), "9000");
    EXPECT_EQ(hexText(runBytes(sign)), "6985") << "RESTORE alone chooses no key";
    card.dialect->options["restore-se"] = "key";
    EXPECT_EQ(run("0022F309"), "6A88");
    EXPECT_EQ(run("0022F302"), "9000");
    response = runBytes(sign);
    ASSERT_EQ(response.size(), 258u);
    EXPECT_TRUE(verifyRsaSha256((dir / "rsa.pem").string(), sha256({'z'}),
                                CardBytes(response.begin(), response.end() - 2)));
}

TEST_F(VcardModel, ChallengeDataAndUnknownInstructions) {
    CardBytes a = runBytes(hexBytes("0084000010"));
    CardBytes b = runBytes(hexBytes("0084000010"));
    ASSERT_EQ(a.size(), 18u);
    EXPECT_NE(a, b);
    EXPECT_EQ(run("0084000000").size(), 2u * 258u);
    EXPECT_EQ(run("00CA0101"), "CAFE9000");
    EXPECT_EQ(run("00CA0102"), "6A88");
    EXPECT_EQ(run("0012000000"), "6D00");
    EXPECT_EQ(run("A0A4000C023F00"), "6E00");
    EXPECT_EQ(run("00A4"), "6700");
}

// get-data-class opens one proprietary class to GET DATA only;
// pss-algorithm makes the signature template's algorithm reference sign
// a plain hash with RSASSA-PSS, while other references keep PKCS#1.
TEST_F(VcardModel, DialectOptionsForProprietaryGetDataAndPss) {
    EXPECT_EQ(run("A0CA010100"), "6E00");
    card.dialect->options = {{"get-data-class", "A0"}, {"pss-algorithm", "05"}};
    EXPECT_EQ(run("A0CA010100"), "CAFE9000");
    EXPECT_EQ(run("B0CA010100"), "6E00");
    EXPECT_EQ(run("A0A4000C023F00"), "6E00");

    const CardBytes hash = sha256({'x'});
    CardBytes sign = hexBytes("002A9E9A20");
    sign.insert(sign.end(), hash.begin(), hash.end());
    sign.push_back(0x00);
    const std::string key = (dir / "rsa.pem").string();
    auto signature = [&]() {
        CardBytes response = runBytes(sign);
        EXPECT_EQ(VcardSession::sw(response), 0x9000);
        return CardBytes(response.begin(), response.end() - 2);
    };
    EXPECT_EQ(run("002000810431323334"), "9000");
    EXPECT_EQ(run("002241B608840380020080" "0105"), "9000");
    EXPECT_TRUE(verifyRsaPss(key, hash, signature(), "SHA256", 32));
    EXPECT_EQ(run("002241B608840380020080" "0112"), "9000");
    EXPECT_FALSE(verifyRsaPss(key, hash, signature(), "SHA256", 32)) << "PKCS#1 of the bare hash";
}

// The options of a family's dialect: the FCI size tag, answers held for
// GET RESPONSE, signing with the key of the confidentiality template, and
// DECIPHER with P2 84 (the cryptogram without padding indicator).
TEST_F(VcardModel, DialectOptionsChangeTheAnswers) {
    card.dialect->options["fci-size-tag"] = "85";
    EXPECT_EQ(run("00A40800045015C000"), "6F1185020005820101" "8302C000" "880108" "8A0105" "9000");
    EXPECT_EQ(run("00A40804045015C000"), "62118002000582010183" "02C000" "880108" "8A0105" "9000");

    card.dialect->options["get-response"] = "CA";
    EXPECT_EQ(run("00CA0101"), "6102");
    EXPECT_EQ(run("00C0000001"), "CA6101");
    EXPECT_EQ(run("00C0000002"), "FE9000");
    EXPECT_EQ(run("00C0000001"), "6985");
    EXPECT_EQ(run("00CA0101"), "6102");
    EXPECT_EQ(run("00A4000C023F00"), "9000") << "not listed: answered at once";
    EXPECT_EQ(run("00C0000002"), "6985") << "another command drops what was held";

    ASSERT_EQ(run("002000810431323334"), "9000");
    ASSERT_EQ(run("002241B803840102"), "9000");
    const ByteVector digestInfo = sha256DigestInfo({'v', 'c'});
    CardBytes sign = {0x00, 0x2A, 0x9E, 0x9A, static_cast<std::uint8_t>(digestInfo.size())};
    sign.insert(sign.end(), digestInfo.begin(), digestInfo.end());
    sign.push_back(0x00);
    EXPECT_EQ(VcardSession::sw(runBytes(sign)), 0x6985) << "no key set for B6";
    card.dialect->options["signature-template"] = "B8";
    const CardBytes signature = runBytes(sign);
    ASSERT_EQ(VcardSession::sw(signature), 0x9000);
    EXPECT_TRUE(verifyRsaSha256(keys->file("rsa.pem"), sha256({'v', 'c'}),
                                CardBytes(signature.begin(), signature.end() - 2)));

    const ByteVector secret = {0x01, 0x02, 0x03};
    const ByteVector cryptogram = rsaEncrypt(keys->file("rsa.pem"), secret);
    CardBytes decipher = {0x00, 0x2A, 0x80, 0x84, 0x00, 0x01, 0x00};
    decipher.insert(decipher.end(), cryptogram.begin(), cryptogram.end());
    decipher.insert(decipher.end(), {0x00, 0x00});
    EXPECT_EQ(runBytes(decipher), (CardBytes{0x01, 0x02, 0x03, 0x90, 0x00}));
}

}  // namespace
}  // namespace kivo::test
