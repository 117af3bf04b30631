// CSC_Profile_Base on the test card (through pcscd when it runs, else vcard's model): selection with its cache,
// chunked reading and writing, records, PIN commands with given and dialog PINs, GET CHALLENGE, signing and
// deciphering. Every step checks the commands the card received.

#include "tests/smartcard/base/TestProfile.h"
#include "tests/support/card/CardUnderTest.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace kivo::test {
namespace {

using Bytes = CSC_Profile_Base::Bytes;
using Commands = std::vector<std::string>;
using kivo::pin::SecretKind;
using apdu::kSelectMf;
using apdu::selectDf;
using apdu::selectEf;

constexpr CardResult kOk = kivo::card::cOk;
constexpr CardResult kFailed = kivo::card::cFailed;
constexpr const char* kPath = "3f00/0101";  // selected: the PIN commands select nothing
const std::string kPukHex = "3132333435363738";
const std::string kDirRecord1 = "61164F0CA000000063504B43532D31355006504B43533135";
const std::string kDirRecord2 = "610C4F08D2760000850101005000";
const std::string kPkcs15Aid = "A000000063504B43532D3135";

// Dialogs that answer from a table and note what was asked, while they live.
struct ScriptedDialogs {
    explicit ScriptedDialogs(std::map<SecretKind, std::optional<std::string>> answers) {
        kivo::pin::Dialogs dialogs;
        dialogs.askSecret = [this, answers](SecretKind kind, const kivo::pin::PromptTexts&) {
            asked.push_back(kind);
            const auto it = answers.find(kind);
            return it == answers.end() || !it->second ? std::nullopt : std::optional(kivo::pin::Secret(*it->second));
        };
        previous = kivo::pin::installDialogs(std::move(dialogs));
    }
    ~ScriptedDialogs() { kivo::pin::installDialogs(std::move(previous)); }
    std::vector<SecretKind> asked;
    kivo::pin::Dialogs previous;
};

// One step of a sequence on one card: what the profile does, its result, the commands the card received and,
// when given, the bytes read.
// hex; "-": not checked
struct Step {
    using Act = std::function<CardResult(TestProfile&, Bytes&, CardUnderTest&)>;
    const char* name; Act act; CardResult result; Commands sent; std::string read = "-";
};

class ProfileCardTest : public ProfileOnCard {
protected:
    ProfileCardTest() : ProfileOnCard("test_card") {}
    void SetUp() override {
        ProfileOnCard::SetUp();
        if (!HasFatalFailure()) card.connect(profile);
    }
    void run(const std::vector<Step>& steps) {
        for (const Step& step : steps) {
            SCOPED_TRACE(step.name);
            card.mark();
            Bytes out;
            EXPECT_EQ(step.act(profile, out, card), step.result);
            EXPECT_EQ(card.commands(), step.sent);
            if (step.read != "-") { EXPECT_EQ(hexText(out), step.read); }
        }
    }
    TestProfile profile;
};

CardResult select(TestProfile& p, const char* path, bool force = false, bool reselect = false, bool lastIsDf = false,
                  bool aid = false) {
    return p.SelectPath(path, force, reselect, lastIsDf, aid);
}
std::string seqHex(std::size_t from, std::size_t count) { return hexText(sequenceBytes(from, count)); }
// UPDATE BINARY commands of `data` in chunks of `size` from offset 0.
Commands updates(const Bytes& data, std::size_t size) {
    Commands out;
    for (std::size_t at = 0; at < data.size(); at += size) {
        const Bytes chunk(data.begin() + at, data.begin() + std::min(data.size(), at + size));
        out.push_back("00D6" + hexText(Bytes{std::uint8_t(at >> 8), std::uint8_t(at), std::uint8_t(chunk.size())}) + hexText(chunk));
    }
    return out;
}
Step::Act sel(const char* path, bool force = false, bool reselect = false, bool lastIsDf = false, bool aid = false) {
    return [=](TestProfile& p, Bytes&, CardUnderTest&) { return select(p, path, force, reselect, lastIsDf, aid); };
}
const Step::Act kRead = [](TestProfile& p, Bytes& out, CardUnderTest&) { return p.ReadFile(out); };
// As a new card operation (what was read is read anew): selects the file again for fresh control
// information, then reads it.
CardResult reread(TestProfile& p, const char* path, Bytes& out) {
    p.SelectionMayHaveChanged();
    select(p, path, false, true);
    return p.ReadFile(out);
}
// The card loses its current EF behind the profile's back.
void selectMfAside(CardUnderTest& card) { card.transmit("00A4000C023F00"); }

TEST_F(ProfileCardTest, ReadingAndWriting) {
    const Bytes written = sequenceBytes(0xC0, 64);
    const Bytes longer = sequenceBytes(0x40, 70);
    run({
        {"EF under the MF", sel("3f00/0101"), kOk, {selectEf("0101")}},
        {"240 + 240 + 20", kRead, kOk, {"00B00000F0", "00B000F0F0", "00B001E014"}, seqHex(0, 500)},
        {"block size: its low byte", [](auto& p, auto& out, auto&) { p.SetBlockSize(0x0180); return reread(p, "3f00/0101", out); },
         kOk, {selectEf("0101"), "00B0000080", "00B0008080", "00B0010080", "00B0018074"}, seqHex(0, 500)},
        {"part", [](auto& p, auto& out, auto&) { p.SetBlockSize(240); select(p, "3f00/0101", false, true); return p.ReadFilePart(out, 300); },
         kOk, {selectEf("0101"), "00B00000F0", "00B000F03C"}, seqHex(0, 300)},
        {"part beyond the end", [](auto& p, auto& out, auto&) { select(p, "3f00/0101", false, true); return p.ReadFilePart(out, 1000); },
         kOk, {selectEf("0101"), "00B00000F0", "00B000F0F0", "00B001E014"}, seqHex(0, 500)},
        {"offset", [](auto& p, auto& out, auto&) { select(p, "3f00/0101", false, true); return p.ReadFileOffset(out, 100, 300); },
         kOk, {selectEf("0101"), "00B00064F0", "00B001543C"}, seqHex(100, 300)},
        {"no current EF: selected again, chunk retried",
         [](auto& p, auto& out, auto& c) { p.SelectionMayHaveChanged(); select(p, "3f00/0101", false, true); selectMfAside(c); return p.ReadFile(out); }, kOk,
         {selectEf("0101"), "00A4000C023F00", "00B00000F0", selectEf("0101"), "00B00000F0", "00B000F0F0", "00B001E014"}, seqHex(0, 500)},
        {"primitives", [](auto& p, auto& out, auto&) {
             EXPECT_EQ(p.SCReadBinary(out, 490, 20), kivo::card::cEndOfFile);
             EXPECT_EQ(p.SCReadBinary(out, 501, 1), kFailed);
             EXPECT_EQ(p.SCReadRecord(1, out), kFailed);
             return p.SCReadBinary(out, 0x0123, 0x10); },
         kOk, {"00B001EA14", "00B001F501", "00B2010400", "00B0012310"}, seqHex(0x123, 16)},
        {"transparent file has no record 1", [](auto& p, auto& out, auto&) { return p.ReadAllRecords(out); }, kFailed,
         {"00B2010400"}},
        {"claimed 100 of 5: end of file keeps the bytes",
         [](auto& p, auto& out, auto&) { select(p, "3f00/5015/c001"); p.claimedFileLength = 100; return p.ReadFile(out); },
         kOk, {kSelectMf, selectDf("5015"), selectEf("C001"), "00B0000064"}, "0102030405"},
        {"part at the end of file", [](auto& p, auto& out, auto&) { return p.ReadFileOffset(out, 2, 50); }, kOk,
         {"00B0000232"}, "030405"},
        {"record file", [](auto& p, auto& out, auto&) { p.claimedFileLength.reset(); select(p, "3f00/2f00"); return p.ReadAllRecords(out); },
         kOk, {kSelectMf, selectEf("2F00"), "00B2010400", "00B2020400", "00B2030400"},
         kDirRecord1.substr(4) + kDirRecord2.substr(4)},
        {"one record", [](auto& p, auto& out, auto&) { return p.ReadRecord(2, out); }, kOk, {"00B2020400"}, kDirRecord2},
        {"missing record", [](auto& p, auto& out, auto&) { return p.SCReadRecord(3, out); }, kFailed, {"00B2030400"}},
        {"READ BINARY on a record file",
         [](auto& p, auto& out, auto&) { select(p, "3f00/2f00", false, true); EXPECT_EQ(p.ReadFilePart(out, 10), kFailed); return reread(p, "3f00/2f00", out); },
         kivo::card::cIncompatibleFile, {selectEf("2F00"), "00B000000A", selectEf("2F00"), "00B0000026"}},
        {"no current EF at all", [](auto& p, auto& out, auto& c) { selectMfAside(c); return p.SCReadBinary(out, 0, 4); },
         kivo::card::cNoCurrentEf, {"00A4000C023F00", "00B0000004"}},
        {"update in chunks", [&](auto& p, auto&, auto&) { select(p, "3f00/5015/0102", true); p.SetBlockSize(16); return p.UpdateFile(written.data(), 64); },
         kOk, [&] { Commands c{kSelectMf, selectDf("5015"), selectEf("0102")}; for (auto& u : updates(written, 16)) c.push_back(u); return c; }()},
        {"written", [](auto& p, auto& out, auto&) { p.SetBlockSize(240); return reread(p, "3f00/5015/0102", out); }, kOk,
         {selectEf("0102"), "00B0000040"}, hexText(written)},
        {"beyond the end of the file", [&](auto& p, auto&, auto&) { p.SetBlockSize(64); return p.UpdateFile(longer.data(), 70); },
         kFailed, updates(longer, 64)},
        {"write primitive", [](auto& p, auto&, auto&) {
             const Bytes word = {0xCA, 0xFE, 0xBA, 0xBE};
             EXPECT_EQ(p.SCWriteBinary(word.data(), 62, 4), kFailed);
             return p.SCWriteBinary(word.data(), 0x10, 4); },
         kOk, {"00D6003E04CAFEBABE", "00D6001004CAFEBABE"}},
        {"fixed-size file: read up to the end of its objects", [](auto& p, auto& out, auto&) { select(p, "3f00/5015/c002"); return p.ReadFile(out); },
         kOk, {selectEf("C002"), "00B0000040"}, "3003020105A0020500"},
    });
}

TEST_F(ProfileCardTest, SelectionCache) {
    run({
        {"from the MF", sel("3f00/5015/c001"), kOk, {kSelectMf, selectDf("5015"), selectEf("C001")}},
        {"a sibling", [](auto& p, auto& out, auto&) { select(p, "3f00/5015/c000"); return p.ReadFile(out); }, kOk,
         {selectEf("C000"), "00B00000F0", "00B000F03C"}, seqHex(0, 300)},
        {"read again from the cache: the size of its select kept", [](auto& p, auto& out, auto&) {
             Bytes kept;
             EXPECT_EQ(p.ReadFile(kept), kOk);  // in the same operation: neither selected nor read again
             p.SelectionMayHaveChanged();
             select(p, "3f00/5015/c000"); return p.ReadFile(out); }, kOk, {"00B00000F0", "00B000F03C"}, seqHex(0, 300)},
        {"the same file, written three ways", [](auto& p, auto&, auto&) {
             select(p, "3f00/5015/c000"); select(p, "3f005015c000"); return select(p, "/3f00//5015/c000/"); },
         kOk, {}},
        {"reselect", sel("3f005015c000", false, true), kOk, {selectEf("C000")}},
        // A forced start selects the MF once when the card may have moved; on the object's own selection, and
        // through a DF it selected, only the rest of the path is sent (the MF and DFs on the way are current).
        {"force", [](auto& p, auto& out, auto&) { p.SelectionMayHaveChanged(); select(p, "3f00/5015/c001", true); return p.ReadFile(out); }, kOk,
         {kSelectMf, selectDf("5015"), selectEf("C001"), "00B0000005"}, "0102030405"},
        {"missing EF", sel("3f00/5015/4711"), kFailed, Commands(3, selectEf("4711"))},
        {"missing DF", sel("3f00/4711/c000"), kFailed,
         {kSelectMf, selectDf("4711"), selectDf("4711"), selectDf("4711")}},
        {"after the missing DF", sel("3f00/0101"), kOk, {selectEf("0101")}},
        {"the MF alone", sel("3f00"), kOk, {kSelectMf}},
        {"SELECT 6A82: three times", [](auto& p, auto&, auto&) { const std::uint8_t fid[2] = {0x47, 0x11}; return p.SCSelectEF(fid); },
         kivo::card::cFileNotFound, Commands(3, selectEf("4711"))},
        {"last is a DF", [](auto& p, auto&, auto&) { select(p, "3f00/5015", false, false, true); return select(p, "3f00/5015", false, false, true); },
         kOk, {selectDf("5015")}},
        {"an EF in it", sel("3f00/5015/c001"), kOk, {selectEf("C001")}},
        // The cache drops the EF, but the card was told nothing and still has it: the SELECT it answered last is not sent again.
        {"back to the DF drops the EF", [](auto& p, auto&, auto&) { select(p, "3f00/5015", false, false, true); return select(p, "3f00/5015/c001"); },
         kOk, {}},
        {"a DF named as EF", sel("3f00/5015"), kFailed,
         {kSelectMf, selectEf("5015"), selectEf("5015"), selectEf("5015")}},
        {"pop the saved file", [](auto& p, auto&, auto&) {
             select(p, "3f00/5015/c001"); p.PushCurrentFile(""); select(p, "3f00/0101"); p.PopCurrentFile();
             return select(p, "3f00/5015/c001"); },
         kOk, {kSelectMf, selectDf("5015"), selectEf("C001"), kSelectMf, selectEf("0101"), selectDf("5015"), selectEf("C001")}},
        {"pop a given path, then an empty stack", [](auto& p, auto&, auto&) {
             p.PushCurrentFile("3f00/5015/c000"); p.PopCurrentFile(); p.PopCurrentFile(); return select(p, "3f00/5015/c000"); },
         kOk, {selectEf("C000")}},
        {"pop after the card left the DF", [](auto& p, auto& out, auto& c) {
             p.PushCurrentFile("3f00/5015/c001"); selectMfAside(c); p.PopCurrentFile(); return p.ReadFile(out); },
         kOk, {"00A4000C023F00", selectEf("C001"), selectEf("C001"), selectEf("C001"), kSelectMf, selectDf("5015"),
               selectEf("C001")}, "0102030405"},
        {"an AID", [](auto& p, auto&, auto&) {
             select(p, kPkcs15Aid.c_str(), false, false, false, true); select(p, kPkcs15Aid.c_str(), false, true, false, true);
             return select(p, kPkcs15Aid.c_str(), true, false, false, true); },
         kOk, {"00A404040C" + kPkcs15Aid + "00"}},
        {"an AID forced with reselect", sel(kPkcs15Aid.c_str(), true, true, false, true),
         kOk, {kSelectMf, "00A404040C" + kPkcs15Aid + "00"}},
        {"a path after the AID", sel("3f00/5015/c001"), kOk, {kSelectMf, selectDf("5015"), selectEf("C001")}},
    });
}

// The PIN commands on the selected file with the PINs given.
auto verify(std::uint8_t ref, const char* pin) {
    return [=](TestProfile& p, Bytes&, CardUnderTest&) { return p.Verify(kPath, "", false, ref, false, pin); };
}
auto change(const char* current, const char* next) {
    return [=](TestProfile& p, Bytes&, CardUnderTest&) { return p.ChangeRef(kPath, "", 0x82, false, current, next); };
}
auto unblock(const char* puk, const char* next) {
    return [=](TestProfile& p, Bytes&, CardUnderTest&) { return p.UnblockRef(kPath, "", 0x82, puk, next); };
}

TEST_F(ProfileCardTest, PinCommands) {
    ASSERT_EQ(select(profile, "3f00/0101"), kOk);
    run({
        {"verify", verify(0x81, "123456"), kOk, {"0020008106313233343536"}},
        {"wrong PIN", verify(0x81, "111111"), kFailed, {"0020008106313131313131"}},
        {"alternative path", [](auto& p, auto&, auto&) { return p.Verify("3f00/4711", "3f00/0101", true, 0x82, false, "1234"); },
         kOk, {selectEf("4711"), selectEf("4711"), selectEf("4711"), selectEf("0101"), "002000820431323334"}},
        {"neither path", [](auto& p, auto&, auto&) { return p.Verify("3f00/4711", "3f00/4712", true, 0x82, false, "1234"); },
         kFailed, {selectEf("4711"), selectEf("4711"), selectEf("4711"), selectEf("4712"), selectEf("4712"), selectEf("4712")}},
        {"card type 19 selects first", [](auto& p, auto&, auto&) { p.SetCardType(19); auto r = p.Verify("3f00/5015/c001", "", false, 0x82, false, "1234"); p.SetCardType(0); select(p, kPath); return r; },
         kOk, {kSelectMf, selectDf("5015"), selectEf("C001"), "002000820431323334", kSelectMf, selectEf("0101")}},
        {"new PIN too long", change("1234", "123456789"), kFailed, {}},
        {"new PIN too short", change("1234", "123"), kFailed, {}},
        {"unblocking to too short", unblock("12345678", "123"), kFailed, {}},
        {"unblocking to too long", unblock("12345678", "123456789"), kFailed, {}},
        {"change to the longest", change("1234", "12345678"), kOk, {"002400820C" "31323334" "3132333435363738"}},
        {"wrong current PIN", change("9999", "5678"), kFailed, {"002400820839393939" "35363738"}},
        {"wrong once", verify(0x82, "9999"), kFailed, {"002000820439393939"}},
        {"wrong twice", verify(0x82, "9999"), kFailed, {"002000820439393939"}},
        {"wrong three times", verify(0x82, "9999"), kFailed, {"002000820439393939"}},
        {"blocked", verify(0x82, "12345678"), SC_CMD_COUNTERFAILED, {"00200082083132333435363738"}},
        {"wrong PUK", unblock("87654321", "1234"), kFailed, {"002C00820C" "3837363534333231" "31323334"}},
        {"unblocked", unblock("12345678", "1234"), kOk, {"002C00820C" + kPukHex + "31323334"}},
    });
}

TEST_F(ProfileCardTest, DialogPins) {
    ASSERT_EQ(select(profile, "3f00/0101"), kOk);
    using K = SecretKind;
    const std::vector<K> changing = {K::CurrentPin, K::NewPin, K::NewPinAgain}, unblocking = {K::Puk, K::NewPin, K::NewPinAgain};
    const struct { const char* name; std::map<K, std::optional<std::string>> answers; Step::Act act; bool sends;
        std::vector<K> asked; bool cancelled; } rows[] = {
        {"verify", {{K::Pin, "123456"}}, verify(0x81, ""), true, {K::Pin}, false},
        {"nothing answers", {}, verify(0x81, ""), false, {K::Pin}, true},
        {"change", {{K::CurrentPin, "1234"}, {K::NewPin, "5678"}, {K::NewPinAgain, "5678"}}, change("", ""), true, changing, false},
        {"new PINs differ", {{K::CurrentPin, "5678"}, {K::NewPin, "1234"}, {K::NewPinAgain, "1235"}}, change("", ""), false,
         changing, false},
        {"unblock", {{K::Puk, "12345678"}, {K::NewPin, "1234"}, {K::NewPinAgain, "1234"}}, unblock("", ""), true, unblocking, false},
        {"PUK cancelled", {{K::Puk, std::nullopt}}, unblock("", ""), false, {K::Puk}, true},
        {"PUK only", {{K::Puk, "12345678"}}, [](auto& p, auto& o, auto& c) { p.unblockWithPukOnly = true; return unblock("", "")(p, o, c); },
         true, {K::Puk}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedDialogs dialogs(row.answers);
        card.mark();
        Bytes out;
        const CardResult result = row.act(profile, out, card);
        EXPECT_EQ(result == kOk, row.sends);
        EXPECT_EQ(card.commands().size(), row.sends ? 1u : 0u) << ::testing::PrintToString(card.commands());
        EXPECT_EQ(dialogs.asked, row.asked);
        EXPECT_EQ(profile.PinEntryCancelled(), row.cancelled);
    }
    EXPECT_EQ(card.commands(), Commands{"002C008210" + kPukHex + "0000000000000000"});
    kivo::pin::Dialogs previous = kivo::pin::installDialogs({});
    EXPECT_NE(profile.Verify(kPath, "", false, 0x81, false, ""), kOk);
    EXPECT_TRUE(profile.PinEntryCancelled()) << "no dialogs at all";
    kivo::pin::installDialogs(std::move(previous));
}

TEST_F(ProfileCardTest, ChallengeSigningAndDeciphering) {
    std::uint8_t buffer[28];
    std::fill(std::begin(buffer), std::end(buffer), 0xA5);
    ASSERT_EQ(profile.GetChallange(buffer, 20), kOk);
    EXPECT_EQ(hexText(Bytes(buffer + 20, buffer + 28)), "A5A5A5A5A5A5A5A5");
    std::string random;
    for (const auto& exchange : card.exchanges()) {
        EXPECT_EQ(exchange.command, "0084000008");
        random += exchange.response.substr(0, 16);
    }
    EXPECT_EQ(hexText(Bytes(buffer, buffer + 20)), random.substr(0, 40));
    EXPECT_EQ(profile.GetChallange(buffer, 0), kFailed);

    const std::string keyPath = "3f00/5015/5032";
    card.mark();
    EXPECT_EQ(profile.PreSigning(20, keyPath), kOk);
    EXPECT_TRUE(card.commands().empty()) << "profile 20 selects nothing";
    EXPECT_EQ(profile.PreSigning(5, keyPath), kOk);
    EXPECT_EQ(card.commands(), (Commands{kSelectMf, selectDf("5015"), selectEf("5032")}));
    EXPECT_EQ(profile.KeyPath(), keyPath);

    Bytes refused;
    const Bytes hash = sha256({'k', 'i', 'v', 'o'});
    EXPECT_NE(profile.SignData(keyPath, 2048, hash.data(), 32, refused, 0x02, 0x02), kOk) << "no PIN yet";
    EXPECT_TRUE(refused.empty());
    ASSERT_EQ(profile.Verify(kPath, "", false, 0x81, false, "123456"), kOk);
    Bytes info, signature, ecSignature, plain;
    ASSERT_EQ(profile.BuildSignBuffer(CSC_Profile_Base::cAlgSha256, 2048, hash.data(), 32, info, false), kOk);
    card.mark();
    ASSERT_EQ(profile.SignData(keyPath, 2048, info.data(), static_cast<std::uint32_t>(info.size()), signature, 0x02, 0x02), kOk);
    ASSERT_EQ(profile.SignData(keyPath, 256, hash.data(), 32, ecSignature, 0x02, 0x03), kOk);
    const Bytes secret = sequenceBytes(7, 32);
    const Bytes cryptogram = rsaEncrypt(card.keyFile("rsa2048-dec.pem"), secret);
    ASSERT_EQ(cryptogram.size(), 256u);
    ASSERT_EQ(profile.RSADecrypt(keyPath, 2048, cryptogram.data(), 256, plain, 0x02, 0x04), kOk);
    EXPECT_EQ(card.commands(),
              (Commands{"002241B606800102840102", "002A9E9A33" + hexText(info) + "00", "002241B606800102840103",
                        "002A9E9A20" + hexText(hash) + "00", "002241B806800102840104",
                        "002A8086000101" "00" + hexText(cryptogram) + "0000"}));
    EXPECT_TRUE(verifyRsaSha256(card.keyFile("rsa2048.pem"), hash, signature));
    EXPECT_TRUE(verifyEcdsaPlain(card.keyFile("ec256.pem"), hash, ecSignature));
    EXPECT_EQ(plain, secret);

    card.mark();
    EXPECT_EQ(profile.PostSigning(), kOk);
    EXPECT_EQ(profile.PreSigning(6, keyPath), kOk);
    EXPECT_EQ(profile.PostSigning(), kOk);
    EXPECT_EQ(card.commands(), Commands{kSelectMf}) << "profile 6 returns to the MF, profile 5 stays";
}

}  // namespace
}  // namespace kivo::test
