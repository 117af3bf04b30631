// The profiles on the virtual cards: OpenSSL-checked keys, PACE, TCOS device authentication.

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

#include <algorithm>
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

std::uint32_t lengthOf(const ByteVector& bytes) { return static_cast<std::uint32_t>(bytes.size()); }

constexpr std::uint32_t kSha256 = CSC_Profile_Base::cAlgSha256, kSha512 = CSC_Profile_Base::cAlgSha512;
constexpr std::uint32_t kPss = CSC_Profile_Base::cAlgFlagPss | kSha256;

// A signature with one key of the card, or a deciphering when the algorithm is 0.
struct KeyUse {
    const char* keyFile; std::uint32_t bits; const char* path; std::uint8_t key;
    std::uint32_t algorithm = 0; std::int32_t cardProfile = 0;
};

void expectChecksOut(CSC_Profile_Base& profile, const KeyUse& use, const std::string& keyFile) {
    if (use.cardProfile != 0) profile.SetCardProfile(use.cardProfile);
    CSC_Profile_Base::Bytes out;
    if (use.algorithm == 0) {
        const ByteVector secret(8, 0x5E);
        const ByteVector cryptogram = rsaEncrypt(keyFile, secret);
        ASSERT_EQ(profile.SCDecipher(use.path, use.bits, cryptogram.data(), lengthOf(cryptogram), out, 0, use.key), sc::cOk);
        EXPECT_EQ(out, secret);
        return;
    }
    const ByteVector hash = use.algorithm == kSha512 ? ByteVector(64, 0x42) : sha256({'k', 'i', 'v', 'o'});
    ASSERT_EQ(profile.SignData(use.path, use.bits, hash.data(), lengthOf(hash), out, use.algorithm, use.key), sc::cOk);
    EXPECT_TRUE(use.algorithm == kPss ? verifyRsaPss(keyFile, hash, out, "SHA256", 32)
                                      : verifyRsaPkcs1(keyFile, hash, out, use.algorithm == kSha512 ? "SHA512" : "SHA256"));
}

// Per family: the card counts a wrong PIN, the right one refills the counter, and the signing
// paths the card key suite does not take check out with OpenSSL (Micardo as a T=0 card).
TEST(ProfileOnTheCard, WrongPinCountedSignaturesAndDecipheringCheckOut) {
    struct CardRow {
        const char* card; Connect connect; std::string pinReference, pin; CardResult wrongPin;
        std::vector<KeyUse> uses; bool t0InProcess = false;
    };
    const CardRow rows[] = {
        {"cardos", as<CSC_Profile_CardOS43b>(4), "81", "12345678", sc::cAuthFailed,
         {{"rsa2048.pem", 2048, "", 0x02, kSha256, 22}, {"rsa2048.pem", 2048, "", 0x02, kSha256, 26}}},
        {"cardos50", as<CSC_Profile_CardOS54>(16), "81", "123456", sc::cAuthFailed,
         {{"rsa3072.pem", 3072, "", 0x02, kPss}, {"rsa3072.pem", 3072, "", 0x03}}},
        {"starcos", as<CSC_Profile_StarCos30>(), "81", "123456", sc::cFailed,
         {{"rsa2048.pem", 2048, "3F00/3F01/C000", 0x02, kSha256}, {"rsa2048.pem", 2048, "3F00/3F01/C100", 0x03, kSha256}}},
        {"starcos35", as<CSC_Profile_StarCos37>(CSC_Profile_StarCos37::cCardTypeDgn), "81", "123456", sc::cFailed,
         {{"rsa2048.pem", 2048, "3F00/3F01/C000", 0x02, kPss}, {"rsa2048.pem", 2048, "3F00/3F01/C200", 0x04}}},
        {"seccos5", as<CSC_Profile_SecCos5>(), "81", "123456", sc::cFailed,
         {{"rsa2048.pem", 2048, "3F00/3F01/C000", 0x02, kSha256}, {"rsa2048.pem", 2048, "3F00/3F01/C100", 0x03, kSha256}}},
        {"tcos30", as<CSC_Profile_TCOS30V2>(13), "81", "123456", sc::cFailed,
         {{"rsa1024.pem", 1024, "3F00DF01C000", 0x83, kSha256}, {"rsa1024-dec.pem", 1024, "3F00DF01C100", 0x84}}},
        {"setcos441", as<CSC_Profile_SetCos441>(), "01", "1234", sc::cFailed,
         {{"rsa1024.pem", 1024, "3F00/5015/4B01", 0x01, kSha256}, {"rsa1024.pem", 1024, "3F00/5015/4B01", 0x02}}},
        {"setcos442", as<CSC_Profile_SetCos442>(), "01", "123456", sc::cFailed,
         {{"rsa2048.pem", 2048, "3F00/5015/4B01", 0x01, kSha256}, {"rsa2048.pem", 2048, "3F00/5015/4B01", 0x02}}},
        {"micardo", as<CSC_Profile_Micardo21>(), "01", "123456", sc::cFailed,
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
        const auto verify = [&](const std::string& pin) {
            return profile->SCVerify(hexBytes(row.pinReference)[0], text(pin.c_str()), static_cast<std::uint32_t>(pin.size()));
        };
        const auto triesStatus = [&] { return VcardSession::sw(card.transmit("002000" + row.pinReference)); };
        EXPECT_EQ(verify(std::string(row.pin.size(), '9')), row.wrongPin);
        EXPECT_EQ(triesStatus(), 0x63C2) << "the card counted the wrong PIN";
        ASSERT_EQ(verify(row.pin), sc::cOk);
        EXPECT_EQ(triesStatus(), 0x9000) << "verified, counter full";
        for (const KeyUse& use : row.uses) expectChecksOut(*profile, use, card.keyFile(use.keyFile));
        const auto fetch = [](const std::string& command) { return command.rfind("00C00000", 0) == 0; };
        EXPECT_TRUE(!row.t0InProcess || std::ranges::any_of(card.commands(), fetch)) << "no GET RESPONSE";
    }
}

// PACE at a reader with EXECUTE_PACE, the number given, cached (PACE_CANCACHE) or typed:
// the requests byte for byte, no number in the trace, and freeing PACE ends the channel.
TEST(ProfileOnTheCard, CardOS60EstablishesPaceAtTheReader) {
    constexpr char kCan[] = "482917";
    const std::string withCan = "020B000200063438323931370000";
    const std::string typedAtReader = "0205000200000000";
    const auto nothing = [](EmulatedPinPad&) {};
    const std::tuple<const char*, std::string, std::function<void(EmulatedPinPad&)>, bool, std::string, bool> rows[] = {
        // name, number given, done at the reader, cached, request, established
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
    for (const auto& [name, given, atReader, cached, request, established] : rows) {
        SCOPED_TRACE(name);
        EmulatedPinPad pad({.executePace = true}, "PACE reader");
        auto v60 = card.connected<CSC_Profile_CardOS60>(20);
        v60->CheckPinPad();
        std::ofstream(cacheFile) << "other=111111,\n" << v60->GetSerialNumber() << "=" << kCan << "\n";
        if (cached) ::setenv("PACE_CANCACHE", cacheFile.c_str(), 1);
        atReader(pad);
        EXPECT_EQ(v60->InitPACE(given), established);
        ::unsetenv("PACE_CANCACHE");
        ASSERT_FALSE(pad.paceRequests().empty());
        EXPECT_EQ(hexText(pad.paceRequests().back()), request);
        EXPECT_EQ(v60->PaceEstablished(), established);
        EXPECT_EQ(v60->SCVerify(0x81, text("123456"), 6), established ? sc::cOk : sc::cFailed);
        if (!established) continue;
        v60->FreePACE();
        EXPECT_EQ(hexText(pad.paceRequests().back()), "030000");
        EXPECT_EQ(VcardSession::sw(card.transmit("0020008100")), 0x6982) << "channel ended";
    }
    const std::string traced = trace.contents();
    EXPECT_NE(traced.find("PACE: result 0x00000000, channel established"), std::string::npos);
    EXPECT_NE(traced.find("PACE: result 0xf0046300, refused by the card"), std::string::npos);
    EXPECT_NE(traced.find("PACE: result 0xf0200001, cancelled at the reader"), std::string::npos);
    for (const std::string& form : secretForms(kCan)) {
        EXPECT_EQ(traced.find(form), std::string::npos) << form;
    }
}

ByteVector publicNumber(const std::string& pemFile, const char* name) {
    BIO* file = BIO_new_file(pemFile.c_str(), "r");
    EVP_PKEY* key = PEM_read_bio_PrivateKey(file, nullptr, nullptr, nullptr);
    BIGNUM* number = nullptr;
    ByteVector bytes(key != nullptr && EVP_PKEY_get_bn_param(key, name, &number) == 1 ? BN_num_bytes(number) : 0);
    if (number != nullptr) BN_bn2bin(number, bytes.data());
    BN_free(number);
    EVP_PKEY_free(key);
    BIO_free(file);
    return bytes;
}

// TCOS device authentication opens secure messaging only with the card's own key; answers without
// the 6A ... BC frame get new challenges, at most 11 a call (the misframed card frames 14 wrongly).
TEST(ProfileOnTheCard, TcosDeviceAuthentication) {
    struct Call { CardResult result; int fewestAttempts, mostAttempts; };
    const std::tuple<const char*, const char*, std::vector<Call>> rows[] = {
        {"tcos30", "rsa1024-device.pem", {{sc::cOk, 1, 1}}},
        // A misread answer may happen to carry the frame: the hash check ends it at once.
        {"tcos30", "rsa1024-dec.pem", {{sc::cFailed, 1, 11}}},
        {"tcos30-misframed", "rsa1024-device.pem", {{sc::cFailed, 11, 11}, {sc::cOk, 4, 4}}},
    };
    for (const auto& [cardName, smKey, calls] : rows) {
        SCOPED_TRACE(std::string(cardName) + " " + smKey);
        CardUnderTest card(cardName);
        ASSERT_NO_FATAL_FAILURE(card.open());
        auto profile = card.connected<CSC_Profile_TCOS30>(2);
        const ByteVector modulus = publicNumber(card.keyFile(smKey), OSSL_PKEY_PARAM_RSA_N);
        const ByteVector exponent = publicNumber(card.keyFile(smKey), OSSL_PKEY_PARAM_RSA_E);
        ASSERT_EQ(profile->SetSMKeys(modulus.data(), lengthOf(modulus), exponent.data(), lengthOf(exponent)),
                  sc::cOk);
        profile->PreSigning(20, "3f00df01c000");
        card.mark();
        EXPECT_TRUE(profile->InitSM() == sc::cFailed && !profile->IsSMActive() && card.commands().empty())
            << "commands are not protected: the signature key is refused before anything is sent";
        for (const Call& call : calls) {
            card.mark();
            kivo::card::SmSession session;
            EXPECT_EQ(kivo::card::authenticateDevice(*profile, modulus, exponent, session), call.result);
            int attempts = 0;
            for (const std::string& command : card.commands()) attempts += command.rfind("0088000010", 0) == 0;
            EXPECT_GE(attempts, call.fewestAttempts);
            EXPECT_LE(attempts, call.mostAttempts);
            EXPECT_TRUE(call.result != sc::cOk || card.commands().back().rfind("0082000080", 0) == 0);
        }
    }
}

// GET DATA 0102 answers 512 bytes: only the D-Trust card receives them all.
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
