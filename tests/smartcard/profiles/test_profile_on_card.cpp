// The profiles against the virtual cards of tests/support/cards (through
// pcscd when the card services run, else vcard's model in this process),
// one table across the families: a wrong PIN is counted by the card, and
// every signature and deciphering checks out with OpenSSL; and what only
// some families do: PACE at the reader, the TCOS device authentication,
// the D-Trust card's long answers.

#include "smartcard/profiles/SC_Profile_CardOS44.h"
#include "smartcard/profiles/SC_Profile_CardOS60.h"
#include "smartcard/profiles/SC_Profile_Micardo21.h"
#include "smartcard/profiles/SC_Profile_SecCos5.h"
#include "smartcard/profiles/SC_Profile_SetCos442.h"
#include "smartcard/profiles/SC_Profile_StarCos34.h"
#include "smartcard/profiles/SC_Profile_StarCos37.h"
#include "smartcard/profiles/SC_Profile_TCOS20.h"
#include "smartcard/profiles/SC_Profile_TCOS30V2.h"
#include "tests/support/card/CardUnderTest.h"
#include "tests/support/card/EmulatedPinPad.h"
#include "tests/support/card/ProfileTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>

namespace kivo::test {
namespace {

namespace sc = kivo::card;
using Connect = std::function<std::unique_ptr<CSC_Profile_Base>(CardUnderTest&)>;

template <class Profile>
Connect as(std::int32_t cardType = 0) {
    return [cardType](CardUnderTest& card) -> std::unique_ptr<CSC_Profile_Base> {
        return card.connected<Profile>(cardType);
    };
}

template <class Container>
std::uint32_t lengthOf(const Container& bytes) {
    return static_cast<std::uint32_t>(bytes.size());
}
CardResult verify(CSC_Profile_Base& profile, std::uint8_t reference, const std::string& pin) {
    return profile.SCVerify(reference, text(pin.c_str()), lengthOf(pin));
}
// The status word of a bare VERIFY: the tries the card has left.
std::uint16_t triesStatus(CardUnderTest& card, std::uint8_t reference) {
    char command[9];
    std::snprintf(command, sizeof command, "002000%02X", reference);
    return VcardSession::sw(card.transmit(command));
}

constexpr std::uint32_t kSha256 = CSC_Profile_Base::cAlgSha256;
constexpr std::uint32_t kSha512 = CSC_Profile_Base::cAlgSha512;
constexpr std::uint32_t kPss = CSC_Profile_Base::cAlgFlagPss | kSha256;

// A signature with one key of the card, or a deciphering when the
// algorithm is 0 (key file of the description, bits, path, key reference,
// algorithm, card profile set before when not 0).
struct KeyUse {
    const char* keyFile;
    std::uint32_t bits;
    const char* path;
    std::uint8_t key;
    std::uint32_t algorithm = 0;
    std::int32_t cardProfile = 0;
};

void expectChecksOut(CSC_Profile_Base& profile, const KeyUse& use, const std::string& keyFile) {
    if (use.cardProfile != 0) profile.SetCardProfile(use.cardProfile);
    CSC_Profile_Base::Bytes out;
    if (use.algorithm == 0) {
        const ByteVector secret(8, 0x5E);
        const ByteVector cryptogram = rsaEncrypt(keyFile, secret);
        ASSERT_EQ(profile.SCDecipher(use.path, use.bits, cryptogram.data(), lengthOf(cryptogram), out, 0, use.key),
                  sc::cOk);
        EXPECT_EQ(out, secret);
        return;
    }
    const ByteVector hash = use.algorithm == kSha512 ? ByteVector(64, 0x42) : sha256({'k', 'i', 'v', 'o'});
    ASSERT_EQ(profile.SignData(use.path, use.bits, hash.data(), lengthOf(hash), out, use.algorithm, use.key), sc::cOk);
    if (use.algorithm == kPss) {
        EXPECT_TRUE(verifyRsaPss(keyFile, hash, out, "SHA256", 32));
    } else {
        EXPECT_TRUE(verifyRsaPkcs1(keyFile, hash, out, use.algorithm == kSha512 ? "SHA512" : "SHA256"));
    }
}

// Per family: a wrong PIN is counted by the card, the right one fills the
// counter again, and every signature and deciphering of the paths the
// family suites of the card key do not take checks out with OpenSSL
// (Micardo as the T=0 card it is: its answers fetched with GET RESPONSE).
TEST(ProfileOnTheCard, WrongPinCountedSignaturesAndDecipheringCheckOut) {
    struct CardRow {
        const char* card;
        Connect connect;
        std::uint8_t pinReference;
        std::string pin;
        CardResult wrongPin;
        std::vector<KeyUse> uses;
        bool t0InProcess = false;
    };
    const CardRow rows[] = {
        {"cardos", as<CSC_Profile_CardOS43b>(4), 0x81, "12345678", sc::cAuthFailed,
         {{"rsa2048.pem", 2048, "", 0x02, kSha256, 22}, {"rsa2048.pem", 2048, "", 0x02, kSha256, 26}}},
        {"cardos50", as<CSC_Profile_CardOS54>(16), 0x81, "123456", sc::cAuthFailed,
         {{"rsa3072.pem", 3072, "", 0x02, kPss}, {"rsa3072.pem", 3072, "", 0x03}}},
        {"starcos", as<CSC_Profile_StarCos30>(), 0x81, "123456", sc::cFailed,
         {{"rsa2048.pem", 2048, "3F00/3F01/C000", 0x02, kSha256}, {"rsa2048.pem", 2048, "3F00/3F01/C100", 0x03, kSha256}}},
        {"starcos35", as<CSC_Profile_StarCos37>(CSC_Profile_StarCos37::cCardTypeDgn), 0x81, "123456", sc::cFailed,
         {{"rsa2048.pem", 2048, "3F00/3F01/C000", 0x02, kPss}, {"rsa2048.pem", 2048, "3F00/3F01/C200", 0x04}}},
        {"seccos5", as<CSC_Profile_SecCos5>(), 0x81, "123456", sc::cFailed,
         {{"rsa2048.pem", 2048, "3F00/3F01/C000", 0x02, kSha256}, {"rsa2048.pem", 2048, "3F00/3F01/C100", 0x03, kSha512}}},
        {"tcos30", as<CSC_Profile_TCOS30V2>(13), 0x81, "123456", sc::cFailed,
         {{"rsa1024.pem", 1024, "3F00DF01C000", 0x83, kSha256}, {"rsa1024-dec.pem", 1024, "3F00DF01C100", 0x84}}},
        {"setcos441", as<CSC_Profile_SetCos441>(), 0x01, "1234", sc::cFailed,
         {{"rsa1024.pem", 1024, "3F00/5015/4B01", 0x01, kSha256}, {"rsa1024.pem", 1024, "3F00/5015/4B01", 0x02}}},
        {"setcos442", as<CSC_Profile_SetCos442>(), 0x01, "123456", sc::cFailed,
         {{"rsa2048.pem", 2048, "3F00/5015/4B01", 0x01, kSha256}, {"rsa2048.pem", 2048, "3F00/5015/4B01", 0x02}}},
        {"micardo", as<CSC_Profile_Micardo21>(), 0x01, "123456", sc::cFailed,
         {{"rsa1024.pem", 1024, "3F00/DF01/C100", 0x03, kSha256}, {"rsa1024.pem", 1024, "3F00/DF01/C000", 0x04}},
         true},
    };
    for (const CardRow& row : rows) {
        SCOPED_TRACE(row.card);
        CardUnderTest card(row.card);
        if (row.t0InProcess) {
            ASSERT_NO_FATAL_FAILURE(card.openInProcess());
            card.speakT0();
        } else {
            ASSERT_NO_FATAL_FAILURE(card.open());
        }
        auto profile = row.connect(card);
        EXPECT_EQ(verify(*profile, row.pinReference, std::string(row.pin.size(), '9')), row.wrongPin);
        EXPECT_EQ(triesStatus(card, row.pinReference), 0x63C2) << "the card counted the wrong PIN";
        ASSERT_EQ(verify(*profile, row.pinReference, row.pin), sc::cOk);
        EXPECT_EQ(triesStatus(card, row.pinReference), 0x9000) << "verified, counter full";
        for (const KeyUse& use : row.uses) expectChecksOut(*profile, use, card.keyFile(use.keyFile));
        if (!row.t0InProcess) continue;
        bool fetched = false;
        for (const std::string& command : card.commands()) fetched |= command.rfind("00C00000", 0) == 0;
        EXPECT_TRUE(fetched) << "no answer fetched with GET RESPONSE";
    }
}

// PACE at a reader with EXECUTE_PACE, the card refusing its commands
// until the channel stands: the card access number given, taken from the
// PACE_CANCACHE entry of the card's serial number, or typed at the reader;
// a wrong number, a cancel and a time-out fail. The request is the
// reader's byte for byte, the number never reaches the trace, and freeing
// PACE ends the channel.
TEST(ProfileOnTheCard, CardOS60EstablishesPaceAtTheReader) {
    constexpr char kCan[] = "482917";
    const std::string withCan = "020B000200063438323931370000";
    const std::string typedAtReader = "0205000200000000";
    struct Row {
        const char* name;
        std::string given;
        std::function<void(EmulatedPinPad&)> atReader;
        bool cached;
        std::string request;
        bool established;
    };
    const auto nothing = [](EmulatedPinPad&) {};
    const Row rows[] = {
        {"given", kCan, nothing, false, withCan, true},
        {"wrong", "482918", nothing, false, "020B000200063438323931380000", false},
        {"cached", "", nothing, true, withCan, true},
        {"typed", "", [&](EmulatedPinPad& pad) { pad.type({kCan}); }, false, typedAtReader, true},
        {"cancelled", "", [](EmulatedPinPad& pad) { pad.cancel(); }, false, typedAtReader, false},
        {"timed out", "", [](EmulatedPinPad& pad) { pad.timeOut(); }, false, typedAtReader, false},
    };
    CardUnderTest card("cardos60");
    ASSERT_NO_FATAL_FAILURE(card.open());
    ScopedTraceFile trace(9);
    const std::string cacheFile = (trace.path().parent_path() / "can-cache.txt").string();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EmulatedPinPad pad({.executePace = true}, "PACE reader");
        auto v60 = card.connected<CSC_Profile_CardOS60>(20);
        v60->CheckPinPad();
        std::ofstream(cacheFile) << "other=111111,\n" << v60->GetSerialNumber() << "=" << kCan << "\n";
        if (row.cached) ::setenv("PACE_CANCACHE", cacheFile.c_str(), 1);
        row.atReader(pad);
        EXPECT_EQ(v60->InitPACE(row.given), row.established);
        ::unsetenv("PACE_CANCACHE");
        ASSERT_FALSE(pad.paceRequests().empty());
        EXPECT_EQ(hexText(pad.paceRequests().back()), row.request);
        EXPECT_EQ(v60->PaceEstablished(), row.established);
        EXPECT_EQ(v60->SCVerify(0x81, text("123456"), 6), row.established ? sc::cOk : sc::cFailed);
        if (!row.established) continue;
        v60->FreePACE();
        EXPECT_EQ(hexText(pad.paceRequests().back()), "030000");
        EXPECT_EQ(VcardSession::sw(card.transmit("0020008100")), 0x6982) << "channel ended";
    }
    const std::string traced = trace.contents();
    EXPECT_NE(traced.find("PACE: result 0x00000000, channel established"), std::string::npos);
    EXPECT_NE(traced.find("PACE: result 0xf0046300, refused by the card"), std::string::npos);
    EXPECT_NE(traced.find("PACE: result 0xf0200001, cancelled at the reader"), std::string::npos);
    for (const char* form : {"482917", "34:38:32:39:31:37", "34 38 32 39 31 37", "343832393137"}) {
        EXPECT_EQ(traced.find(form), std::string::npos) << form;
    }
}

// Modulus and public exponent of the key in `pemFile`, as SetSMKeys takes them.
std::pair<ByteVector, ByteVector> publicNumbers(const std::string& pemFile) {
    std::pair<ByteVector, ByteVector> numbers;
    FILE* f = std::fopen(pemFile.c_str(), "r");
    if (!f) return numbers;
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    if (key && EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) == 1) {
        numbers.first.resize(BN_num_bytes(n));
        numbers.second.resize(BN_num_bytes(e));
        BN_bn2bin(n, numbers.first.data());
        BN_bn2bin(e, numbers.second.data());
    }
    BN_free(n);
    BN_free(e);
    EVP_PKEY_free(key);
    return numbers;
}

// The TCOS device authentication opens secure messaging only with the
// card's own key; answers without the 6A ... BC frame get new challenges,
// at most 11 INTERNAL AUTHENTICATEs a call (the misframed card frames its
// first 14 answers wrongly: 11 tries fail, then 3 more and a framed one).
TEST(ProfileOnTheCard, TcosDeviceAuthentication) {
    struct Call {
        CardResult result;
        int fewestAttempts, mostAttempts;
    };
    struct Row {
        const char* card;
        const char* smKey;
        std::vector<Call> calls;
    };
    const Row rows[] = {
        {"tcos30", "rsa1024-device.pem", {{sc::cOk, 1, 1}}},
        // A misread answer may happen to carry the frame: the hash check ends it at once.
        {"tcos30", "rsa1024-dec.pem", {{sc::cFailed, 1, 11}}},
        {"tcos30-misframed", "rsa1024-device.pem", {{sc::cFailed, 11, 11}, {sc::cOk, 4, 4}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.card) + " " + row.smKey);
        CardUnderTest card(row.card);
        ASSERT_NO_FATAL_FAILURE(card.open());
        auto profile = card.connected<CSC_Profile_TCOS30>(2);
        const auto [modulus, exponent] = publicNumbers(card.keyFile(row.smKey));
        ASSERT_EQ(profile->SetSMKeys(modulus.data(), lengthOf(modulus), exponent.data(), lengthOf(exponent)),
                  sc::cOk);
        profile->PreSigning(20, "3f00df01c000");
        for (const Call& call : row.calls) {
            card.mark();
            EXPECT_EQ(profile->InitSM(), call.result);
            EXPECT_EQ(profile->IsSMActive(), call.result == sc::cOk);
            int attempts = 0;
            for (const std::string& command : card.commands()) attempts += command.rfind("0088000010", 0) == 0;
            EXPECT_GE(attempts, call.fewestAttempts);
            EXPECT_LE(attempts, call.mostAttempts);
            if (call.result == sc::cOk) {
                EXPECT_EQ(card.commands().back().substr(0, 10), "0082000080");
            }
        }
    }
}

// GET DATA 0102 answers 512 bytes: the D-Trust card receives them all,
// StarCos 3.7 DGN keeps the 510-byte limit of other cards.
TEST(ProfileOnTheCard, OnlyTheDTrustCardReceives512Bytes) {
    CardUnderTest card("starcos35");
    ASSERT_NO_FATAL_FAILURE(card.open());
    const std::uint8_t zero = 0x00;
    for (const std::int32_t type : {CSC_Profile_StarCos37::cCardTypeDTrust, CSC_Profile_StarCos37::cCardTypeDgn}) {
        SCOPED_TRACE(type);
        auto profile = card.connected<CSC_Profile_StarCos37>(type);
        profile->SetApdu(CSC_Transport::cCaseExtended, 0x00, 0xCA, 0x01, 0x02, 1, 0x0200, &zero, 1);
        const bool dTrust = type == CSC_Profile_StarCos37::cCardTypeDTrust;
        ASSERT_EQ(profile->SendToCard(), dTrust);
        if (!dTrust) continue;
        ASSERT_EQ(profile->ResponseLength(), 512u);
        for (std::uint32_t i = 0; i < 512; ++i) ASSERT_EQ(profile->Response()[i], i & 0xFF) << i;
    }
}

}  // namespace
}  // namespace kivo::test
