// The card key on a PKCS#15 card (SetCos 4.4.1 type, vcard's model or the
// card services): which entry a certificate identifier selects, the key
// algorithm of its certificate, signatures and deciphering checked with
// OpenSSL, and the PIN state rules of a single-signature card.

#include "platform/CardEvents.h"
#include "smartcard/base/CardResult.h"
#include "smartcard/key/SCM_Interface.h"
#include "smartcard/transport/Reader.h"
#include "tests/support/card/CardUnderTest.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace kivo::test {
namespace {

constexpr char kSetCosAtr[] = "3B 9F 00 80 1F C3 00 68 10 44 05 01 46 49 53 45 31 C8 00 90 00 00";

// "Signature key" as in pkcs15.txt, its path 3F0050154B01.
constexpr char kPrKdf[] = "303B30160C0D5369676E6174757265206B657903020780040101300F0401450303062040030203B8020102A110300E300804063F0050154B0102020800";

// The PKCS#15 card of support/cards as a SetCos card: its PrKDF names the
// key file from the MF (a SetCos 4.4.1 signs in the folder of the path),
// and that file is there; `dialect` adds to the SetCos one.
std::string setCosPkcs15Card(const std::string& dialect = "") {
    std::ifstream in(std::string(KIVO_VCARD_CARDS) + "/pkcs15.txt");
    std::ostringstream text;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("atr ", 0) == 0) line = std::string("atr ") + kSetCosAtr;
        if (line.rfind("ef 3F00/5015/4400 ", 0) == 0) line = std::string("ef 3F00/5015/4400 data=") + kPrKdf;
        text << line << "\n";
    }
    text << "dialect fci-size-tag=81 " << dialect << "\nef 3F00/5015/4B01 data=00\n";
    return text.str();
}

// A card key on the card in the card's reader, for the identifier given.
std::unique_ptr<CSCM_Interface> openCardKey(const CardUnderTest& card, const std::string& certId = "") {
    CReader readers;
    for (int index = 0; index < readers.GetReaderCount(); ++index) {
        if (readers.GetReaderName(index) != card.readerName()) continue;
        if (readers.GetSCProfile(index) == nullptr) return nullptr;
        auto key = std::make_unique<CSCM_Interface>(readers.TakeDetectedCard(), index, 0, certId, nullptr);
        key->SetReaderName(card.readerName());
        return key;
    }
    return nullptr;
}

TEST(CardKey, EntriesAndKeyAlgorithms) {
    CardUnderTest card("cardkey-entries", setCosPkcs15Card());
    ASSERT_NO_FATAL_FAILURE(card.open());
    struct Row {
        const char* certId;
        bool found;
    };
    const Row rows[] = {{"", true},  {"45", true},  {"Signature certificate", true}, {"0", true},
                        {"46", false}, {"1", false}, {"Second certificate", false}, {"x", false}};
    for (const Row& row : rows) {
        auto key = openCardKey(card, row.certId);
        ASSERT_NE(key, nullptr) << row.certId;
        const CSC_Profile::CertEntry* entry = key->FindEntry();
        ASSERT_EQ(entry != nullptr, row.found) << row.certId;
        if (entry == nullptr) continue;
        EXPECT_EQ(entry->label, "Signature certificate");
        EXPECT_EQ(entry->keyReference, 0x02);
        EXPECT_EQ(entry->pinReference, 0x81);
        EXPECT_EQ(entry->keyBits, 2048u);
        EXPECT_EQ(key->Card()->CardProfile(), key->Layout()->CardProfile());
        EXPECT_EQ(key->ReaderName(), card.readerName());
    }
    auto key = openCardKey(card);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->Certificates().size(), 1u);
    EXPECT_EQ(key->KeyAlgorithm(0), CCertInfoSC::KeyAlgorithm::Rsa);
    EXPECT_EQ(key->KeyAlgorithm(1), CCertInfoSC::KeyAlgorithm::Unknown);
    EXPECT_FALSE(key->UsesPACE());
    ASSERT_EQ(key->Layout()->CaCertificates().size(), 1u);
    EXPECT_EQ(CCertInfoSC(key->Layout()->CaCertificates().front().certificate).GetKeyAlgorithm(),
              CCertInfoSC::KeyAlgorithm::Ec);
    EXPECT_EQ(CCertInfoSC({0x30, 0x03, 0x02, 0x01, 0x00}).GetKeyAlgorithm(), CCertInfoSC::KeyAlgorithm::Unknown);
}

// A single-signature card: every operation needs a verified PIN before
// it; without one nothing goes to the card and the failure is broadcast.
TEST(CardKey, SignsAndDeciphersOncePerVerification) {
    CardUnderTest card("cardkey-sign", setCosPkcs15Card());
    ASSERT_NO_FATAL_FAILURE(card.open());
    std::vector<std::uintptr_t> events;
    ScopedCardEventSubscription subscription([&](const CardEvent& event) { events.push_back(event.wParam); });
    auto key = openCardKey(card);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->Layout()->SingleCard(), 1);
    const std::string keyFile = card.keyFile("rsa2048.pem");
    const ByteVector data = {'k', 'i', 'v', 'o'};
    const ByteVector hash = sha256(data);
    std::vector<std::uint8_t> out(512);
    unsigned long length = 0;

    const auto signWithoutPin = [&] {
        events.clear();
        card.mark();
        EXPECT_NE(key->CardSignData(hash.data(), hash.size(), out.data(), &length, 1, true, false), card::cOk);
        EXPECT_TRUE(card.commands().empty()) << "sent without a verified PIN";
        EXPECT_EQ(events, std::vector<std::uintptr_t>{CardEvents::cCardOperationFailed});
    };
    signWithoutPin();

    struct Row {
        const char* name;
        bool dataIsDigest;
    };
    for (const Row& row : {Row{"hash given", true}, Row{"data hashed by the key", false}}) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(key->VerifyPIN("123456", 0));
        const ByteVector& input = row.dataIsDigest ? hash : data;
        ASSERT_EQ(key->CardSignData(input.data(), input.size(), out.data(), &length, 1, row.dataIsDigest, false),
                  card::cOk);
        EXPECT_TRUE(verifyRsaSha256(keyFile, hash, ByteVector(out.begin(), out.begin() + length)));
        signWithoutPin();
    }

    ASSERT_TRUE(key->VerifyPIN("123456", 0));
    const ByteVector secret = {0x5E, 0xC2, 0xE7, 0x01, 0x02, 0x03};
    const ByteVector cryptogram = rsaEncrypt(keyFile, secret);
    ASSERT_EQ(key->CardRSADecrypt(cryptogram.data(), static_cast<int>(cryptogram.size()), out.data(), &length),
              card::cOk);
    EXPECT_EQ(ByteVector(out.begin(), out.begin() + length), secret);
    EXPECT_NE(key->CardRSADecrypt(cryptogram.data(), static_cast<int>(cryptogram.size()), out.data(), &length),
              card::cOk);
}

}  // namespace
}  // namespace kivo::test
