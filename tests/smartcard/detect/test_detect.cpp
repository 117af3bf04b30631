// Card detection: the ATR table, the card object per card type, and the card layout object's product checks on
// virtual cards whose descriptions the tests write (through pcscd when it runs, else vcard's model): which
// product, which certificate entries, each certificate as the card holds it.

#include "platform/CardEvents.h"
#include "smartcard/detect/AtrTable.h"
#include "smartcard/detect/SC_Profile.h"
#include "smartcard/transport/Reader.h"
#include "tests/support/TestSupport.h"
#include "tests/support/card/CardUnderTest.h"
#include "tests/support/card/Pkcs15Card.h"
#include "smartcard/pkcs15/Pkcs15.h"
#include "tools/testpki/Pki.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace kivo::test {
namespace {


// ATRs as a reader shows them; masked bytes varied where a pattern has them.
TEST(AtrTable, IdentifiesTheCardOperatingSystem) {
    const struct { const char* atr; std::int32_t type; const char* name; } rows[] = {
        {"3B:BA:96:00:81:31:86:5D:00:64:05:7A:02:03:31:80:90:00:C3", 1, "TCOS 2.0"},
        {"3B:BA:96:00:81:31:86:5D:00:64:05:7A:02:03:31:80:90:01:C3", -1, nullptr},
        {"3B:BA:96:00:81:31:86:5D:00:64:05:00:02:03:31:80:90:00:00:00", -1, nullptr},
        {"3B:FF:11:00:FF:80:B1:FE:45:1F:03:00:68:D2:76:00:00:28:FF:05:1E:31:80:00:90:00:42", 3, "Micardo 2.1"},
        {"3B:DF:96:FF:81:31:FE:45:80:5B:01:02:03:04:05:06:07:08:09:0A:0B:0C:0D:0E", 14, "StarCos 3.5"},
        {"3b d2 18 00 81 31 fe 58 c9 04 11", 16, "CardOS 5.4"},
        {"3B:D2:18:00:81:31:FE:58:C9:04:111", -1, nullptr},
        {"", -1, nullptr},
    };
    for (const auto& row : rows) {
        std::string name = "unchanged";
        EXPECT_EQ(card::cardTypeOfAtr(row.atr, &name), row.type) << row.atr;
        EXPECT_EQ(name, row.name != nullptr ? row.name : "unchanged") << row.atr;
    }
    // Every entry is reachable: its own pattern finds its type.
    for (const card::AtrEntry* entry = card::atrTable(); entry->type != -1; ++entry) {
        EXPECT_EQ(card::cardTypeOfAtr(entry->pattern), entry->type) << entry->name;
    }
}

// A certificate file and the AID of its DF when an application.
struct CardFile { const char* path; const char* aid = nullptr; };

// A card description: ATR, dialect, serial number file, the DFs on the way (an application's with its AID) and
// a fresh self-signed certificate per file.
struct DescribedCard {
    DescribedCard(const std::string& atr, const std::string& dialect, const std::vector<CardFile>& files,
                  const std::string& serialFile = "3F00/2F02") {
        std::ostringstream out;
        if (!atr.empty()) out << "atr " << atr << "\n";
        if (!dialect.empty()) out << "dialect " << dialect << "\n";
        std::set<std::string> folders;
        if (serialFile.size() > 9 && folders.insert(serialFile.substr(0, 9)).second) out << "df " << serialFile.substr(0, 9) << "\n";
        if (!serialFile.empty()) out << "ef " << serialFile << " data=5A0A12345678901234567890\n";
        for (const CardFile& file : files) {
            const std::string path = file.path;
            for (std::size_t end = path.find('/', 5); end != std::string::npos; end = path.find('/', end + 1)) {
                if (!folders.insert(path.substr(0, end)).second) continue;
                const bool application = file.aid != nullptr && end == path.rfind('/');
                out << "df " << path.substr(0, end) << (application ? std::string(" aid=") + file.aid : "") << "\n";
            }
            const EvpKeyPtr key = generateKey(KeyKind::Rsa2048);
            certificates.push_back(derOf(makeCertificate({.subject = "/CN=File " + std::to_string(certificates.size()), .subjectKey = key.get()}).get()));
            out << "ef " << file.path << " data=" << toHex(certificates.back()) << "\n";
        }
        text = out.str();
    }
    // The card under test, told apart from the others by its number.
    CardUnderTest card() const { return CardUnderTest("detect-" + std::to_string(s_count++), text); }

    static inline int s_count = 0;
    std::string text;
    std::vector<std::vector<unsigned char>> certificates;  // in the order of the files
};

// The index of a reader in a reader list, -1 when it is not listed.
int indexOf(const CReader& readers, const std::string& name) {
    for (int i = 0; i < readers.GetReaderCount(); ++i) {
        if (readers.GetReaderName(i) == name) return i;
    }
    return -1;
}

constexpr char kTcos20Atr[] = "3B BA 96 00 81 31 86 5D 00 64 05 5A 02 03 31 80 90 00 A5";
constexpr char kTcos20Dialect[] = "fci-size-tag=81 signature-template=B8";
constexpr char kTcos30Atr[] = "3B BF 96 00 81 31 FE 5D 00 64 04 11 03 01 31 C0 73 F7 01 D0 00 90 00 7D";
constexpr char kStarCos30Atr[] = "3B BB 18 00 C0 10 31 FE 45 80 67 04 12 B0 03 04 00 10 81 05 2B";
constexpr char kStarCos32Atr[] = "3B 9F 96 81 B1 FE 45 1F 07 00 64 05 1E B2 00 31 B0 73 96 21 00 00 90 00 00";
constexpr char kStarCos34Atr[] = "3B D8 18 FF 81 B1 FE 45 1F 03 80 64 04 1A B4 03 81 05 61";
constexpr char kStarCos35Atr[] = "3B D9 96 FF 81 31 FE 45 80 31 B8 73 86 01 E0 81 05 22";
constexpr char kStarCos37Atr[] = "3B D3 96 FF 81 B1 FE 45 1F 07 80 81 05 2D";
constexpr char kTcos3v2Atr[] = "3B 9F 96 81 31 FE 9D 00 64 05 A0 03 04 31 C0 73 F7 01 D0 00 90 00 28";
constexpr char kAidEsign[] = "A000000167455349474E";

// The products of the fixed-layout card types, told apart by their files in the order of the checks: profile,
// certificate labels, key kind, the hashes allowed; every certificate read equals the one the card holds.
TEST(Detection, FixedLayoutProducts) {
    struct Row { const char* name; const char* atr; const char* dialect; std::vector<CardFile> files;
        std::int32_t profile; std::vector<std::string> labels; std::vector<std::string> caLabels;
        int keyKind = CSC_Profile::cKeyKindRsa; const char* serialFile = "3F00/2F02"; };
    const Row rows[] = {
        {"SignTrust", kTcos20Atr, kTcos20Dialect,
         {{"3F00/8000/DF01/C000"}, {"3F00/8000/8200/8220"}, {"3F00/8000/DF01/C00E"}},
         6, {"Qualified Cert", "Auth Cert"}, {"Root Qualified Cert"}},
        {"DATEV", kTcos20Atr, kTcos20Dialect, {{"3F00/3000/C500"}, {"3F00/DF01/C000"}, {"3F00/DF01/B000"}},
         7, {"SigG Cert", "Auth Cert"}, {"SigG Root Cert"}},
        {"Medisign", kTcos20Atr, kTcos20Dialect, {{"3F00/8200/C000"}, {"3F00/DF01/C000"}},
         10, {"SigG Cert", "Cipher Cert"}, {}},
        {"QuoVadis before Telesec", kTcos20Atr, kTcos20Dialect,
         {{"3F00/DF06/4331"}, {"3F00/DF01/4371"}, {"3F00/DF01/C000"}},
         15, {"Qualified Cert", "Auth Cert"}, {}},
        {"Telesec", kTcos20Atr, kTcos20Dialect, {{"3F00/DF01/C000"}}, 1, {"Qualified Cert"}, {}},
        {"TCOS 2.0 without known files", kTcos20Atr, kTcos20Dialect, {{"3F00/DF07/C000"}}, 0, {}, {}},
        {"TCOS 3.0 signature", kTcos30Atr, "", {{"3F00/DF01/C000"}, {"3F00/DF01/C008"}},
         3, {"Signature Cert"}, {"DS CA Cert"}},
        {"TCOS 3.0 encoding", kTcos30Atr, "", {{"3F00/DF02/C500"}}, 4, {"Auth Cert"}, {}},
        {"Micardo 2.1 (T=0)", "3B 6F 00 FF 00 68 D2 76 00 00 28 FF 05 1E 31 80 00 90 00",
         "fci-size-tag=85 get-response=all", {{"3F00/DF01/C000"}, {"3F00/DF01/C008"}},
         2, {"Qualified Cert"}, {"Root CA Cert"}, CSC_Profile::cKeyKindRsa, "3F00/5015/5032"},
        {"StarCos 3.0 qualified", kStarCos30Atr, "", {{"3F00/DF01/C000"}}, 6, {"Qualified Cert"}, {}},
        {"StarCos 3.0 advanced", kStarCos30Atr, "", {{"3F00/DF02/C000"}, {"3F00/DF02/C500"}},
         13, {"Advanced Cert", "Auth Cert"}, {}},
        {"StarCos 3.2", kStarCos32Atr, "", {{"3F00/DF01/C000"}, {"3F00/DF01/C008"}},
         11, {"Qualified Cert"}, {"DS CA Cert"}},
        {"StarCos 3.4 advanced", kStarCos34Atr, "", {{"3F00/DF02/C000"}}, 61, {"Advanced Cert"}, {}},
        {"StarCos 3.4 auth", kStarCos34Atr, "", {{"3F00/DF03/C500"}, {"3F00/DF03/C50E"}},
         63, {"Auth Cert"}, {"Auth CA Cert"}},
        {"StarCos 3.5", kStarCos35Atr, "get-data-class=A0", {{"3F00/DF01/C000"}}, 74, {"Qualified Cert"}, {}},
        {"TCOS 3.0v2", kTcos3v2Atr, "", {{"3F00/DF01/C001", kAidEsign}}, 75, {"QES Cert"}, {}},
        {"StarCos 3.7 RSA", kStarCos37Atr, "", {{"3F00/DF01/C000", "D27600006601"}, {"3F00/DF02/C500", kAidEsign}},
         89, {"Signing Cert", "Auth Cert"}, {}},
        {"StarCos 3.7 ECDSA", kStarCos37Atr, "", {{"3F00/DF01/C006", "D27600006601"}},
         89, {"Signing Cert"}, {}, CSC_Profile::cKeyKindEc},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DescribedCard description(row.atr, row.dialect, row.files, row.serialFile);
        CardUnderTest card = description.card();
        ASSERT_NO_FATAL_FAILURE(card.open());
        std::vector<std::uintptr_t> events;
        ScopedCardEventSubscription subscription([&](const CardEvent& event) { events.push_back(event.wParam); });
        CReader readers;
        const int index = indexOf(readers, card.readerName());
        ASSERT_GE(index, 0);
        ASSERT_NE(readers.GetSCProfile(index), nullptr);
        const CSC_Profile& layout = *readers.GetCardLayout();
        EXPECT_EQ(events, (std::vector<std::uintptr_t>{0x2002, 0x2003}));
        EXPECT_EQ(std::make_tuple(layout.CardProfile(), layout.KeyKind(), layout.SingleCard(), layout.CardLabel()),
                  std::make_tuple(row.profile, row.keyKind, std::string(row.atr) == kTcos20Atr ? 0 : 1, std::string("SmartCard")));
        std::vector<std::string> labels, caLabels;
        std::vector<std::vector<unsigned char>> read;
        for (const auto& entry : layout.Certificates()) {
            labels.push_back(entry.label);
            read.push_back(entry.certificate);
            EXPECT_FALSE(entry.pinPath.empty() && entry.application.empty()) << entry.label;
        }
        for (const auto& entry : layout.CaCertificates()) {
            caLabels.push_back(entry.label);
            read.push_back(entry.certificate);
            EXPECT_TRUE(entry.keyPath.empty()) << entry.label;
        }
        EXPECT_EQ(labels, row.labels);
        EXPECT_EQ(caLabels, row.caLabels);
        EXPECT_EQ(layout.CertCount(), static_cast<int>(row.labels.size()));
        for (int code = 0; code < 6; ++code) {  // QuoVadis signs SHA-256 only; RIPEMD-160 and MD5 no card
            EXPECT_EQ(layout.IsHashAllowed(code), code < 4 && (row.profile != 15 || code == 1)) << "hash " << code;
        }
        if (row.profile == 0) continue;
        EXPECT_FALSE(layout.SerialNumber().empty());
        std::vector<std::vector<unsigned char>> written = description.certificates;
        if (std::string(row.name) == "QuoVadis before Telesec") written.pop_back();  // C000 is not QuoVadis'
        std::sort(read.begin(), read.end());
        std::sort(written.begin(), written.end());
        EXPECT_EQ(read, written);
    }
}

// PKCS#15 cards whose product the token label tells, label rules in their order: profile, flags, key kind, and
// the certificate entries (the D-TRUST products from their own files, the others from the PKCS#15 objects).
TEST(Detection, LabelledProducts) {
    struct Row { const char* atr; const char* label; std::vector<CardFile> files; std::int32_t profile;
        int singleCard; bool signCard; int keyKind; std::vector<std::string> labels; const char* dialect = ""; };
    const char* cardOs43 = "3B F2 18 00 02 C1 0A 31 FE 58 C8 08 74";
    const char* cardOs50 = "3B D2 18 00 81 31 FE 58 C9 01 14";
    const char* cardOs54 = "3B D2 18 00 81 31 FE 58 C9 04 11";
    const char* cardOs60 = "3B D2 18 00 81 31 FE 58 CB 01 16";
    const char* starCos37 = "3B DA 96 FF 81 B1 FE 45 1F 07 80 58 44 54 52 20 56 31 2E 31 E2";
    const char* setCos = "3B 9F 00 80 1F C3 00 68 10 44 05 01 46 49 53 45 31 C8 00 90 00 00";
    const std::vector<std::string> pkcs15Labels = {"Signature certificate"};
    const Row rows[] = {
        {cardOs43, "SignCard single", {}, 20, 1, true, 1, pkcs15Labels},
        {cardOs43, "D-SIGN multicard 2.0 2ce", {}, 28, 0, false, 1, pkcs15Labels},
        {cardOs43, "D-SIGN multicard", {}, 22, 0, false, 1, pkcs15Labels},
        {cardOs43, "TC QSign unlimited", {}, 26, 0, false, 1, pkcs15Labels},
        {cardOs43, "TC QSign", {}, 27, 1, false, 1, pkcs15Labels},
        {cardOs43, "TC QSign 2", {}, 0, 1, false, 1, {}},  // no product's label: profile 0 and no entries
        {cardOs50, "D-TRUST Card V3.1 standard", {{"3F00/1FFE/C001"}, {"3F00/1FFE/C101"}}, 77, 1, false,
         1, {"Qualified Cert", "Auth Cert"}},
        {cardOs54, "D-TRUST Card 4.1 M100 ECC", {{"3F00/0103/0201"}}, 83, 0, false, 2, {"Qualified Cert"}},
        {setCos, "any label", {}, 9, 1, false, 1, pkcs15Labels, "fci-size-tag=81"},
        {cardOs60, "D-TRUST Card 5.4 Std. RSA", {{"3F00/0103/0201", "D27600006601"}}, 93, 1, false, 1,
         {"Qualified Cert"}},
        {starCos37, "D-TRUST Card 6.1 Multi ECC", {{"3F00/0103/0204", kAidEsign}}, 97, 0, false, 2,
         {"Auth Cert"}, "get-data-class=A0"},
        {starCos37, "another card", {}, 0, 1, false, 1, {}, "get-data-class=A0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const DescribedCard extra("", row.dialect, row.files, "");
        CardUnderTest card(std::string("labelled-") + std::to_string(&row - rows),
                           labelledPkcs15Card(row.atr, row.label) + extra.text);
        ASSERT_NO_FATAL_FAILURE(card.open());
        CReader readers;
        ASSERT_NE(readers.GetSCProfile(indexOf(readers, card.readerName())), nullptr);
        const CSC_Profile& layout = *readers.GetCardLayout();
        EXPECT_EQ(std::make_tuple(layout.CardProfile(), layout.CardLabel(), layout.SingleCard(), layout.IsSignCard(), layout.KeyKind()),
                  std::make_tuple(row.profile, std::string(row.label), row.singleCard, row.signCard, row.keyKind));
        std::vector<std::string> labels;
        for (const auto& entry : layout.Certificates()) {
            labels.push_back(entry.label);
            // The D-TRUST authentication keys are under the card PIN; the PKCS#15 card names its "Signature PIN".
            EXPECT_EQ(entry.pinName, entry.label == "Auth Cert" ? card::layout::kPinNameCard : card::layout::kPinNameSignature);
        }
        EXPECT_EQ(labels, row.labels);
        if (!row.files.empty()) {
            EXPECT_EQ(layout.Certificates().front().certificate, extra.certificates.front());
            EXPECT_EQ(layout.Certificates().front().keyPath.substr(0, 4), "3F00");
        } else if (!row.labels.empty()) {
            ASSERT_NE(layout.Pkcs15(), nullptr);
            EXPECT_EQ(layout.Certificates().front().certificate, layout.Pkcs15()->exportCert(0)->der);
            ASSERT_EQ(layout.CaCertificates().size(), 1u);
            EXPECT_EQ(layout.CaCertificates().front().label, "Second certificate");
        }
    }
}

// The name a prompt gives a PKCS#15 PIN, by its label and else by the certificate's.
TEST(Detection, PinNamesByLabel) {
    for (const auto& [pinLabel, certLabel, name] : {std::tuple{"Global PIN", "Signature certificate", 202}, {"Karten-PIN", "", 205},
             {"PIN.QES", "", 200}, {"User PIN", "Auth Cert", 203}, {"", "Encoding Cert", 204}, {"PIN", "Qualified Cert", 200},
             {"Verschl\xC3\xBCsselungs-PIN", "", 204}}) EXPECT_EQ(card::layout::pinNameOf(pinLabel, certLabel), name) << pinLabel;
}

// Detection runs once per card insertion: another reader list finds the card untouched without a command; after
// another program powered it anew, the next detection reads it again.
TEST(Detection, OncePerCardInsertion) {
    DescribedCard description(kTcos20Atr, kTcos20Dialect, {{"3F00/DF01/C000"}});
    CardUnderTest card = description.card();
    ASSERT_NO_FATAL_FAILURE(card.open());
    if (!card.throughPcsc()) GTEST_SKIP() << "detections are kept on the system's PC/SC only";
    const auto detect = [&] {
        card.mark();
        CReader readers;
        EXPECT_NE(readers.GetSCProfile(indexOf(readers, card.readerName())), nullptr);
        const CSC_Profile* layout = readers.GetCardLayout();
        return std::make_pair(layout != nullptr ? layout->Certificates().size() : 0, card.commands().size());
    };
    const auto first = detect();
    EXPECT_TRUE(first.first == 1 && first.second > 0);
    EXPECT_EQ(detect(), std::make_pair(first.first, std::size_t{0})) << "the card untouched: nothing sent";
    card.reinsert();
    EXPECT_EQ(detect(), first) << "powered anew: read again";
}

// Cards the library recognises without serving them, and unknown cards, give no card object and leave nothing
// behind in the reader list.
TEST(Detection, NoCardObjectWithoutAProfile) {
    for (const char* atr : {"3B F2 98 00 FF C1 10 31 FE 55 C8 01 02", "3B 02 14 50"}) {
        DescribedCard description(atr, "", {});
        CardUnderTest card = description.card();
        ASSERT_NO_FATAL_FAILURE(card.open());
        CReader readers;
        const int index = indexOf(readers, card.readerName());
        ASSERT_GE(index, 0);
        EXPECT_EQ(readers.GetSCProfile(index), nullptr) << atr;
        EXPECT_EQ(readers.GetCardLayout(), nullptr) << atr;
        EXPECT_TRUE(card.commands().empty()) << atr << ": nothing is sent to the card";
    }
}

}  // namespace
}  // namespace kivo::test
