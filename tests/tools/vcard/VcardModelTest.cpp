// The virtual card's model without PC/SC: parsing, descriptions, exchange scripts, key operations.

#include "tests/support/card/CryptoCheck.h"
#include "tests/support/card/VcardSession.h"

#include "tools/vcard/Apdu.h"
#include "tools/vcard/Card.h"
#include "tools/vcard/Description.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace kivo::test {
namespace {

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
            "vcard-model", std::vector<std::pair<std::string, std::string>>{{"rsa.pem", "rsa2048"}, {"ec.pem", "ec256"}});
        std::ofstream(keys->path() / "blob.bin", std::ios::binary) << "blob";
    }
    static void TearDownTestSuite() { keys.reset(); }
    void SetUp() override { fresh(); }
    void fresh() {
        card = vcard::Card();
        std::istringstream in(kDescription);
        vcard::loadDescription(in, keys->path(), card);
    }
    std::string run(const std::string& hex) { return hexText(card.process(hexBytes(hex))); }
    std::string run(const std::string& header, const CardBytes& data, const std::string& trailer) {
        return run(header + hexText(data) + trailer);
    }
    CardBytes signature(const std::string& response) {
        EXPECT_EQ(response.substr(response.size() - 4), "9000");
        return hexBytes(response.substr(0, response.size() - 4));
    }

    static inline std::unique_ptr<CardKeyFolder> keys;
    vcard::Card card;
};

TEST(VcardApdu, ParsesTheFourCasesShortAndExtended) {
    // Command, then its data and Le ("-": none), or "invalid".
    const std::pair<const char*, std::string> rows[] = {
        {"00A40000", " -"},           {"00B0000000", " 256"},          {"00A4000C023F00", "3F00 -"},
        {"00A40004023F0010", "3F00 16"}, {"002A808600000201020000", "0102 65536"},
        {"00A4000C053F00", "invalid"}, {"00A4", "invalid"},
    };
    for (const auto& [command, parsed] : rows) {
        const auto apdu = vcard::parseApdu(hexBytes(command));
        EXPECT_EQ(!apdu ? "invalid" : hexText(apdu->data) + " " + (apdu->le ? std::to_string(*apdu->le) : "-"), parsed)
            << command;
    }
}

TEST(VcardDescription, ErrorsAreRefusedNamingTheLine) {
    const char* broken[] = {
        "atr 3B00\nef 3F00/4711/0001 data=00\n",  // a file under a missing DF
        "df 3F00/5015\n",                          // no ATR
        "atr 3B0\n",
        "atr 3B00\nkey 01 file=does-not-exist.pem\n",
        "atr 3B00\nef 3F00/0001 data=seq:many\n",
        "atr 3B00\npin 81 value=1234 max=16\n",
    };
    for (const char* text : broken) {
        vcard::Card card;
        std::istringstream in(text);
        std::string error = "none";
        try {
            vcard::loadDescription(in, ".", card);
        } catch (const vcard::DescriptionError& e) {
            error = e.what();
        }
        EXPECT_NE(error, "none") << text;
        EXPECT_TRUE(text != broken[0] || error.find("line 2") != std::string::npos) << error;
    }
}

// Exchange scripts on the card as described: "command>answer" in hex ({0..255} the bytes
// 00 to FF, a leading * any data before the status word), "reset" powering the card up anew,
// "dialect:k=v" setting a dialect option.
TEST_F(VcardModel, AnswersAsScripted) {
    std::string first256;
    for (int i = 0; i < 256; ++i) first256 += hexText({static_cast<std::uint8_t>(i)});
    const std::pair<const char*, const char*> scripts[] = {
        {"SELECT by P2 and like ISO 7816",
         "00A4000C023F00>9000 00A40004025015>6213820138830250158407A00000006350158A01059000 "
         "00A4000002C000>6F11800200058201018302C0008801088A01059000 00A4000002C001>6F038201019000 "
         "00A4000C020101>9000 00A4000C02C000>6A82 00A4030C>9000 00A4080C043F005015>9000 00A4090C02C000>9000 "
         "00A4080C03500>6700 00A4040C07A0000000635015>9000 00A4040C02A000>6A82 00A4001C023F00>6A86"},
        {"READ BINARY: 6282 at the end, then 6B00; Le 00 is 256",
         "00B0000001>6986 00A4000C020101>9000 00B001F104>F1F2F36282 00B001F400>6282 00B001F501>6B00 "
         "00B0000002>00019000 00B00001>6700 00B0000000>{0..255}9000 00B0810002>6A82 00A4000C025015>9000 "
         "00B0810203>0304059000"},
        {"UPDATE BINARY keeps the file size",
         "00A4080C045015C000>9000 00D6000302AABB>9000 00B0000005>010203AABB9000 00D6000402AABB>6A84 "
         "00D6000602AABB>6B00"},
        {"READ RECORD by number and SFI",
         "00B2020000>6A86 00B202F400>61035001425A9000 00B2010400>61035001419000 00B2030400>6A83 "
         "00B2010402>61036282 00A4000C020101>9000 00B2010400>6981"},
        {"PIN counters: a correct PIN or PUK fills them again, a reset forgets the verification",
         "0020008100>63C3 002000810430303030>63C2 002000810431323334>9000 0020008100>9000 reset "
         "0020008100>63C3 002000810430303030>63C2 002000810430303030>63C1 002000810430303030>63C0 "
         "002000810431323334>6983 002C01810801020304050607FF>63C1 002C0181080102030405060708>9000 "
         "00200091080000000000000000>63C4 0020008100>63C3"},
        {"CHANGE REFERENCE DATA splits old and new",
         "002400810A31323334393837363534>9000 002400810431323334>6700 reset 00240181023131>6982 "
         "0020008106393837363534>9000 00240181023131>9000 00240081043132FFFF>63C2 00240081043131FFFF>9000 "
         "0020008102FFFF>9000"},
        {"RESET RETRY COUNTER with a new PIN",
         "002C00810C010203040506070835353535>9000 002000810435353535>9000 002C00810801020304050607>6700 "
         "002C02810431313131>9000 002C00920431313131>6A88 002C00910C010203040506070835353535>6985"},
        {"data objects and unknown instructions",
         "00CA0101>CAFE9000 00CA0102>6A88 0012000000>6D00 A0A4000C023F00>6E00 00A4>6700"},
        {"dialects: GET DATA in a proprietary class, the FCI size tag, answers held for GET RESPONSE",
         "A0CA010100>6E00 dialect:get-data-class=A0 A0CA010100>CAFE9000 B0CA010100>6E00 A0A4000C023F00>6E00 "
         "dialect:fci-size-tag=85 00A40800045015C000>6F11850200058201018302C0008801088A01059000 "
         "00A40804045015C000>6211800200058201018302C0008801088A01059000 dialect:get-response=CA 00CA0101>6102 "
         "00C0000001>CA6101 00C0000002>FE9000 00C0000001>6985 00CA0101>6102 00A4000C023F00>9000 "
         "00C0000002>6985"},
        {"dialects: a wrong PIN answered 6300 and still counted",
         "dialect:wrong-pin-sw=6300 002000810439393939>6300 0020008100>63C2"},
        {"dialects: one verification for each operation with a key; keys without a PIN sign on",
         "dialect:single-signature=yes 002241B603840102>9000 002000810431323334>9000 002A9E9A0301020300>*9000 "
         "002A9E9A0301020300>6982 0020008100>63C3 002000810431323334>9000 002A9E9A0301020300>*9000 "
         "002241B603840103>9000 002A9E9A0301020300>*9000 002A9E9A0301020300>*9000"},
        {"dialects: the FCP length as 81 xx, the FCI unchanged",
         "dialect:fcp-length=long 00A40004025015>628113820138830250158407A00000006350158A01059000 "
         "00A4000002C001>6F038201019000"},
    };
    for (const auto& [behaviour, script] : scripts) {
        SCOPED_TRACE(behaviour);
        fresh();
        std::istringstream steps(script);
        for (std::string step; steps >> step;) {
            const std::size_t arrow = step.find('>');
            if (step == "reset") {
                card.reset();
            } else if (step.rfind("dialect:", 0) == 0) {
                card.dialect->options[step.substr(8, step.find('=') - 8)] = step.substr(step.find('=') + 1);
            } else {
                std::string answer = step.substr(arrow + 1);
                if (answer.rfind("{0..255}", 0) == 0) answer.replace(0, 8, first256);
                const std::string got = run(step.substr(0, arrow));
                // "*9000": any data, then the status word.
                if (answer.front() == '*') answer.insert(1, got.substr(0, got.size() - std::min<std::size_t>(got.size(), 4)));
                EXPECT_EQ(got, answer.front() == '*' ? answer.substr(1) : answer) << step;
            }
        }
    }
    const std::string a = run("0084000010");
    EXPECT_EQ(a.size(), 36u);
    EXPECT_NE(run("0084000010"), a) << "GET CHALLENGE repeats itself";
}

// RSA signs a DigestInfo padded and a padded block as it is, once the key is chosen and its
// PIN verified; EC keys sign plain r and s; DECIPHER extended and chained.
TEST_F(VcardModel, KeyOperationsCheckOut) {
    const CardBytes digestInfo = sha256DigestInfo({'x'});
    const std::string cds = "002A9E9A" + hexText({static_cast<std::uint8_t>(digestInfo.size())});
    EXPECT_EQ(run(cds, digestInfo, "00"), "6985") << "no key chosen";
    EXPECT_EQ(run("002241B603840102"), "9000");
    EXPECT_EQ(run(cds, digestInfo, "00"), "6982") << "PIN not verified";
    EXPECT_EQ(run("002000810431323334"), "9000");
    const std::string signed1 = run(cds, digestInfo, "00");
    EXPECT_TRUE(verifyRsaSha256(keys->file("rsa.pem"), sha256({'x'}), signature(signed1)));
    const std::string padding = "0001" + std::string(2 * (256 - 3 - digestInfo.size()), 'F') + "00";
    EXPECT_EQ(run("002A9E9A000100" + padding + hexText(digestInfo) + "0000"), signed1);
    card.dialect->options["cds-digest-info"] = "hash-template";
    EXPECT_NE(run("002A9E9A20", sha256({'x'}), "00"), signed1) << "no hash template set";
    EXPECT_EQ(run("002241AA0489021440"), "9000");
    EXPECT_EQ(run("002A9E9A20", sha256({'x'}), "00"), signed1) << "the bare hash signed in its DigestInfo";

    EXPECT_EQ(run("002241B603840103"), "9000");  // key 03 needs no PIN
    const CardBytes hash = sha256({'y'});
    const CardBytes ecdsa = signature(run("002A9E9A20", hash, "00"));
    EXPECT_TRUE(verifyEcdsaPlain(keys->file("ec.pem"), hash, ecdsa));

    EXPECT_EQ(run("002241B803840102"), "9000");
    CardBytes cryptogram = rsaEncrypt(keys->file("rsa.pem"), {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(run("002A808600010100", cryptogram, "0000"), "01020304050607089000");
    const CardBytes head(cryptogram.begin(), cryptogram.begin() + 128);
    const CardBytes tail(cryptogram.begin() + 128, cryptogram.end());
    EXPECT_EQ(run("102A808680", head, ""), "9000");
    EXPECT_EQ(run("002A808680", tail, "00"), "01020304050607089000");
    EXPECT_EQ(run("102A808680", head, ""), "9000");
    EXPECT_EQ(run("00B0000001"), "6883");
    cryptogram[10] ^= 0x55;
    EXPECT_EQ(run("002A808600010100", cryptogram, "0000"), "6A80");
}

}  // namespace
}  // namespace kivo::test
