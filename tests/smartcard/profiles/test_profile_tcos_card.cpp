// The TCOS profiles against the virtual card of tests/support/cards/tcos30.txt
// (through pcscd when it runs): PINs change the card's counters, signatures
// made through PSO DECIPHER verify with OpenSSL, deciphering gives back what
// was encrypted, and the device authentication opens secure messaging only
// with the card's own key, asking at most 11 times for a framed answer.

#include "tests/support/card/ProfileTestUtil.h"
#include "smartcard/profiles/SC_Profile_TCOS30V2.h"
#include "tests/support/card/CardUnderTest.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>

namespace kivo::test {
namespace {

namespace sc = kivo::card;

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

class TcosOnTheCard : public ProfileOnCard {
protected:
    TcosOnTheCard() : ProfileOnCard("tcos30") {}

    // InitSM for the signature key with the SM keys of `pemFile`; the
    // INTERNAL AUTHENTICATEs the card received.
    CardResult authenticate(CSC_Profile_TCOS30& profile, const std::string& pemFile, int& internal) {
        const auto [modulus, exponent] = publicNumbers(card.keyFile(pemFile));
        EXPECT_EQ(profile.SetSMKeys(modulus.data(), static_cast<std::uint32_t>(modulus.size()),
                                    exponent.data(), static_cast<std::uint32_t>(exponent.size())),
                  sc::cOk);
        profile.PreSigning(20, "3f00df01c000");
        card.mark();
        const CardResult result = profile.InitSM();
        internal = 0;
        for (const std::string& command : card.commands()) internal += command.rfind("0088000010", 0) == 0;
        return result;
    }
};

TEST_F(TcosOnTheCard, PinCommandsChangeTheCardsState) {
    auto tcos = card.connected<CSC_Profile_TCOS30>(2);
    EXPECT_EQ(tcos->SCVerify(0x81, text("654321"), 6), sc::cFailed);
    EXPECT_EQ(VcardSession::sw(card.transmit("00200081")), 0x63C2) << "the card counted the wrong PIN";
    EXPECT_EQ(tcos->SCVerify(0x81, text("123456"), 6), sc::cOk);
    EXPECT_EQ(tcos->ChangeRef("", "", 0x81, false, "123456", "2468"), sc::cOk);
    EXPECT_EQ(tcos->SCVerify(0x81, text("2468"), 4), sc::cOk);
    for (int i = 0; i < 3; ++i) tcos->SCVerify(0x81, text("0000"), 4);
    EXPECT_EQ(tcos->SCVerify(0x81, text("2468"), 4), sc::cCounterFailed);
    EXPECT_EQ(tcos->UnblockRef("", "", 0x81, "12345678", "123456"), sc::cOk);
    EXPECT_EQ(tcos->SCVerify(0x81, text("123456"), 6), sc::cOk);
}

TEST_F(TcosOnTheCard, WhatTheCardSignsAndDeciphersChecksOut) {
    const ByteVector hash = sha256({'t', 'c', 'o', 's'});
    auto v2 = card.connected<CSC_Profile_TCOS30V2>(13);
    ASSERT_EQ(v2->SCVerify(0x81, text("123456"), 6), sc::cOk);
    CSC_Profile_Base::Bytes signature;
    ASSERT_EQ(v2->SignData("3F00DF01C000", 1024, hash.data(), 32, signature,
                           CSC_Profile_Base::cAlgSha256, 0x83),
              sc::cOk);
    EXPECT_TRUE(verifyRsaSha256(card.keyFile("rsa1024.pem"), hash, signature));

    const ByteVector secret = {0x5E, 0xC2, 0xE7, 0x01, 0x02, 0x03, 0x04, 0x05};
    const ByteVector cryptogram = rsaEncrypt(card.keyFile("rsa1024-dec.pem"), secret);
    CSC_Profile_Base::Bytes plain;
    ASSERT_EQ(v2->SCDecipher("3F00DF01C100", 1024, cryptogram.data(),
                             static_cast<std::uint32_t>(cryptogram.size()), plain, 0, 0x84),
              sc::cOk);
    EXPECT_EQ(plain, secret);
}

// The card's device key opens secure messaging; another key cannot read
// the card's answers, so the attempts fail and nothing is opened.
TEST_F(TcosOnTheCard, DeviceAuthenticationNeedsTheCardsKey) {
    int internal = 0;
    auto right = card.connected<CSC_Profile_TCOS30>(2);
    EXPECT_EQ(authenticate(*right, "rsa1024-device.pem", internal), sc::cOk);
    EXPECT_TRUE(right->IsSMActive());
    EXPECT_EQ(internal, 1);
    const auto commands = card.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back().substr(0, 10), "0082000080");

    auto wrong = card.connected<CSC_Profile_TCOS30V2>(13);
    EXPECT_EQ(authenticate(*wrong, "rsa1024-dec.pem", internal), sc::cFailed);
    EXPECT_FALSE(wrong->IsSMActive());
    // Eleven unless a misread answer happens to carry the frame, when the
    // hash check ends the exchange at once.
    EXPECT_GE(internal, 1);
    EXPECT_LE(internal, 11);
}

// Answers without the 6A ... BC frame get new challenges: three such
// answers, then success with the fourth; twelve such answers end the
// exchange after eleven.
class TcosMisframing : public ProfileOnCard {
protected:
    TcosMisframing() : ProfileOnCard("tcos30-misframed") {}
};

TEST_F(TcosMisframing, AtMostElevenInternalAuthentications) {
    const auto [modulus, exponent] = publicNumbers(card.keyFile("rsa1024-device.pem"));
    auto profile = card.connected<CSC_Profile_TCOS30>(2);
    ASSERT_EQ(profile->SetSMKeys(modulus.data(), static_cast<std::uint32_t>(modulus.size()),
                                 exponent.data(), static_cast<std::uint32_t>(exponent.size())),
              sc::cOk);
    profile->PreSigning(20, "3F00DF015344");
    auto internalAuthentications = [&] {
        int count = 0;
        for (const std::string& command : card.commands()) count += command.rfind("0088000010", 0) == 0;
        return count;
    };
    card.mark();
    EXPECT_EQ(profile->InitSM(), sc::cFailed) << "the card frames its first 14 answers wrongly";
    EXPECT_EQ(internalAuthentications(), 11);
    EXPECT_FALSE(profile->IsSMActive());
    card.mark();
    EXPECT_EQ(profile->InitSM(), sc::cOk) << "3 more wrong answers, then a framed one";
    EXPECT_EQ(internalAuthentications(), 4);
    EXPECT_TRUE(profile->IsSMActive());
}

}  // namespace
}  // namespace kivo::test
