// The PKCS#15 card of tests/support/cards/pkcs15.txt read by an independent
// reader: OpenSC's pkcs15-tool, with its generic ISO 7816 driver, lists the
// same certificates, private keys and PINs through pcscd as the library
// reads, and hands out the same certificate bytes. This checks the test
// card against PKCS#15 as others read it, and the library against both.

#include "smartcard/base/CardNumbers.h"
#include "smartcard/pkcs15/Pkcs15.h"
#include "smartcard/profiles/SC_Profile_CardOS50.h"
#include "tests/support/TestSupport.h"
#include "tests/support/card/CardUnderTest.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace kivo::test {
namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// pkcs15-tool's listing reduced to one line per object with the fields
// both readers give: "cert <label> <path> <id> <authority>", "key <label>
// <path> <id> <authId> <reference> <bits>", "pin <label> <path> <authId>
// <reference> <min> <max> <stored>".
std::set<std::string> openscObjects(const std::string& listing) {
    std::set<std::string> objects;
    std::istringstream in(listing);
    std::string kind;
    std::map<std::string, std::string> fields;
    const auto flush = [&] {
        if (kind == "cert") {
            objects.insert("cert " + fields["label"] + " " + fields["Path"] + " " + fields["ID"] + " " +
                           fields["Authority"]);
        } else if (kind == "key") {
            objects.insert("key " + fields["label"] + " " + fields["Path"] + " " + fields["ID"] + " " +
                           fields["Auth ID"] + " " + fields["Key ref"].substr(0, fields["Key ref"].find(' ')) +
                           " " + fields["ModLength"]);
        } else if (kind == "pin") {
            const std::string& length = fields["Length"];  // min_len:4, max_len:8, stored_len:8
            const auto value = [&](const char* name) {
                const std::size_t at = length.find(name) + std::string(name).size();
                return length.substr(at, length.find_first_of(',', at) - at);
            };
            objects.insert("pin " + fields["label"] + " " + fields["Path"] + " " + fields["ID"] + " " +
                           fields["Reference"].substr(0, fields["Reference"].find(' ')) + " " +
                           value("min_len:") + " " + value("max_len:") + " " + value("stored_len:"));
        }
        kind.clear();
        fields.clear();
    };
    for (std::string line; std::getline(in, line);) {
        const std::size_t close = line.rfind(']');
        if (line.rfind("X.509 Certificate [", 0) == 0 || line.rfind("Private RSA Key [", 0) == 0 ||
            line.rfind("PIN [", 0) == 0) {
            flush();
            kind = line[0] == 'X' ? "cert" : line[0] == 'P' && line[1] == 'r' ? "key" : "pin";
            fields["label"] = line.substr(line.find('[') + 1, close - line.find('[') - 1);
        } else if (const std::size_t colon = line.find(" : "); colon != std::string::npos && !kind.empty()) {
            std::string name = line.substr(0, colon);
            name.erase(0, name.find_first_not_of(" \t"));
            name.erase(name.find_last_not_of(' ') + 1);
            fields[name] = line.substr(colon + 3);
        }
    }
    flush();
    return objects;
}

// What the library read, in the same form; relative paths are taken from
// the application, as PKCS#15 readers do.
std::set<std::string> libraryObjects(const CPkcs15& pkcs15) {
    const auto absolute = [&](const std::string& path) {
        return lower(path.rfind("3F00", 0) == 0 || path.rfind("3f00", 0) == 0 ? path : pkcs15.efDir().path() + path);
    };
    std::set<std::string> objects;
    for (std::size_t i = 0; i < pkcs15.certCount(); ++i) {
        const CPkcs15Cert& cert = *pkcs15.cert(i);
        objects.insert("cert " + cert.label() + " " + absolute(cert.path()) + " " + cert.id() + " " +
                       (cert.info().certAttrib().authority() ? "yes" : "no"));
    }
    for (std::size_t i = 0; i < pkcs15.prKeyCount(); ++i) {
        const CPkcs15PrKey& key = *pkcs15.prKey(i);
        objects.insert("key " + key.label() + " " + absolute(key.path()) + " " + key.id() + " " + key.authId() +
                       " " + std::to_string(key.keyReference()) + " " + std::to_string(key.modulusLength()));
    }
    for (std::size_t i = 0; i < pkcs15.authCount(); ++i) {
        const CPkcs15Auth& auth = *pkcs15.auth(i);
        const CPkcs15Pin& pin = auth.info().pin();
        objects.insert("pin " + auth.label() + " " + absolute(auth.path()) + " " + auth.authId() + " " +
                       std::to_string(pin.pinReference()) + " " + std::to_string(pin.minLength()) + " " +
                       std::to_string(pin.maxLength()) + " " + std::to_string(pin.storedLength()));
    }
    return objects;
}

// The DER of the PEM certificate pkcs15-tool printed.
std::vector<std::uint8_t> derOfPem(const std::string& pem) {
    BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* certificate = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    std::vector<std::uint8_t> der;
    unsigned char* out = nullptr;
    const int length = certificate != nullptr ? i2d_X509(certificate, &out) : 0;
    if (length > 0) der.assign(out, out + length);
    OPENSSL_free(out);
    X509_free(certificate);
    return der;
}

class Pkcs15ThroughOpenSC : public ProfileOnCard {
protected:
    Pkcs15ThroughOpenSC() : ProfileOnCard("pkcs15") {}
    void SetUp() override {
        if (!cardServicesExpected()) GTEST_SKIP() << "pkcs15-tool reads the card through pcscd only";
        ProfileOnCard::SetUp();
        std::ofstream(configFile()) << "app default { enable_default_driver = yes; card_drivers = default; }\n";
    }
    CommandResult pkcs15Tool(const std::string& arguments) {
        return runCommand("OPENSC_CONF='" + configFile() + "' timeout 60 pkcs15-tool --reader '" +
                          card.readerName() + "' " + arguments + " 2>&1");
    }
    TempDir m_folder{"kivo-opensc"};
    std::string configFile() const { return m_folder.file("opensc.conf"); }
};

TEST_F(Pkcs15ThroughOpenSC, ListsWhatTheLibraryReads) {
    auto cardOs = card.connected<CSC_Profile_CardOS50>(kivo::card::type::cCardOs50);
    CPkcs15 pkcs15(*cardOs);
    ASSERT_EQ(pkcs15.status(), CPkcs15::cStatusOk);
    pkcs15.readObjects();
    ASSERT_EQ(pkcs15.status(), CPkcs15::cStatusOk);
    const std::set<std::string> library = libraryObjects(pkcs15);

    const CommandResult listing = pkcs15Tool("--list-certificates --list-keys --list-pins");
    ASSERT_EQ(listing.status, 0) << listing.output;
    EXPECT_EQ(openscObjects(listing.output), library) << listing.output;
    EXPECT_EQ(library.size(), 4u);

    ASSERT_GE(pkcs15.exportCertCount(), 1u);
    for (std::size_t i = 0; i < pkcs15.exportCertCount(); ++i) {
        const CPkcs15ExportCert& exported = *pkcs15.exportCert(i);
        const CommandResult pem = pkcs15Tool("--read-certificate " + exported.id);
        ASSERT_EQ(pem.status, 0) << pem.output;
        EXPECT_EQ(derOfPem(pem.output), exported.der) << exported.label;
    }
}

}  // namespace
}  // namespace kivo::test
