// The virtual card through real pcsc-lite: pcscd with the vsmartcard-vpcd
// driver and tools/vcard holding cards/test_card.txt (started by
// scripts/test.sh). Every test also checks what vcard recorded.

#include "CryptoCheck.h"
#include "VcardSession.h"

#include "Card.h"
#include "Description.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace kivo::test {
namespace {

const std::string kPuk = "3132333435363738";  // "12345678"

std::string keyFile(const std::string& name) {
    const char* dir = std::getenv("KIVO_VCARD_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

// 00 01 02 ... as in the description's seq: contents.
CardBytes counting(std::size_t from, std::size_t count) {
    CardBytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(from + i);
    return bytes;
}

CardBytes dataOf(const CardBytes& response) {
    return response.size() < 2 ? CardBytes{} : CardBytes(response.begin(), response.end() - 2);
}

CardBytes command(const std::string& header, const CardBytes& data, bool withLe) {
    CardBytes apdu = hexBytes(header);
    apdu.push_back(static_cast<std::uint8_t>(data.size()));
    apdu.insert(apdu.end(), data.begin(), data.end());
    if (withLe) apdu.push_back(0x00);
    return apdu;
}

TEST_F(VcardTest, ReaderIsListed) {
    DWORD length = SCARD_AUTOALLOCATE;
    char* readers = nullptr;
    ASSERT_EQ(SCardListReaders(session.context(), nullptr, reinterpret_cast<char*>(&readers), &length),
              SCARD_S_SUCCESS);
    std::vector<std::string> names;
    for (const char* p = readers; *p; p += std::strlen(p) + 1) names.emplace_back(p);
    SCardFreeMemory(session.context(), readers);
    EXPECT_NE(std::find(names.begin(), names.end(), session.reader()), names.end())
        << "reader list lacks " << session.reader();
}

TEST_F(VcardTest, CardIsPresentWithTheDescribedAtr) {
    vcard::Card card;
    std::ifstream description(std::string(KIVO_VCARD_CARDS) + "/test_card.txt");
    vcard::loadDescription(description, keyFile(""), card);

    char name[256];
    DWORD nameLength = sizeof name;
    DWORD state = 0;
    DWORD protocol = 0;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    ASSERT_EQ(SCardStatus(session.card(), name, &nameLength, &state, &protocol, atr, &atrLength),
              SCARD_S_SUCCESS);
    EXPECT_TRUE(state & SCARD_PRESENT);
    EXPECT_EQ(hexText(CardBytes(atr, atr + atrLength)), hexText(card.atr));
    EXPECT_EQ(hexText(card.atr), "3B8A80014B49564F56434152443163");
}

TEST_F(VcardTest, ReadBinaryWithOffsetsEndsWith6282And6B00) {
    EXPECT_EQ(session.send("00A4000C023F00"), 0x9000);
    EXPECT_EQ(session.send("00A4020C020101"), 0x9000);

    CardBytes first = session.transmit(hexBytes("00B00000F0"));
    EXPECT_EQ(VcardSession::sw(first), 0x9000);
    EXPECT_EQ(dataOf(first), counting(0, 240));

    CardBytes second = session.transmit(hexBytes("00B000F0F0"));  // offset 240
    EXPECT_EQ(VcardSession::sw(second), 0x9000);
    EXPECT_EQ(dataOf(second), counting(240, 240));

    CardBytes last = session.transmit(hexBytes("00B001E0F0"));  // offset 480: 20 bytes left
    EXPECT_EQ(VcardSession::sw(last), 0x6282);
    EXPECT_EQ(dataOf(last), counting(480, 20));

    EXPECT_EQ(session.send("00B001F5F0"), 0x6B00);  // offset 501, past the end

    auto exchanges = session.recorded();
    ASSERT_EQ(exchanges.size(), 6u);
    EXPECT_EQ(exchanges[4].command, "00B001E0F0");
    EXPECT_EQ(exchanges[4].response, hexText(counting(480, 20)) + "6282");
    EXPECT_EQ(exchanges[5], (RecordedExchange{"00B001F5F0", "6B00"}));
}

TEST_F(VcardTest, SelectByPathReturnsControlInformation) {
    // Path from the MF, FCP wanted: 62 with size 300 (01 2C), EF, FID C000.
    CardBytes fcp = session.transmit(hexBytes("00A4080404 5015C000 00"));
    EXPECT_EQ(hexText(fcp), "620E8002012C820101" "8302C000" "8A0105" "9000");

    // Path from the current DF (5015), FCI wanted: template 6F.
    CardBytes fci = session.transmit(hexBytes("00A4090002C00100"));
    EXPECT_EQ(hexText(fci), "6F0E800200058201018302C0018A01059000");

    // The description's own FCP for 5032 is returned as given.
    CardBytes given = session.transmit(hexBytes("00A4020402503200"));
    EXPECT_EQ(hexText(given), "6211800200118201018302503288010C8A01059000");

    // The DF by name and by identifier, a missing file, a wrong P1.
    EXPECT_EQ(session.send("00A4040C0CA000000063504B43532D3135"), 0x9000);
    EXPECT_EQ(session.send("00A4010C025015"), 0x6A82);  // 5015 is not under 5015
    EXPECT_EQ(session.send("00A4000C025015"), 0x9000);  // the current DF itself
    EXPECT_EQ(session.send("00A4000C024711"), 0x6A82);
    EXPECT_EQ(session.send("00A4050C025015"), 0x6A86);
    EXPECT_EQ(session.recorded().size(), 8u);
}

TEST_F(VcardTest, ReadRecordByNumberAndShortIdentifier) {
    EXPECT_EQ(session.send("00A4020C022F00"), 0x9000);
    CardBytes first = session.transmit(hexBytes("00B2010400"));
    EXPECT_EQ(hexText(first), "61164F0CA000000063504B43532D31355006504B435331359000");
    CardBytes second = session.transmit(hexBytes("00B202F400"));  // SFI 30
    EXPECT_EQ(hexText(second), "610C4F08D27600008501010050009000");
    EXPECT_EQ(session.send("00B2030400"), 0x6A83);
    EXPECT_EQ(session.send("00A4020C020101"), 0x9000);
    EXPECT_EQ(session.send("00B2010400"), 0x6981);  // transparent file
}

TEST_F(VcardTest, UpdateBinaryIsReadBack) {
    EXPECT_EQ(session.send("00A4080C045015 0102"), 0x9000);
    EXPECT_EQ(session.send("00D6000A04CAFEBABE"), 0x9000);
    CardBytes back = session.transmit(hexBytes("00B0000808"));
    EXPECT_EQ(hexText(back), "0809CAFEBABE0E0F9000");
    EXPECT_EQ(session.send("00D6003E04CAFEBABE"), 0x6A84);  // would grow the file
    EXPECT_EQ(session.send("00D6000A040A0B0C0D"), 0x9000);  // restore
    EXPECT_EQ(hexText(dataOf(session.transmit(hexBytes("00B0000040")))), hexText(counting(0, 64)));
}

// Brings PIN `ref` back to `value` with a full counter through the PUK, so
// that each PIN test starts from the same state whatever ran before.
void restorePin(VcardSession& s, const std::string& ref, const std::string& value) {
    std::string data = kPuk + value;
    CardBytes lc = {static_cast<std::uint8_t>(data.size() / 2)};
    ASSERT_EQ(s.send("002C00" + ref + hexText(lc) + data), 0x9000);
}

TEST_F(VcardTest, VerifyCountsWrongTriesAndResetsOnTheRightPin) {
    restorePin(session, "81", "313233343536");
    session.markRecord();
    EXPECT_EQ(session.send("0020008100"), 0x63C3);  // state only, no try
    EXPECT_EQ(session.send("0020008106313131313131"), 0x63C2);
    EXPECT_EQ(session.send("0020008100"), 0x63C2);
    EXPECT_EQ(session.send("0020008106313233343536"), 0x9000);
    EXPECT_EQ(session.send("0020008100"), 0x9000);  // verified
    EXPECT_EQ(session.send("0020009900"), 0x6A88);  // no such PIN

    std::vector<RecordedExchange> expected = {
        {"0020008100", "63C3"},
        {"0020008106313131313131", "63C2"},
        {"0020008100", "63C2"},
        {"0020008106313233343536", "9000"},
        {"0020008100", "9000"},
        {"0020009900", "6A88"},
    };
    EXPECT_EQ(session.recorded(), expected);
}

TEST_F(VcardTest, PinBlocksAfterItsRetriesAndThePukUnblocksIt) {
    restorePin(session, "82", "31323334");
    EXPECT_EQ(session.send("002000820439393939"), 0x63C2);
    EXPECT_EQ(session.send("002000820439393939"), 0x63C1);
    EXPECT_EQ(session.send("002000820439393939"), 0x63C0);
    EXPECT_EQ(session.send("002000820431323334"), 0x6983);  // right PIN, but blocked
    EXPECT_EQ(session.send("0020008200"), 0x6983);
    // Wrong PUK: counted on the PUK, the PIN stays blocked.
    EXPECT_EQ(session.send("002C00820D" "3939393939393939" "3132333435"), 0x63C9);
    EXPECT_EQ(session.send("002C018208" + kPuk), 0x9000);  // PUK only: counter reset
    EXPECT_EQ(session.send("0020008200"), 0x63C3);
    EXPECT_EQ(session.send("002000820431323334"), 0x9000);
}

TEST_F(VcardTest, ChangeReferenceDataAndResetRetryCounterWithNewPin) {
    restorePin(session, "82", "31323334");
    // Current PIN 1234 followed by the new PIN 987654.
    EXPECT_EQ(session.send("002400820A" "31323334" "393837363534"), 0x9000);
    EXPECT_EQ(session.send("002000820431323334"), 0x63C2);
    EXPECT_EQ(session.send("0020008206393837363534"), 0x9000);
    // A wrong current PIN counts as a wrong try.
    EXPECT_EQ(session.send("002400820C" "393939393939" "313233343536"), 0x63C2);
    // PUK and new PIN 1234.
    EXPECT_EQ(session.send("002C00820C" + kPuk + "31323334"), 0x9000);
    EXPECT_EQ(session.send("0020008200"), 0x63C3);
    EXPECT_EQ(session.send("002000820431323334"), 0x9000);
}

TEST_F(VcardTest, GetChallengeGivesFreshBytes) {
    CardBytes a = session.transmit(hexBytes("0084000008"));
    CardBytes b = session.transmit(hexBytes("0084000008"));
    ASSERT_EQ(a.size(), 10u);
    ASSERT_EQ(b.size(), 10u);
    EXPECT_EQ(VcardSession::sw(a), 0x9000);
    EXPECT_NE(dataOf(a), dataOf(b));
    auto exchanges = session.recorded();
    ASSERT_EQ(exchanges.size(), 2u);
    EXPECT_EQ(exchanges[0].response, hexText(a));
}

TEST_F(VcardTest, GetDataAndUnknownCommands) {
    EXPECT_EQ(hexText(session.transmit(hexBytes("00CA010100"))), "4B49564F0000002A9000");
    EXPECT_EQ(session.send("00CA010300"), 0x6A88);
    EXPECT_EQ(session.send("00EE000000"), 0x6D00);
    EXPECT_EQ(session.send("80CA010100"), 0x6E00);
}

TEST_F(VcardTest, RsaSignatureVerifiesWithThePublicKey) {
    restorePin(session, "81", "313233343536");
    const CardBytes message = {'k', 'i', 'v', 'o'};
    CardBytes digestInfo = sha256DigestInfo(message);

    EXPECT_EQ(session.send("002241B606800102840102"), 0x9000);
    EXPECT_EQ(VcardSession::sw(session.transmit(command("002A9E9A", digestInfo, true))), 0x6982);
    EXPECT_EQ(session.send("0020008106313233343536"), 0x9000);
    CardBytes response = session.transmit(command("002A9E9A", digestInfo, true));
    ASSERT_EQ(VcardSession::sw(response), 0x9000);
    CardBytes signature = dataOf(response);
    EXPECT_EQ(signature.size(), 256u);
    EXPECT_TRUE(verifyRsaSha256(keyFile("rsa2048.pem"), sha256(message), signature));
}

TEST_F(VcardTest, EcdsaSignatureVerifiesWithThePublicKey) {
    restorePin(session, "81", "313233343536");
    EXPECT_EQ(session.send("0020008106313233343536"), 0x9000);
    EXPECT_EQ(session.send("002241B603840103"), 0x9000);
    CardBytes hash = sha256({1, 2, 3});
    CardBytes response = session.transmit(command("002A9E9A", hash, true));
    ASSERT_EQ(VcardSession::sw(response), 0x9000);
    CardBytes signature = dataOf(response);
    EXPECT_EQ(signature.size(), 64u);
    EXPECT_TRUE(verifyEcdsaPlain(keyFile("ec256.pem"), hash, signature));
}

TEST_F(VcardTest, SignatureNeedsAKeyInTheEnvironment) {
    CardBytes digestInfo = sha256DigestInfo({1});
    EXPECT_EQ(VcardSession::sw(session.transmit(command("002A9E9A", digestInfo, true))), 0x6985);
    EXPECT_EQ(session.send("002241B603840177"), 0x6A88);  // unknown key
}

TEST_F(VcardTest, DecipherRoundTripWithCommandChaining) {
    restorePin(session, "81", "313233343536");
    session.markRecord();
    EXPECT_EQ(session.send("0020008106313233343536"), 0x9000);
    EXPECT_EQ(session.send("002241B803840104"), 0x9000);
    const CardBytes secret = counting(7, 32);
    CardBytes cryptogram = rsaEncrypt(keyFile("rsa2048-dec.pem"), secret);
    ASSERT_EQ(cryptogram.size(), 256u);
    // Padding indicator 00 and the cryptogram: 257 bytes in two links.
    CardBytes data = {0x00};
    data.insert(data.end(), cryptogram.begin(), cryptogram.end());
    CardBytes head(data.begin(), data.begin() + 200);
    CardBytes tail(data.begin() + 200, data.end());
    EXPECT_EQ(VcardSession::sw(session.transmit(command("102A8086", head, false))), 0x9000);
    CardBytes response = session.transmit(command("002A8086", tail, true));
    ASSERT_EQ(VcardSession::sw(response), 0x9000);
    EXPECT_EQ(dataOf(response), secret);

    auto exchanges = session.recorded();
    ASSERT_EQ(exchanges.size(), 4u);
    EXPECT_EQ(exchanges[2].command, hexText(command("102A8086", head, false)));
    EXPECT_EQ(exchanges[3].response, hexText(secret) + "9000");
}

}  // namespace
}  // namespace kivo::test
