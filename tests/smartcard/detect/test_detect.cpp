// Card detection: the ATR table, the card object per card type, and the
// card layout object's product checks on virtual cards whose descriptions
// the tests write (through pcscd when it runs, else vcard's model): which
// product, which certificate entries, each certificate as the card holds it.

#include "platform/CardEvents.h"
#include "smartcard/detect/AtrTable.h"
#include "smartcard/detect/SC_Profile.h"
#include "smartcard/transport/Reader.h"
#include "tests/support/card/CardUnderTest.h"
#include "tools/testpki/Pki.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kivo::test {
namespace {

namespace fs = std::filesystem;

// ATRs as a reader shows them; masked bytes varied where a pattern has them.
TEST(AtrTable, IdentifiesTheCardOperatingSystem) {
    struct Row {
        const char* atr;
        std::int32_t type;
        const char* name;
    };
    const Row rows[] = {
        {"3B:BA:96:00:81:31:86:5D:00:64:05:00:02:03:31:80:90:00:00", 1, "TCOS 2.0"},
        {"3B:BA:96:00:81:31:86:5D:00:64:05:7A:02:03:31:80:90:00:C3", 1, "TCOS 2.0"},
        {"3B:BA:96:00:81:31:86:5D:00:64:05:7A:02:03:31:80:90:01:C3", -1, nullptr},
        {"3B:BA:96:00:81:31:86:5D:00:64:05:00:02:03:31:80:90:00:00:00", -1, nullptr},
        {"3B:FF:11:00:FF:80:B1:FE:45:1F:03:00:68:D2:76:00:00:28:FF:05:1E:31:80:00:90:00:42", 3,
         "Micardo 2.1"},
        {"3B:F2:98:00:FF:C1:10:31:FE:55:C8:12:34", 8, "CardOS 4.01a"},
        {"3B:9F:96:81:B1:FE:45:1F:07:00:64:05:1E:B2:77:31:B0:73:96:21:88:99:90:00:AB", 9, "StarCos 3.2"},
        {"3B:DF:96:FF:81:31:FE:45:80:5B:01:02:03:04:05:06:07:08:09:0A:0B:0C:0D:0E", 14, "StarCos 3.5"},
        {"3B:D2:18:00:81:31:FE:58:CB:01:16", 20, "CardOS 6.0"},
        {"3B:DA:96:FF:81:B1:FE:45:1F:07:80:58:44:54:52:20:56:31:2E:31:E2", 21, "StarCos 3.7 D-Trust"},
        {"3b d2 18 00 81 31 fe 58 c9 04 11", 16, "CardOS 5.4"},
        {"3B:D2:18:00:81:31:FE:58:C9:04:111", -1, nullptr},
        {"---", -1, nullptr},
        {"", -1, nullptr},
        {"00", -1, nullptr},
    };
    for (const Row& row : rows) {
        std::string name = "unchanged";
        EXPECT_EQ(card::cardTypeOfAtr(row.atr, &name), row.type) << row.atr;
        EXPECT_EQ(name, row.name != nullptr ? row.name : "unchanged") << row.atr;
    }
    // Every entry is reachable: its own pattern finds its type.
    for (const card::AtrEntry* entry = card::atrTable(); entry->type != -1; ++entry) {
        EXPECT_EQ(card::cardTypeOfAtr(entry->pattern), entry->type) << entry->name;
    }
}

// A certificate file on a test card: path and the certificate's common name.
struct CardFile {
    const char* path;
    const char* commonName;
};

// Writes a card description: the ATR, the general data file, the DFs on
// the way and one fresh self-signed certificate per file (DER as hex).
class DescribedCard {
public:
    DescribedCard(const std::string& atr, const std::string& dialect, const std::vector<CardFile>& files)
        : m_path(fs::temp_directory_path() /
                 ("kivo-detect-" + std::to_string(::getpid()) + "-" + std::to_string(s_count++) + ".txt")) {
        std::ofstream out(m_path);
        out << "atr " << atr << "\nef 3F00/2F02 data=5A0A12345678901234567890\n";
        if (!dialect.empty()) out << "dialect " << dialect << "\n";
        std::vector<std::string> folders;
        for (const CardFile& file : files) {
            const std::string path = file.path;
            for (std::size_t end = path.find('/', 5); end != std::string::npos; end = path.find('/', end + 1)) {
                const std::string folder = path.substr(0, end);
                if (std::find(folders.begin(), folders.end(), folder) != folders.end()) continue;
                folders.push_back(folder);
                out << "df " << folder << "\n";
            }
            EvpKeyPtr key = generateKey(KeyKind::Rsa2048);
            X509Ptr certificate = makeCertificate({.subject = std::string("/CN=") + file.commonName,
                                                   .subjectKey = key.get()});
            const std::vector<unsigned char> der = derOf(certificate.get());
            m_certificates[file.path] = der;
            out << "ef " << file.path << " data=";
            for (unsigned char byte : der) out << "0123456789ABCDEF"[byte >> 4] << "0123456789ABCDEF"[byte & 15];
            out << "\n";
        }
    }
    ~DescribedCard() { fs::remove(m_path); }
    std::string path() const { return m_path.string(); }
    const std::vector<unsigned char>& certificate(const std::string& path) const { return m_certificates.at(path); }

private:
    static inline int s_count = 0;
    fs::path m_path;
    std::map<std::string, std::vector<unsigned char>> m_certificates;
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

// TCOS 2.0 products told apart by their files, in the order of the check:
// the product, and the labels of the user certificates and the CA ones.
TEST(Detection, TcosTwoProductsByTheirFiles) {
    struct Row {
        const char* name;
        std::vector<CardFile> files;
        std::int32_t profile;
        std::vector<std::string> labels;
        std::vector<std::string> caLabels;
    };
    const Row rows[] = {
        {"SignTrust", {{"3F00/8000/DF01/C000", "Q"}, {"3F00/8000/8200/8220", "A"}, {"3F00/8000/DF01/C00E", "R"}},
         6, {"Qualified Cert", "Auth Cert"}, {"Root Qualified Cert"}},
        {"DATEV", {{"3F00/3000/C500", "A"}, {"3F00/DF01/C000", "S"}, {"3F00/DF01/B000", "R"}},
         7, {"SigG Cert", "Auth Cert"}, {"SigG Root Cert"}},
        {"Medisign", {{"3F00/8200/C000", "C"}, {"3F00/DF01/C000", "S"}}, 10, {"SigG Cert", "Cipher Cert"}, {}},
        {"QuoVadis before Telesec", {{"3F00/DF06/4331", "A"}, {"3F00/DF01/4371", "Q"}, {"3F00/DF01/C000", "T"}},
         15, {"Qualified Cert", "Auth Cert"}, {}},
        {"Telesec", {{"3F00/DF01/C000", "Q"}}, 1, {"Qualified Cert"}, {}},
        {"no known files", {{"3F00/DF07/C000", "X"}}, 0, {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DescribedCard description(kTcos20Atr, kTcos20Dialect, row.files);
        CardUnderTest card(description.path());
        ASSERT_NO_FATAL_FAILURE(card.open());
        std::vector<std::uintptr_t> events;
        ScopedCardEventSubscription subscription([&](const CardEvent& event) { events.push_back(event.wParam); });
        CReader readers;
        const int index = indexOf(readers, card.readerName());
        ASSERT_GE(index, 0);
        EXPECT_EQ(readers.GetCardType(index), 1);
        ASSERT_NE(readers.GetSCProfile(index), nullptr);
        const CSC_Profile& layout = *readers.GetCardLayout();
        EXPECT_EQ(events, (std::vector<std::uintptr_t>{0x2002, 0x2003}));
        EXPECT_EQ(layout.CardProfile(), row.profile);
        EXPECT_EQ(layout.SerialNumber(), "12345678901234567890");
        EXPECT_EQ(layout.CardLabel(), "SmartCard");
        std::vector<std::string> labels;
        for (const auto& entry : layout.Certificates()) {
            labels.push_back(entry.label);
            std::string slashed;
            for (std::size_t i = 0; i < entry.certPath.size(); i += 4) {
                slashed += (i == 0 ? "" : "/") + entry.certPath.substr(i, 4);
            }
            for (char& c : slashed) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            EXPECT_EQ(entry.certificate, description.certificate(slashed)) << entry.label;
            EXPECT_EQ(entry.keyPath, entry.certPath.substr(0, entry.certPath.size() - 4)) << entry.label;
        }
        EXPECT_EQ(labels, row.labels);
        std::vector<std::string> caLabels;
        for (const auto& entry : layout.CaCertificates()) caLabels.push_back(entry.label);
        EXPECT_EQ(caLabels, row.caLabels);
        EXPECT_EQ(layout.CertCount(), static_cast<int>(row.labels.size()));
    }
}

// Cards the library recognises without serving them, and unknown cards,
// give no card object and leave nothing behind in the reader list.
TEST(Detection, NoCardObjectWithoutAProfile) {
    for (const char* atr : {"3B F2 98 00 FF C1 10 31 FE 55 C8 01 02", "3B 02 14 50"}) {
        DescribedCard description(atr, "", {});
        CardUnderTest card(description.path());
        ASSERT_NO_FATAL_FAILURE(card.open());
        CReader readers;
        const int index = indexOf(readers, card.readerName());
        ASSERT_GE(index, 0);
        EXPECT_EQ(readers.GetSCProfile(index), nullptr) << atr;
        EXPECT_EQ(readers.GetCardLayout(), nullptr) << atr;
        EXPECT_TRUE(card.commands().empty()) << atr << ": nothing is sent to the card";
    }
}

// The hashes a card may sign, by key kind and product.
TEST(Detection, HashAdmissibility) {
    DescribedCard description(kTcos20Atr, kTcos20Dialect, {{"3F00/DF06/4331", "A"}, {"3F00/DF01/4371", "Q"}});
    CardUnderTest card(description.path());
    ASSERT_NO_FATAL_FAILURE(card.open());
    CReader readers;
    ASSERT_NE(readers.GetSCProfile(indexOf(readers, card.readerName())), nullptr);
    const CSC_Profile& quoVadis = *readers.GetCardLayout();
    ASSERT_EQ(quoVadis.CardProfile(), 15);
    EXPECT_EQ(quoVadis.KeyKind(), CSC_Profile::cKeyKindRsa);
    for (int code : {0, 2, 3}) EXPECT_FALSE(quoVadis.IsHashAllowed(code)) << code;
    EXPECT_TRUE(quoVadis.IsHashAllowed(1));
}

}  // namespace
}  // namespace kivo::test
