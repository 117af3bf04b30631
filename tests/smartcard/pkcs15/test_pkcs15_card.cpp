// CPkcs15 on virtual cards: the PKCS#15 card of tests/support/cards/pkcs15.txt (through pcscd when it runs),
// and small cards described here for the ways the directory is found, the bounds, the status values and the
// path rules of the card types.

#include "smartcard/base/CardNumbers.h"
#include "smartcard/pkcs15/Pkcs15.h"
#include "smartcard/profiles/SC_Profile_CardOS50.h"
#include "tests/support/DerBuild.h"
#include "tests/support/TestSupport.h"
#include "tests/support/card/CardUnderTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>

namespace kivo::test {
namespace {

namespace type = kivo::card::type;

// An ODF element: [kind] { Path { efidOrPath } }.
std::string odf(int kind, const std::string& path) {
    return hexText(tlv(static_cast<unsigned char>(0xA0 + kind), seq({tlv(0x04, hex(path))})));
}

// A TokenInfo with this label.
std::string tokenInfo(const std::string& label) {
    return hexText(seq({tlv(0x02, hex("00")), tlv(0x04, hex("01")), tlv(0x80, label)}));
}

// Directory entries: empty common attributes, then an identifier.
const std::string kKeyEntry = hexText(seq({seq({}), seq({tlv(0x04, hex("45"))})}));
const std::string kPinEntry = hexText(seq({seq({}), seq({tlv(0x04, hex("01"))})}));

// A card of these description lines.
std::string described(const std::string& lines) { return "atr 3B 02 14 50\n" + lines; }

// A card without EF.DIR whose PKCS#15 application is DF 5015 with this ODF.
std::string cardWithOdf(const std::string& odfHex, const std::string& lines) {
    return described("df 3F00/5015\nef 3F00/5015/5031 data=" + odfHex + "\n" + lines);
}

// The ODF of the small cards: PrKDF 4400, CDF 4403, AODF 4401 in DF 5015.
const std::string kThreeDirectories = odf(0, "3F0050154400") + odf(4, "3F0050154403") + odf(8, "3F0050154401");

std::string odfCounts(const CPkcs15DfOdf& directory) {
    std::string counts;
    for (int kind = 0; kind < CPkcs15DfOdf::cKinds; ++kind) {
        counts += (kind ? " " : "") + std::to_string(directory.pathCount(kind));
    }
    return counts;
}


class Pkcs15OnTheCard : public ProfileOnCard {
protected:
    Pkcs15OnTheCard() : ProfileOnCard("pkcs15") {}
};

TEST_F(Pkcs15OnTheCard, ReadsTheCardsObjects) {
    auto cardOs = card.connected<CSC_Profile_CardOS50>(type::cCardOs50);
    CPkcs15 pkcs15(*cardOs);
    ASSERT_EQ(pkcs15.status(), CPkcs15::cStatusOk);
    EXPECT_FALSE(pkcs15.builtInDirectory());
    EXPECT_EQ(pkcs15.efDir().path(), "3F005015") << "the second template holds the PKCS#15 AID";
    EXPECT_EQ(pkcs15.efDir().label(), "Kivo PKCS15");
    EXPECT_EQ(odfCounts(pkcs15.odf()), "1 0 0 0 1 0 0 0 1");
    const CPkcs15DfTi& info = pkcs15.tokenInfo();
    EXPECT_EQ(info.error(), 0);
    EXPECT_EQ(info.serialNumber() + " " + info.manufacturerId() + " " + info.label(), "0123456789ABCDEF Kivo Kivo signature card");
    EXPECT_EQ(info.tokenFlags(), 0x40u);

    card.mark();
    pkcs15.readObjects();
    EXPECT_EQ(pkcs15.status(), CPkcs15::cStatusOk);
    std::vector<std::string> selects;  // certificates, then PINs, then keys
    for (const std::string& command : card.commands()) {
        if (command.rfind("00A4020402440", 0) == 0) selects.push_back(command.substr(10, 4));
    }
    EXPECT_EQ(selects, (std::vector<std::string>{"4403", "4401", "4400"}));

    ASSERT_EQ(pkcs15.prKeyCount(), 1u);
    const CPkcs15PrKey& key = *pkcs15.prKey(0);
    EXPECT_EQ(key.label() + " " + key.id() + " " + key.authId() + " " + key.usage() + " " + key.path(),
              "Signature key 45 01 2040 4B01");
    EXPECT_EQ(std::make_tuple(key.info().commKeyAttrib().native(), key.info().commKeyAttrib().accessFlags(), key.keyReference(),
                              key.modulusLength()), std::make_tuple(true, std::string("B8"), 2u, 2048u));

    ASSERT_EQ(pkcs15.authCount(), 1u);
    const CPkcs15Pin& pin = pkcs15.auth(0)->info().pin();
    EXPECT_EQ(pkcs15.auth(0)->label() + " " + pkcs15.auth(0)->authId(), "Signature PIN 01");
    EXPECT_EQ(std::vector<std::uint32_t>({pin.flags(), pin.pinType(), pin.minLength(), pin.storedLength(), pin.maxLength(),
                                          pin.pinReference(), pin.padChar()}),
              std::vector<std::uint32_t>({0x4C, 1, 4, 8, 8, 0x81, 0xFF}));
    EXPECT_EQ(pin.lastPinChange(), "20240101120000Z");
    EXPECT_EQ(pin.path().efidOrPath(), "3F005015");

    ASSERT_EQ(pkcs15.certCount(), 2u);
    EXPECT_EQ(pkcs15.cert(0)->label(), "Signature certificate");
    EXPECT_FALSE(pkcs15.cert(0)->info().certAttrib().authority() || !pkcs15.cert(1)->info().certAttrib().authority());
    ASSERT_EQ(pkcs15.exportCertCount(), 2u);
    const CPkcs15ExportCert& signing = *pkcs15.exportCert(0);
    EXPECT_EQ(signing.der, readBytes(card.keyFile("rsa2048.crt")));
    EXPECT_EQ(std::tie(signing.certPath, signing.hasKey, signing.hasPin, signing.keyReference, signing.pinReference),
              std::make_tuple(std::string("3F0050154331"), true, true, 2u, 0x81u));
    const CPkcs15ExportCert& second = *pkcs15.exportCert(1);
    EXPECT_EQ(second.der, readBytes(card.keyFile("ec256.crt")));
    EXPECT_EQ(second.certPath + " " + second.label + " " + second.pinPath, "3f0050154332 Second certificate 3f0050154407");
    EXPECT_FALSE(second.hasKey || second.hasPin);
    EXPECT_EQ(pkcs15.exportCert(2), nullptr);
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// A field of the object `header` in pkcs15-tool's listing (objects end at an empty line): its value up to the
// first space, "Length" whole.
std::string openscField(const std::string& listing, const std::string& header, const std::string& name) {
    const std::size_t at = listing.find(header + "\n");
    std::istringstream object(at == std::string::npos ? "" : listing.substr(at, listing.find("\n\n", at) - at));
    for (std::string line; std::getline(object, line);) {
        const std::size_t colon = line.find(" : "), from = line.find_first_not_of(" \t");
        if (colon == std::string::npos || line.substr(from, line.find_last_not_of(' ', colon) + 1 - from) != name) continue;
        const std::string value = line.substr(colon + 3);
        return name == "Length" ? value : value.substr(0, value.find(' '));
    }
    return "missing";
}

// OpenSC's pkcs15-tool (generic ISO 7816 driver, through pcscd) lists the objects the library reads, with the
// same fields, and hands out the same certificate bytes: the test card and the library against an independent
// reader. Relative paths are taken from the application, as PKCS#15 readers do.
TEST_F(Pkcs15OnTheCard, OpenScListsWhatTheLibraryReads) {
    if (!cardServicesExpected()) GTEST_SKIP() << "pkcs15-tool reads the card through pcscd only";
    const TempDir folder("kivo-opensc");
    std::ofstream(folder.file("opensc.conf")) << "app default { enable_default_driver = yes; card_drivers = default; }\n";
    const auto tool = [&](const std::string& arguments) {
        return runCommand("OPENSC_CONF='" + folder.file("opensc.conf") + "' timeout 60 pkcs15-tool --reader '" +
                          card.readerName() + "' " + arguments + " 2>&1");
    };
    auto cardOs = card.connected<CSC_Profile_CardOS50>(type::cCardOs50);
    CPkcs15 pkcs15(*cardOs);
    pkcs15.readObjects();
    ASSERT_EQ(pkcs15.status(), CPkcs15::cStatusOk);
    const CommandResult listing = tool("--list-certificates --list-keys --list-pins");
    ASSERT_EQ(listing.status, 0) << listing.output;
    const auto path = [&](const std::string& p) { return lower(lower(p).rfind("3f00", 0) == 0 ? p : pkcs15.efDir().path() + p); };
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> objects;
    for (std::size_t i = 0; i < pkcs15.certCount(); ++i) {
        const CPkcs15Cert& c = *pkcs15.cert(i);
        objects.push_back({"X.509 Certificate [" + c.label() + "]", {{"Path", path(c.path())}, {"ID", c.id()},
                           {"Authority", c.info().certAttrib().authority() ? "yes" : "no"}}});
    }
    for (std::size_t i = 0; i < pkcs15.prKeyCount(); ++i) {
        const CPkcs15PrKey& k = *pkcs15.prKey(i);
        objects.push_back({"Private RSA Key [" + k.label() + "]", {{"Path", path(k.path())}, {"ID", k.id()},
                           {"Auth ID", k.authId()}, {"Key ref", std::to_string(k.keyReference())},
                           {"ModLength", std::to_string(k.modulusLength())}}});
    }
    for (std::size_t i = 0; i < pkcs15.authCount(); ++i) {
        const CPkcs15Auth& a = *pkcs15.auth(i);
        const CPkcs15Pin& pin = a.info().pin();
        objects.push_back({"PIN [" + a.label() + "]", {{"Path", path(a.path())}, {"ID", a.authId()},
                           {"Reference", std::to_string(pin.pinReference())},
                           {"Length", "min_len:" + std::to_string(pin.minLength()) + ", max_len:" +
                                      std::to_string(pin.maxLength()) + ", stored_len:" + std::to_string(pin.storedLength())}}});
    }
    ASSERT_EQ(objects.size(), 4u);
    const std::string lines = "\n" + listing.output;
    std::size_t listed = 0;
    for (const char* kind : {"\nX.509 Certificate [", "\nPrivate RSA Key [", "\nPIN ["}) {
        for (std::size_t at = lines.find(kind); at != std::string::npos; at = lines.find(kind, at + 1)) ++listed;
    }
    EXPECT_EQ(listed, objects.size()) << listing.output;
    for (const auto& [header, fields] : objects) {
        for (const auto& [name, value] : fields) EXPECT_EQ(openscField(listing.output, header, name), value) << header << " " << name;
    }
    for (std::size_t i = 0; i < pkcs15.exportCertCount(); ++i) {
        const CommandResult der = tool("--read-certificate " + pkcs15.exportCert(i)->id +
                                       " | openssl x509 -outform DER | od -An -tx1 -v | tr -d ' \\n'");
        EXPECT_EQ(der.output, lower(hexText(pkcs15.exportCert(i)->der))) << pkcs15.exportCert(i)->label;
    }
}

// Key and PIN paths of the exported certificates by card type.
TEST(Pkcs15PathRules, OfTheCardTypes) {
    // pinObjectAtSetCosFile: the PIN object of the default PIN path names 3F0050155016
    const struct { std::int32_t cardType; bool pinObjectAtSetCosFile; const char *keyPath, *pinPath;
        bool signingFlag, secondFlag; } rows[] = {{type::cCardOs50, false, "4B01", "3F005015", false, false},
                {type::cSetCos, false, "4B01", "3f0050155b005b01", true, false},
                {type::cSetCos, true, "4B01", "3f0050155b005b01", true, true},
                {type::cSetCos442, false, "3f004b01", "3F005015", false, false}};
    for (const auto& c : rows) {
        SCOPED_TRACE(::testing::Message() << c.cardType << (c.pinObjectAtSetCosFile ? " PIN object" : ""));
        CardUnderTest card("pkcs15");
        ASSERT_NO_FATAL_FAILURE(card.open());
        auto cardOs = card.connected<CSC_Profile_CardOS50>(c.cardType);
        CPkcs15 pkcs15(*cardOs);
        if (c.pinObjectAtSetCosFile) {
            pkcs15.setPinObjectPath([](const std::string& pinPath) {
                return std::string(pinPath == "3f0050154407" ? "3F0050155016" : "3F0050154407");
            });
        }
        pkcs15.readObjects();
        ASSERT_EQ(pkcs15.exportCertCount(), 2u);
        EXPECT_EQ(pkcs15.exportCert(0)->keyPath, c.keyPath);
        EXPECT_EQ(pkcs15.exportCert(0)->pinPath, c.pinPath);
        EXPECT_EQ(pkcs15.exportCert(0)->setCosPinLayout, c.signingFlag);
        EXPECT_EQ(pkcs15.exportCert(1)->setCosPinLayout, c.secondFlag);
    }
}

// Finding the application and reading EF.ODF and EF.TokenInfo: status, built-in directory, application path,
// token label, paths per kind, and the MF selects sent (-1: not counted).
TEST(Pkcs15Directory, FindsTheApplication) {
    std::string eleven;
    for (int i = 0; i < 11; ++i) eleven += odf(4, "3F0050154403");
    const struct { const char* name; std::int32_t cardType; std::string description; int status; bool builtIn;
        const char *applicationPath, *tokenLabel, *odfCounts; int mfSelects; } rows[] = {
        {"built-in record for DF 5015", type::cCardOs50,
         cardWithOdf(odf(4, "3F0050154403"), "ef 3F00/5015/5032 data=" + tokenInfo("In 5015")), 0, false, "3F005015",
         "In 5015", "0 0 0 0 1 0 0 0 0", -1},
        {"built-in record for the MF", type::cCardOs50,
         described("ef 3F00/5031 data=" + odf(8, "3F004401") + "\nef 3F00/5032 data=" + tokenInfo("In MF")), 0, true,
         "3F00", "In MF", "0 0 0 0 0 0 0 0 1", -1},
        {"no ODF beside the built-in record", type::cCardOs50, described("df 3F00/5015\n"), 1, true, "3F00", "",
         "0 0 0 0 0 0 0 0 0", -1},
        {"EF.DIR without template", type::cCardOs50,
         "ef 3F00/2F00 data=3003020100\n" + cardWithOdf(odf(4, "3F0050154403"), ""), 1, false, "", "", "0 0 0 0 0 0 0 0 0", -1},
        {"relative on CardOS 6.0", type::cCardOs60,
         described("df 3F00/0104\nef 3F00/0104/5032 data=" + tokenInfo("Relative") + "\nef 3F00/0104/5031 data=" +
                   odf(0, "3F0001044400")),
         0, false, "", "Relative", "1 0 0 0 0 0 0 0 0", 1},
        {"relative after the built-in record", type::cCardOs54,
         cardWithOdf(odf(4, "3F0050154403"), "ef 3F00/5015/5032 data=" + tokenInfo("After")), 0, false, "3F005015",
         "After", "0 0 0 0 1 0 0 0 0", -1},
        {"ODF walk ends at A9", type::cCardOs50,
         cardWithOdf(kThreeDirectories + odf(9, "3F0050154409") + odf(4, "3F0050154404"), ""), 0, false, "3F005015", "",
         "1 0 0 0 1 0 0 0 1", -1},
        {"ten paths per kind", type::cCardOs50, cardWithOdf(eleven, ""), 0, false, "3F005015", "", "0 0 0 0 10 0 0 0 0", -1},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        CardUnderTest card(std::string("pkcs15-dir-") + std::to_string(&c - rows), c.description);
        ASSERT_NO_FATAL_FAILURE(card.open());
        auto cardOs = card.connected<CSC_Profile_CardOS50>(c.cardType);
        const CPkcs15 pkcs15(*cardOs);
        EXPECT_EQ(std::make_tuple(pkcs15.status(), pkcs15.builtInDirectory(), pkcs15.efDir().path(), pkcs15.tokenInfo().label(),
                                  odfCounts(pkcs15.odf())),
                  std::make_tuple(c.status, c.builtIn, std::string(c.applicationPath), std::string(c.tokenLabel), std::string(c.odfCounts)));
        const auto commands = card.commands();
        if (c.mfSelects >= 0) {
            EXPECT_EQ(std::count_if(commands.begin(), commands.end(), [](const std::string& command) { return command.rfind("00A40004", 0) == 0; }),
                      c.mfSelects);
        }
    }
}

// Reading the directory files: record files, status values and bounds.
TEST(Pkcs15Objects, ReadsTheDirectoryFiles) {
    const std::string keys = "ef 3F00/5015/4400 data=" + kKeyEntry + "\n";
    const std::string pins = "ef 3F00/5015/4401 data=" + kPinEntry + "\n";
    const std::string certs = "ef 3F00/5015/4403 data=" + kKeyEntry + kKeyEntry + "\n";
    const std::string keyRecords = "records 3F00/5015/4400\nrecord 3F00/5015/4400 0102" + kKeyEntry +
                                   "\nrecord 3F00/5015/4400 0304" + kKeyEntry + "\n";
    // lines: files of DF 5015 beside the ODF; trace: a line the card trace must hold
    const struct { const char* name; std::string lines; int status; std::size_t certs, keys, auths;
        const char* trace; std::string odfHex = kThreeDirectories; } rows[] = {
        {"all three", keys + pins + certs, 0, 2, 1, 1, ""},
        {"PrKDF of records", keyRecords + pins + certs, 0, 2, 2, 1, ""},
        {"CDF missing", keys + pins, 7, 0, 1, 1, "directory file 3F0050154403 cannot be selected"},
        // The AODF claims 100 octets but holds no record.
        {"later failure wins", keys + "records 3F00/5015/4401 fcp=620480020064\n", 8, 0, 1, 0,
         "directory file 3F0050154401 cannot be read"},
        {"file at the bound", keys + pins + "ef 3F00/5015/4403 data=seq:10000\n", 0, 0, 1, 1, ""},
        {"file above the bound", keys + pins + "ef 3F00/5015/4403 data=seq:10001\n", 8, 0, 1, 1, "file of 10001 octets refused"},
        {"path above the bound", keys + pins + certs, 7, 2, 1, 1, "path of 52 characters refused",
         kThreeDirectories + odf(4, "3F00501544034403440344034403440344034403440344034403")},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        ScopedTraceFile trace;
        CardUnderTest card(std::string("pkcs15-objects-") + std::to_string(&c - rows), cardWithOdf(c.odfHex, c.lines));
        ASSERT_NO_FATAL_FAILURE(card.open());
        auto cardOs = card.connected<CSC_Profile_CardOS50>(type::cCardOs50);
        CPkcs15 pkcs15(*cardOs);
        ASSERT_EQ(pkcs15.status(), CPkcs15::cStatusOk);
        pkcs15.readObjects();
        EXPECT_EQ(pkcs15.status(), c.status);
        EXPECT_EQ(std::vector<std::size_t>({pkcs15.certCount(), pkcs15.prKeyCount(), pkcs15.authCount()}),
                  std::vector<std::size_t>({c.certs, c.keys, c.auths}));
        EXPECT_NE(trace.contents().find(c.trace), std::string::npos) << c.trace;
    }
}

}  // namespace
}  // namespace kivo::test
