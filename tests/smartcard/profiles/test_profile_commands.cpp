// The card operating-system profiles on a scripted reader, one table per behaviour.

#include "smartcard/profiles/SC_Profile_CardOS44.h"
#include "smartcard/profiles/SC_Profile_CardOS60.h"
#include "smartcard/profiles/SC_Profile_Micardo21.h"
#include "smartcard/profiles/SC_Profile_SecCos5.h"
#include "smartcard/profiles/SC_Profile_SetCos442.h"
#include "smartcard/profiles/SC_Profile_StarCos34.h"
#include "smartcard/profiles/SC_Profile_StarCos37.h"
#include "smartcard/profiles/SC_Profile_TCOS20.h"
#include "smartcard/profiles/SC_Profile_TCOS30V2.h"
#include "tests/support/LogCapture.h"
#include "tests/support/card/CardUnderTest.h"
#include "tests/support/card/ProfileTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <typeinfo>

namespace kivo::test {
namespace {

namespace sc = kivo::card;

template <class Container>
std::uint32_t lengthOf(const Container& bytes) { return static_cast<std::uint32_t>(bytes.size()); }

using Make = std::unique_ptr<CSC_Profile_Base> (*)();
template <class Profile, std::int32_t cardType = 0>
std::unique_ptr<CSC_Profile_Base> make() {
    auto profile = std::make_unique<Profile>();
    if (cardType != 0) profile->SetCardType(cardType);
    return profile;
}
constexpr Make CardOS43 = make<CSC_Profile_CardOS43b>, CardOS44 = make<CSC_Profile_CardOS44>,
               CardOS50 = make<CSC_Profile_CardOS50>, CardOS54 = make<CSC_Profile_CardOS54>,
               CardOS60 = make<CSC_Profile_CardOS60>, StarCos30 = make<CSC_Profile_StarCos30>,
               StarCos32 = make<CSC_Profile_StarCos32>, StarCos34 = make<CSC_Profile_StarCos34>,
               StarCos35 = make<CSC_Profile_StarCos35>,
               StarCos37Dgn = make<CSC_Profile_StarCos37, CSC_Profile_StarCos37::cCardTypeDgn>,
               StarCos37DTrust = make<CSC_Profile_StarCos37, CSC_Profile_StarCos37::cCardTypeDTrust>,
               SecCos5 = make<CSC_Profile_SecCos5>, Tcos20 = make<CSC_Profile_TCOS20>, Tcos30 = make<CSC_Profile_TCOS30>,
               Tcos30v2 = make<CSC_Profile_TCOS30V2>, SetCos441 = make<CSC_Profile_SetCos441>,
               SetCos442 = make<CSC_Profile_SetCos442>, Micardo21 = make<CSC_Profile_Micardo21>;

class ScriptedProfile : public ::testing::Test {
protected:
    std::unique_ptr<CSC_Profile_Base> connected(Make make, std::int32_t cardProfile = 0) {
        auto profile = make();
        EXPECT_EQ(profile->Connect("Reader 0", 0x77), sc::cOk);
        if (cardProfile != 0) profile->SetCardProfile(cardProfile);
        pcsc.script.transmits.clear();
        pcsc.script.controls.clear();
        return profile;
    }
    std::string sent() const {
        std::string commands;
        for (const auto& call : pcsc.script.transmits) commands += (commands.empty() ? "" : " ") + hexText(call.apdu);
        return commands;
    }
    ScriptedPcsc pcsc;
};

// The parts of `line` between separators, without surrounding blanks.
std::vector<std::string> words(const std::string& line, char separator = ' ') {
    std::vector<std::string> parts;
    std::string part;
    for (std::istringstream in(line); std::getline(in, part, separator);) {
        const auto first = part.find_first_not_of(' ');
        if (first != std::string::npos) parts.push_back(part.substr(first, part.find_last_not_of(' ') - first + 1));
    }
    return parts;
}

// The card's answers: "ok" (9000), "okN" (N bytes 5C, 9000), "ok=HEX" (HEX, 9000), or a status word.
std::deque<Bytes> answers(const std::string& text) {
    std::deque<Bytes> all;
    for (const std::string& token : words(text)) {
        all.push_back(token.rfind("ok=", 0) == 0 ? ok(hexBytes(token.substr(3)))
                      : token.rfind("ok", 0) == 0 ? ok(Bytes(token.size() > 2 ? std::stoul(token.substr(2)) : 0, 0x5C))
                                                  : hexBytes(token));
    }
    return all;
}

std::uint32_t algorithmNamed(const std::string& name) {
    using P = CSC_Profile_Base;
    return name == "sha1" ? P::cAlgSha1 : name == "sha512" ? P::cAlgSha512 : name == "sha256" ? P::cAlgSha256
         : name == "pss" ? P::cAlgFlagPss | P::cAlgSha256 : 0;
}

// One step on a connected profile, "verb arguments" (a path "-" is empty, key references
// and bytes in hex), and what it ends with: the result code, or the text asked for.
std::string runStep(CSC_Profile_Base& p, const std::string& step) {
    const std::vector<std::string> w = words(step);
    const auto arg = [&](std::size_t i) { return i < w.size() && w[i] != "-" ? w[i] : std::string(); };
    const auto number = [&](std::size_t i) { return static_cast<std::uint32_t>(std::stoul(w.at(i))); };
    const auto hexNumber = [&](std::size_t i) { return static_cast<std::uint8_t>(std::stoul(w.at(i), nullptr, 16)); };
    const auto pin = [&](std::size_t i) { return text(w.at(i).c_str()); };
    const auto pinLength = [&](std::size_t i) { return static_cast<std::uint32_t>(w.at(i).size()); };
    const std::string& verb = w.at(0);
    if (verb == "profile") p.SetCardProfile(static_cast<std::int32_t>(number(1)));
    if (verb == "profile" || verb == "serial") return verb == "serial" ? p.GetSerialNumber() : "";
    const auto tcos = [&p] { return static_cast<CSC_Profile_TCOS30*>(&p); };
    const Bytes id = verb == "aid" || verb == "df" ? hexBytes(arg(1)) : Bytes(), challenge(16, 0x16), block(128, 0x80);
    Bytes out;
    const std::map<std::string, std::function<CardResult()>> steps = {
        {"select", [&] { return p.SelectPath(arg(1)); }},
        {"selectaid", [&] { return p.SelectPath(arg(1), false, false, false, true); }},
        {"aid", [&] { return p.SCSelectAID(id.data(), lengthOf(id)); }},
        {"df", [&] { return p.SCSelectDF(id.data(), lengthOf(id)); }},
        {"noid", [&] { const CardResult df = p.SCSelectDF(nullptr, 0); return df == sc::cFailed ? p.SCSelectEF(nullptr) : df; }},
        {"verify", [&] { return w.size() == 1 ? p.SCVerify(0x81, nullptr, 0) : p.SCVerify(0x81, pin(1), pinLength(1)); }},
        {"change", [&] { return p.SCChangeRef(0x81, pin(1), pinLength(1), pin(2), pinLength(2)); }},
        {"rrc", [&] { return p.SCUnblockPin(0x81, pin(1), pinLength(1), pin(2), pinLength(2)); }},
        {"unblock", [&] { return p.UnblockRef("", "", 0x81, arg(1), arg(2)); }},
        {"getdata", [&] { return p.GetData(hexNumber(1), hexNumber(2), out, number(3)); }},
        {"sign", [&] {
             const std::uint32_t algorithm = algorithmNamed(w.at(3));
             const Bytes hash(w.size() > 5 ? number(5) : algorithm == CSC_Profile_Base::cAlgSha1 ? 20
                                                       : algorithm == CSC_Profile_Base::cAlgSha512 ? 64 : 32, 0xAB);
             return p.SCSignData(arg(1), number(2), hash.data(), lengthOf(hash), out, algorithm, hexNumber(4));
         }},
        {"decipher", [&] {
             const Bytes cryptogram(number(2) / 8, 0x33);
             return p.SCDecipher(arg(1), number(2), cryptogram.data(), lengthOf(cryptogram), out, 0, hexNumber(3));
         }},
        {"keyalg", [&] { return p.SelectKeyAndAlgorithm(hexNumber(1), algorithmNamed(w.at(2))); }},
        {"ia", [&] { return tcos()->InternalAuthenticate(challenge.data(), 16, out); }},
        {"ea", [&] { return tcos()->ExternalAuthenticate(block.data(), 128); }},
        {"initsm", [&] { p.PreSigning(20, arg(1)); return tcos()->InitSM(); }},
        {"presign", [&] { return p.PreSigning(static_cast<std::int32_t>(number(1)), arg(2)); }},
        {"erase", [&] { return p.EraseFile(arg(1)); }},
        {"genkey", [&] { return p.GenRSAKeyPair(hexNumber(1), number(2)); }},
        {"pubkey", [&] { return p.GetPubKey(hexNumber(1), out); }},
    };
    const auto found = steps.find(verb);
    if (found != steps.end()) return std::to_string(found->second());
    ADD_FAILURE() << "no such step: " << verb;
    return "";
}

const std::string kHashHex = repeatHex("AB", 32);
const std::string kDigestInfo = "3031300D060960864801650304020105000420" + kHashHex;
const std::string kSerial = "12345678901234567890";
const std::string kGdo = "ok=62088201018002000C8A ok=5A0A" + kSerial;

// Named parts of expected commands: {H} the hash (32 bytes AB), {DI}/{DI1} its SHA-256/SHA-1 DigestInfo,
// {CDS} the short PSO CDS of {DI}, {ENV} the StarCos 3.5 environment, {Z} 00 and the 2048-bit type-1
// block of {DI}, {R} the 1024-bit block reversed, {XX*N} the byte XX N times.
std::string expanded(std::string text) {
    Bytes reversed = hexBytes("0001" + repeatHex("FF", 128 - 3 - 51) + "00" + kDigestInfo);
    std::reverse(reversed.begin(), reversed.end());
    const std::pair<std::string, std::string> names[] = {
        {"{CDS}", "002A9E9A33{DI}00"}, {"{ENV}", "002241B60784038002008000"},
        {"{Z}", "000001{FF*202}00{DI}"}, {"{R}", hexText(reversed)},
        {"{DI}", kDigestInfo}, {"{DI1}", "3021300906052B0E03021A05000414{AB*20}"}, {"{H}", kHashHex}};
    for (const auto& [name, value] : names) {
        for (std::size_t at; (at = text.find(name)) != std::string::npos;) text.replace(at, name.size(), value);
    }
    for (std::size_t at; (at = text.find('{')) != std::string::npos;) {
        const std::size_t end = text.find('}', at);
        text.replace(at, end - at + 1, repeatHex(text.substr(at + 1, 2).c_str(), std::stoi(text.substr(at + 4, end - at - 4))));
    }
    return text;
}

// Makes the reader a pin pad and sends the verify and modify start requests.
void startPinPad(CSC_Profile_Base& profile, ScriptedPcsc& pcsc, bool allFeatures) {
    pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, pinpad::pinPadFeatures(allFeatures)}};
    ASSERT_TRUE(profile.CheckPinPad());
    pcsc.script.controls.clear();
    pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, {}}, {SCARD_S_SUCCESS, {}}};
    profile.ModifyVerifyStruct();
    profile.ModifyModifyStruct();
    ASSERT_EQ(profile.StartVerifyPinPad(), 0u);
    ASSERT_EQ(profile.StartModifyPinPad(), 0u);
}

struct Step {
    Make make;
    std::string answers;
    const char* steps;  // separated by ';'
    std::string outcome;  // of each step, separated by blanks
    std::string commands;  // the commands sent, separated by blanks
};

// Results: 0 done, 13 refused (6982), 255 failed; a family's rows show what it does differently.
const Step kSteps[] = {
    {CardOS43, "ok ok ok", "select 3f00/5015/4401", "0", "00A4000400 00A4010402501500 00A4020402440100"},
    // The serial number: 8 bytes of GET DATA 01 81, read once; a shorter answer gives none.
    {CardOS43, "ok=0123456789ABCDEF1122", "serial; serial", "0123456789abcdef 0123456789abcdef", "00CA018100"},
    {CardOS50, "ok=010203", "serial", "", "00CA018100"},
    {CardOS43, "ok", "verify 12345678", "0", "00200081083132333435363738"},
    {CardOS44, "ok", "change 12345678 87654321", "0", "002400811031323334353637383837363534333231"},
    {CardOS44, "", "change 12345678 123456", "255", ""},
    {CardOS50, "ok", "rrc 12345678 654321", "0", "002C00810E3132333435363738363534333231"},
    // 4.3b signs by CDS (profile 22) or a block through DECIPHER (profile 20); 4.4 always through DECIPHER.
    {CardOS43, "ok ok256", "profile 22; sign - 2048 sha256 02", "0", "002201B603840102 {CDS}"},
    {CardOS43, "ok ok256", "profile 20; sign - 2048 sha256 02", "0", "002201B803830102 002A8086000101{Z}0100"},
    {CardOS44, "ok ok256", "profile 22; sign - 2048 sha256 02", "0", "002201B803830102 002A8086000101{Z}0100"},
    {CardOS43, "6A88", "profile 22; sign - 2048 sha256 02", "255", "002201B603840102"},
    // From 5.0 on: RESTORE and an extended CDS, Le 256 up to 2048 bits, 0 above; PSS sends the bare hash.
    {CardOS50, "ok ok256", "sign - 2048 sha256 02", "0", "0022F302 002A9E9A000033{DI}0100"},
    {CardOS54, "ok ok384", "sign - 3072 sha256 02", "0", "0022F302 002A9E9A000033{DI}0000"},
    {CardOS60, "ok ok256", "sign - 2048 pss 02", "0", "0022F302 002A9E9A000020{H}0100"},
    {CardOS50, "ok 6982", "sign - 2048 sha256 02", "13", "0022F302 002A9E9A000033{DI}0100"},
    {CardOS44, "ok ok16", "decipher - 2048 03", "0", "002241B803830103 002A808600010100{33*256}0100"},
    {CardOS60, "ok", "selectaid A000000063504B43532D3135", "0", "00A404040CA000000063504B43532D313500"},

    {StarCos30, "ok ok ok", "select 3f00/3f01/c000", "0", "00A40004023F0000 00A40104023F0100 00A4020402C00000"},
    {StarCos30, "", "noid", "255", ""},
    // Format-2 PIN blocks: an odd PIN padded with F; digits only; new PINs of 6 to 8.
    {StarCos30, "ok", "verify 12345", "0", "00200081082512345FFFFFFFFF"},
    {StarCos30, "63C3", "verify", "255", "00200081"},
    {StarCos30, "", "verify 12a456", "255", ""},
    {StarCos30, "ok", "change 123456 6543210", "0", "002400811026123456FFFFFFFF276543210FFFFFFF"},
    {StarCos30, "", "change 123456 12345", "255", ""},
    // The signature key by hash template, DST, PSO HASH and CDS; other keys by INTERNAL AUTHENTICATE.
    {StarCos30, "ok ok ok ok ok256", "sign 3f00/3f01/c000 2048 sha256 02", "0",
     "002241B6058403800200 002241AA0489021440 002241B6058403800200 002A90A0229020{H} 002A9E9A00"},
    {StarCos30, "ok ok256", "sign 3f00/3f01/c100 2048 sha256 03", "0", "002241A4058403800300 0088000033{DI}00"},
    {StarCos30, "ok 6982", "sign 3f00/3f01/c100 2048 sha1 03", "13", "002241A4058403800300 0088000023{DI1}00"},
    {StarCos30, "ok ok16", "decipher 3f00/3f01/c200 2048 04", "0", "002241B8058403800400 002A808600010100{33*256}0000"},
    {StarCos30, kGdo, "serial; serial", kSerial + " " + kSerial, "00A40204022F0200 00B000000C"},
    // PUK and new PIN as blocks from StarCos 3.0 on (the card stores both so), also on SecCos 5.
    {StarCos30, "ok", "rrc 12345678 654321", "0", "002C0081102812345678FFFFFF26654321FFFFFFFF"},
    {SecCos5, "ok", "unblock 12345678 654321", "0", "002C0081102812345678FFFFFF26654321FFFFFFFF"},
    {StarCos32, "ok ok256", "sign 3f00/c000 2048 sha1 02", "0", "002241B606840102800112 002A9E9A23{DI1}00"},
    {StarCos34, "ok", "unblock 12345678", "0", "002C0181082812345678FFFFFF"},
    // StarCos 3.2 and later start signing from the card's first stored environment.
    {StarCos32, "ok ok ok ok", "presign 11 3f00/df01/c000", "0", "00A40004023F0000 00A4010402DF0100 00A4020402C00000 0022F301"},
    // StarCos 3.4 names the key as 84 03 80 kk 00, the algorithm as 80 (empty: PKCS#1; 01 05: PSS of the plain hash),
    // and sends MSE SET before every signature.
    {StarCos34, "ok ok256 ok ok256", "sign - 2048 sha256 02; sign - 2048 pss 02", "0 0",
     "{ENV} {CDS} 002241B6088403800200800105 002A9E9A20{H}00"},

    {StarCos35, "ok ok ok", "select 3f00/3f01/c000", "0", "00A40004023F0000 00A40104023F01FF 00A4020402C00000"},
    {StarCos37Dgn, "ok=4B", "getdata 01 01 0", "0", "A0CA010100"},
    {SecCos5, "ok=4B", "getdata 01 01 8", "0", "00CA010108"},
    {SecCos5, "", "change 123456 1234567890123", "255", ""},
    // MSE SET once for consecutive signatures with the same key and algorithm.
    {StarCos35, "ok ok256 ok256", "sign - 2048 sha256 02; sign - 2048 sha256 02", "0 0", "{ENV} {CDS} {CDS}"},
    {StarCos37Dgn, "ok ok256", "sign - 2048 pss 02", "0", "002241B6088403800200800105 002A9E9A20{H}00"},
    {StarCos35, "", "sign - 2048 pss 02 20", "255", ""},
    {StarCos35, "ok ok256 ok ok256", "sign - 2048 sha256 02; sign - 2048 pss 03", "0 0",
     "{ENV} {CDS} 002241B6088403800300800105 002A9E9A20{H}00"},
    {StarCos37DTrust, "ok 6982 ok ok256", "sign - 2048 sha256 02; sign - 2048 sha256 02", "13 0",
     "{ENV} {CDS} {ENV} {CDS}"},
    // An environment the card lost (6985) is set again once; a refused MSE SET is sent again next time.
    {StarCos35, "ok ok256 6985 ok ok256", "sign - 2048 sha256 02; sign - 2048 sha256 02", "0 0",
     "{ENV} {CDS} {CDS} {ENV} {CDS}"},
    {StarCos35, "6A88 ok ok256", "sign - 2048 sha256 02; sign - 2048 sha256 02", "255 0", "{ENV} {ENV} {CDS}"},
    {StarCos35, "ok ok256 ok ok ok256", "sign - 2048 sha256 02; df 3F01; sign - 2048 sha256 02", "0 0 0",
     "{ENV} {CDS} 00A40104023F01FF {ENV} {CDS}"},
    {StarCos37Dgn, "ok ok256", "keyalg 02 sha256; sign - 2048 sha256 02", "0 0", "{ENV} {CDS}"},
    {StarCos37Dgn, "", "keyalg 81 0", "0", ""},
    {StarCos37Dgn, "ok", "aid D27600006601", "0", "00A4040406D2760000660100"},
    // SecCos 5: key and padding (A4), hash (AA), the signature template without data (B6), PSO CDS case 3 of the bare
    // hash; a hash the hash template cannot name is refused.
    {SecCos5, "ok ok ok ok256", "sign 3f00/3f01/c100 2048 sha256 03", "0",
     "002241A406840103800112 002241AA0489021440 002241B6 002A9E9A20{H}"},
    {SecCos5, "", "sign 3f00/3f01/c100 2048 sha512 03", "255", ""},

    {Tcos30v2, "ok ok ok", "select 3f00/df01/c000", "0", "00A40004023F00FF 00A4010402DF01FF 00A4020402C000FF"},
    {Tcos30v2, "ok", "aid D2760000030102", "0", "00A4040407D2760000030102FF"},
    // Signing through DECIPHER: indicator 01 and the block reversed; deciphering: indicator 00.
    {Tcos30v2, "ok ok128", "sign 3F00DF01C000 1024 sha256 83", "0", "002241B80680010A840183 002A808600008101{R}0000"},
    {Tcos30v2, "ok ok8", "decipher 3F00DF01C100 1024 84", "0", "002241B80680010A840184 002A808600008100{33*128}0000"},
    {Tcos30v2, "ok128", "ia", "0", "0088000010{16*16}00"},
    {Tcos30v2, "6300", "ea", "255", "0082000080{80*128}"},
    // Device authentication only in the signature application, and only with card keys.
    {Tcos30v2, "", "initsm 3F00DF02C000", "0", ""},
    {Tcos30v2, "", "initsm 3f00df015344", "255", ""},
    {Tcos30, kGdo, "serial", kSerial, "00A40204022F02FF 00B000000C"},

    {Tcos20, "ok ok ok", "select 3f00/df01/c000", "0", "00A40000023F00FF 00A4010002DF01FF 00A4020002C000FF"},
    {SetCos441, "ok ok ok", "select 3f00/df01/c000", "0", "00A40000023F00 00A4010002DF01 00A4020002C000"},
    {SetCos442, "ok ok ok", "select 3f00/df01/c000", "0", "00A40000023F00 00A4090002DF01 00A4090002C000"},
    {Micardo21, "ok ok ok", "select 3f00/df01/c000", "0", "00A4000000 00A4010002DF01 00A4020002C000"},
    {SetCos442, "ok", "verify 123456", "0", "00200081083132333435360000"},
    {SetCos442, "", "verify 123456789", "255", ""},
    // A keyboard change in the two 8-byte fields the pin pad's modify form fills.
    {SetCos442, "ok", "change 123456 6543210", "0", "002400811031323334353600003635343332313000"},
    {Micardo21, "", "change 123456 123456789", "255", ""},
    {SetCos441, "ok32", "getdata 00 66 32", "0", "00CA006620"},
    {SetCos442, "612C ok44", "getdata 00 66 300", "0", "00CA006600 00C000002C"},
    {Tcos20, "ok ok128", "sign 3f00/df01/c000 1024 sha256 03", "0", "0022C1B806800112840103 {CDS}"},
    {Tcos20, "ok ok16", "decipher 3f00/df01/c200 1024 03", "0", "0022C1B80680011A840103 002A808480{33*128}00"},
    {SetCos441, "ok ok128", "sign 3f00/5015/4b01 1024 sha256 01", "0", "002241B60780011284020001 {CDS}"},
    {SetCos442, "ok ok16", "decipher 3f00/df01/c200 2048 02", "0",
     "002241B80780011A84020002 002A8086000100{33*256}0000"},
    {Micardo21, "ok ok128", "sign 3f00/df01/c000 1024 sha256 02", "0", "002241B6058403000002 {CDS}"},
    {Micardo21, "ok ok128", "sign 3f00/df01/c100 1024 sha256 03", "0", "002241A4058403000003 0088000033{DI}00"},
    {Micardo21, "ok 6982", "decipher 3f00/df01/c200 1024 04", "13", "002241B8058403000004 002A808680{33*128}00"},
    {SetCos441, "ok ok ok ok", "erase 3f00/5015/4401", "0", "00A40000023F00 00A40100025015 00A40200024401 000E0000"},
    {SetCos441, "ok140", "genkey 01 1024", "0", "0046800100"},
    {SetCos441, "", "genkey 01 2048", "255", ""},
    {SetCos442, "ok140", "pubkey 01", "0", "0046810100"},
    {SetCos441, "ok ok", "presign 9 3F00/5015/4B01", "0", "00A40000023F00 00A40100025015"},
};

TEST_F(ScriptedProfile, CommandsByteForByte) {
    for (const Step& row : kSteps) {
        SCOPED_TRACE(row.steps);
        auto profile = connected(row.make);
        pcsc.script.answers = answers(row.answers);
        std::string outcome;
        for (const std::string& step : words(row.steps, ';')) {
            const std::string result = runStep(*profile, step);
            if (!result.empty()) outcome += (outcome.empty() ? "" : " ") + result;
        }
        EXPECT_EQ(outcome, row.outcome);
        EXPECT_EQ(sent(), expanded(row.commands));
    }
}

// What each family makes of a VERIFY answer, and the tries it reads (-1: none).
TEST_F(ScriptedProfile, PinAnswersAndTriesLeft) {
    const std::tuple<Make, std::uint16_t, CardResult, int> rows[] = {
        {CardOS43, 0x9000, sc::cOk, -1},          {CardOS43, 0x6300, sc::cAuthFailed, -1},
        {CardOS44, 0x6983, sc::cCounterFailed, -1}, {CardOS50, 0x6401, sc::cPinPadAborted, -1},
        {CardOS60, 0x63C2, sc::cFailed, -1},       {CardOS60, 0x6400, sc::cFailed, -1},
        {StarCos30, 0x63C2, sc::cFailed, -1},      {StarCos30, 0x6300, sc::cPinWrong, -1},
        {StarCos32, 0x63C2, sc::cFailed, 2},       {StarCos32, 0x63C0, sc::cFailed, 0},
        {StarCos32, 0x6983, sc::cCounterFailed, -1}, {StarCos32, 0x6984, sc::cPinWrong, -1},
        {StarCos32, 0x6985, sc::cAuthMethodBlocked, -1}, {StarCos32, 0x6982, sc::cFailed, -1},
        {StarCos32, 0x6300, sc::cFailed, -1},      {StarCos34, 0x6982, sc::cSecurityStatus, -1},
        {StarCos34, 0x63C1, sc::cFailed, 1},       {SecCos5, 0x6983, sc::cCounterFailed, -1},
    };
    for (const auto& [make, sw, result, tries] : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << sw);
        auto profile = connected(make);
        pcsc.script.answers = {{static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)}};
        EXPECT_EQ(runStep(*profile, "verify 123456"), std::to_string(result));
        EXPECT_EQ(profile->RemainingTries(), tries);
    }
}

// The file size each family reads from the control information of a SELECT.
TEST_F(ScriptedProfile, FileSizeFromTheControlInformation) {
    const std::tuple<Make, const char*, std::uint32_t> rows[] = {
        {CardOS43, "62088201018002012C8A", 300},       {CardOS43, "6281088201018002012C8A", 0},
        {CardOS50, "6281088201018002012C8A", 300},     {CardOS60, "62088201018002012C8A", 300},
        {Tcos20, "6F0A8102010082010183024331", 256},   {SetCos442, "6F0782010181020020", 32},
        {Micardo21, "6F078502012C820101", 300},        {Micardo21, "6F078102012C820101", 0},
        {SetCos441, "62078102012C820101", 0},
    };
    for (const auto& [make, answer, size] : rows) {
        SCOPED_TRACE(answer);
        auto profile = connected(make);
        pcsc.script.answers = {ok(hexBytes(answer))};
        ASSERT_EQ(profile->SCSelectEF(Bytes{0x43, 0x31}.data()), sc::cOk);
        EXPECT_EQ(profile->GetFileLen(), size);
    }
}

// PIN lengths by family and card profile; key lengths where a family fixes them (0: not fixed).
TEST_F(ScriptedProfile, PinAndKeyLengths) {
    const std::tuple<Make, std::int32_t, int, int, std::uint32_t> rows[] = {
        {CardOS43, 21, 6, 15, 0}, {CardOS43, 40, 5, 15, 0}, {CardOS43, 22, 8, 15, 0}, {CardOS44, 40, 5, 15, 0},
        {CardOS44, 41, 8, 15, 0}, {CardOS50, 21, 6, 12, 0}, {Tcos20, 0, 4, 8, 1024},  {SetCos441, 0, 4, 8, 1024},
        {SetCos442, 0, 6, 8, 2048}, {Micardo21, 0, 6, 8, 1024},
    };
    for (const auto& [make, cardProfile, minimum, maximum, keyBits] : rows) {
        SCOPED_TRACE(testing::Message() << typeid(*make()).name() << " " << cardProfile);
        auto profile = make();
        profile->SetCardProfile(cardProfile);
        profile->InitPinLengths();
        profile->InitKeyLengths();
        EXPECT_EQ(std::pair(+profile->PinMinLength(), +profile->PinMaxLength()), std::pair(minimum, maximum));
        if (keyBits == 0) continue;
        EXPECT_EQ(std::pair(profile->RsaKeyLength(), profile->SecondKeyLength()), std::pair(keyBits, keyBits));
    }
}

// The verify and modify start requests of a pin pad with the APDU data; KOBIL and SCM readers get their own.
TEST_F(ScriptedProfile, PinPadStructures) {
    const std::string starCosVerify = "1E1E894704080602010000000000000D000000 00200000 0820{FF*7}";
    const std::string dgnVerify = "1E1E8947040C060201000000000000 0D000000 00200000 0820{FF*7}";
    const std::string modify37 = "1E1E89470400080C05030203000000010200000015000000 00240000";
    const std::string format2Modify = " 102F{FF*7}2F{FF*7}";
    const std::string tcosModify = "1E1E020000000008040302030000000102000000 0400000000240000";
    const std::string sprx32 = "SCM Microsystems Inc. SPRx32 USB";
    const std::tuple<Make, std::int32_t, std::string, std::string, std::string> rows[] = {
        {StarCos30, 0, "vpcd 0", starCosVerify, "1E1E89470400080805030203000000010200000015000000 00240000" + format2Modify},
        {StarCos30, 0, "KOBIL Systems KAAN Advanced 0", starCosVerify,
         "1E1E89470401090805030203000000010200000015000000 00240000" + format2Modify},
        {StarCos37Dgn, 0, sprx32, dgnVerify, modify37 + format2Modify},
        {SecCos5, 0, "vpcd 0", dgnVerify, modify37 + format2Modify},
        {StarCos37DTrust, 0, "vpcd 0", "1E1E0200040C060201000000000000 05000000 00200000 00", modify37},
        {StarCos37DTrust, 0, sprx32, "1E1E0200040C060201000000000000 04000000 00200000", modify37},
        {SetCos442, 0, "vpcd 0", "1E1E020800080602010000000000000D000000 00200000 08{00*8}",
         "1E1E02080000080806030203000000010200000015000000 00240000 10{00*16}"},
        {Micardo21, 0, "vpcd 0", "1E1E0200000806020100000000000004000000 00200000",
         "1E1E02000000080806030203000000010200000015000000 00240000 10{00*16}"},
        // CardOS: the PIN lengths of the card profile; TCOS 3.0v2 asks for 5 to 15 digits in verify.
        {CardOS43, 40, "vpcd 0", "1E1E0200000F0502010000000000000400000000200000",
         "1E1E02000000000F05030203000000010200000004000000 00240000"},
        {CardOS50, 21, "vpcd 0", "1E1E0200000C0602010000000000000400000000200000",
         "1E1E02000000000C06030203000000010200000004000000 00240000"},
        {Tcos30, 0, "vpcd 0", "1E1E020000080402010000000000000400000000200000", tcosModify},
        {Tcos30v2, 0, "vpcd 0", "1E1E0200000F0502010000000000000400000000200000", tcosModify},
    };
    const auto structure = [](std::string text) { std::erase(text, ' '); return expanded(text); };
    for (const auto& [make, cardProfile, reader, verify, modify] : rows) {
        SCOPED_TRACE(verify);
        pcsc.script.systemName = reader;
        auto profile = connected(make, cardProfile);
        profile->InitPinLengths();
        ASSERT_NO_FATAL_FAILURE(startPinPad(*profile, pcsc, true));
        ASSERT_EQ(pcsc.script.controls.size(), 2u);
        EXPECT_EQ(hexText(pcsc.script.controls[0].input), structure(verify));
        EXPECT_EQ(hexText(pcsc.script.controls[1].input), structure(modify));
    }
    // Micardo changes a PIN on the pin pad only through FEATURE_MODIFY_PIN_START.
    Bytes verifyOnly = pinpad::feature(0x01, pinpad::kVerifyStart);
    const Bytes finish = pinpad::feature(0x02, pinpad::kVerifyFinish);
    verifyOnly.insert(verifyOnly.end(), finish.begin(), finish.end());
    pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, verifyOnly}};
    auto micardo = connected(Micardo21);
    ASSERT_TRUE(micardo->CheckPinPad());
    pcsc.script.controls.clear();
    EXPECT_EQ(micardo->StartModifyPinPad(), 1u);
    EXPECT_TRUE(pcsc.script.controls.empty());
}

// CardOS 5.0 on restricts key types; CardOS 6.0 without a PACE reader opens no channel.
TEST_F(ScriptedProfile, CardOSKeyTypesAndPaceWithoutAPaceReader) {
    CSC_Profile_CardOS50 v50;
    EXPECT_EQ(std::vector<bool>({v50.IsKeyTypeAllowed(1, 1), v50.IsKeyTypeAllowed(1, 0), v50.IsKeyTypeAllowed(0, 3),
                                 v50.IsKeyTypeAllowed(2, 4), v50.IsKeyTypeAllowed(0, -1),
                                 CSC_Profile_CardOS43b().IsKeyTypeAllowed(1, 0)}),
              std::vector<bool>({true, false, true, false, false, true}));
    auto v60 = connected(CardOS60);
    auto& cardos60 = static_cast<CSC_Profile_CardOS60&>(*v60);
    EXPECT_TRUE(cardos60.InitPACE("482917"));
    EXPECT_FALSE(cardos60.PaceEstablished());
    Bytes wrapped = {0x01};
    EXPECT_FALSE(cardos60.EncryptTrustedChannelData(text("abc"), 3, wrapped));
    EXPECT_TRUE(wrapped.empty());
}

// TCOS secure messaging: keys SHA-1 over K.ICC xor K.IFD and counter 1 or 2, the SSC from the challenges.
TEST(TcosSession, KeysAndCounterFromTheShares) {
    Bytes cardShare(32), terminalShare(32), shared(32);
    for (int i = 0; i < 32; ++i) shared[i] = (cardShare[i] = i * 7 & 0xFF) ^ (terminalShare[i] = 0xA5 + i);
    sc::SmSession session = sc::deriveSmSession(cardShare.data(), terminalShare.data(),
                                                hexBytes("0102030405060708").data(), hexBytes("1112131415161718").data());
    const auto hex = [](const auto& array) { return hexText(Bytes(array.begin(), array.end())); };
    for (std::uint8_t counter : {1, 2}) {
        Bytes input = shared;
        input.insert(input.end(), {0, 0, 0, counter});
        Bytes digest(20);
        SHA1(input.data(), input.size(), digest.data());
        digest.resize(16);
        EXPECT_EQ(hex(counter == 1 ? session.encryptionKey : session.macKey), hexText(digest));
    }
    EXPECT_EQ(hex(session.sendSequenceCounter), "0506070815161718");
    session.sendSequenceCounter.fill(0xFF);
    session.sendSequenceCounter[0] = 0x00;
    session.incrementCounter();
    EXPECT_EQ(hex(session.sendSequenceCounter), "0100000000000000");
}

constexpr char kPin[] = "739164";
constexpr char kNewPin[] = "60281537";  // eight digits: CardOS 4.x asks for at least that many
constexpr char kPuk[] = "58203947";

void expectNoSecretTraced(std::unique_ptr<CSC_Profile_Base> profile) {
    ScriptedPcsc pcsc;
    pcsc.script.cardModel = [](const Bytes&) { return Bytes{0x90, 0x00}; };
    ScopedTraceFile trace(9);
    LogCapture log(log4cxx::Logger::getRootLogger());
    ASSERT_EQ(profile->Connect("Reader 0", 0x77), 0u);
    EXPECT_EQ(runStep(*profile, std::string("verify ") + kPin), "0");
    EXPECT_EQ(runStep(*profile, std::string("change ") + kPin + " " + kNewPin), "0");
    EXPECT_EQ(runStep(*profile, std::string("rrc ") + kPuk + " " + kNewPin), "0");
    ASSERT_NO_FATAL_FAILURE(startPinPad(*profile, pcsc, false));
    runStep(*profile, "select 3f00/df01/c000");
    runStep(*profile, "sign - 2048 sha256 02");

    const std::string traced = trace.contents();
    EXPECT_NE(traced.find("[data sent to card]"), std::string::npos) << "the commands were not traced";
    // Every operation traces its entry and its exit under the profile's name, the selects and the
    // sign buffer (once, however the profiles delegate) among them.
    const auto count = [&](const std::string& text) {
        std::size_t n = 0;
        for (auto at = traced.find(text); at != std::string::npos; at = traced.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count(": --entering "), count(": --leaving ")) << traced;
    EXPECT_EQ(count("::BuildSignBuffer\n"), 2u) << traced;  // entering and leaving
    EXPECT_NE(traced.find("::SCSelectDF\n"), std::string::npos);
    EXPECT_NE(traced.find("::SCSelectEF\n"), std::string::npos);
    std::string logged;
    for (const std::string& message : log.messages()) logged += message + "\n";
    for (const char* secret : {kPin, kNewPin, kPuk}) {
        for (const std::string& form : secretForms(secret)) {
            EXPECT_EQ((traced + logged).find(form), std::string::npos) << form << " in:\n" << traced << logged;
        }
    }
}

// No PIN, PUK or PIN block of any profile reaches the card trace or the log.
TEST(PinTrace, NoSecretOfAnyProfileReachesTheTraceOrTheLog) {
    for (const Make make : {Tcos30, Tcos30v2, Tcos20, CardOS44, CardOS60, SetCos441, Micardo21, StarCos30,
                            StarCos37Dgn, SecCos5, SetCos442}) {
        auto profile = make();
        SCOPED_TRACE(typeid(*profile).name());
        ASSERT_NO_FATAL_FAILURE(expectNoSecretTraced(std::move(profile)));
    }
}

}  // namespace
}  // namespace kivo::test
