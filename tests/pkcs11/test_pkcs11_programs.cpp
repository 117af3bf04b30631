// The PKCS#11 module as programs from outside the project meet it, on the virtual cards through pcscd: OpenSC's
// pkcs11-tool lists, signs and runs its own test, GnuTLS's p11tool test-signs, NSS signs a CMS message with
// cmsutil and OpenSSL's pkcs11 engine signs one with `openssl cms`. OpenSSL verifies every signature against the
// certificate read off the token, and `kivocrypto verify` the engine's message.
// KIVO_PKCS11_MODULE_OVERRIDE runs the programs against another module, such as OpenSC's own
// (/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so, with OPENSC_CONF naming a configuration of its generic driver).

#include "tests/support/TestSupport.h"
#include "tests/support/card/CryptoCheck.h"
#include "tests/support/card/VcardSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace kivo::test {
namespace {

#ifdef KIVO_PKCS11_MODULE
const std::string kBuiltModule = KIVO_PKCS11_MODULE;
#else
const std::string kBuiltModule;
#endif
#ifdef KIVO_CLI_FILE
const std::string kCli = KIVO_CLI_FILE;
#else
const std::string kCli;
#endif
const std::string kPin = "123456";  // every virtual card's

std::string modulePath() {
    const char* other = std::getenv("KIVO_PKCS11_MODULE_OVERRIDE");
    return other && *other ? other : kBuiltModule;
}

// `text` as one word of the shell.
std::string q(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string trim(const std::string& text) {
    const std::size_t from = text.find_first_not_of(" \t"), to = text.find_last_not_of(" \t");
    return from == std::string::npos ? "" : text.substr(from, to + 1 - from);
}

// A text as a pkcs11: URI component; `hexId` takes hex digits as the bytes they spell ("45" as %45).
std::string uriText(const std::string& text, bool hexId = false) {
    std::string encoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        if (hexId) encoded += "%" + text.substr(i++, 2);
        else if (std::isalnum(c) || std::string("-._~").find(text[i]) != std::string::npos) encoded += text[i];
        else encoded += escaped;
    }
    return encoded;
}

// An entry of the programs' listings: a line at the left margin ("Slot 1 (0x4): <reader>", "Private Key Object;
// RSA", "Object 0:") and the "name: value" lines indented below it.
struct Listed {
    std::string head;
    std::map<std::string, std::string> fields;
    std::string field(const std::string& name) const { return fields.count(name) ? fields.at(name) : ""; }
};

std::vector<Listed> listing(const std::string& output) {
    std::vector<Listed> entries;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        const std::size_t colon = line.find(':');
        if (!line.empty() && !std::isspace(static_cast<unsigned char>(line[0]))) {
            entries.push_back({line, {}});
        } else if (!entries.empty() && colon != std::string::npos) {
            entries.back().fields[trim(line.substr(0, colon))] = trim(line.substr(colon + 1));
        }
    }
    return entries;
}

// A mechanism pkcs11-tool signs with, the file it signs (data, its SHA-256 hash or DigestInfo) and OpenSSL's
// check of the signature `sig` with the public key `pub.pem`, run in the key's folder.
struct Mechanism {
    const char* name;
    bool ec;
    const char* input;
    const char* options;
    const char* verify;
};
const Mechanism kMechanisms[] = {
    {"SHA256-RSA-PKCS", false, "data", "", "openssl dgst -sha256 -verify pub.pem -signature sig ../data"},
    {"RSA-PKCS", false, "digestinfo", "",
     "openssl pkeyutl -verify -pubin -inkey pub.pem -pkeyopt digest:sha256 -in ../hash -sigfile sig"},
    {"SHA256-RSA-PKCS-PSS", false, "data", "--mgf MGF1-SHA256 --salt-len 32",
     "openssl dgst -sha256 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32 -verify pub.pem -signature sig ../data"},
    {"RSA-PKCS-PSS", false, "hash", "--hash-algorithm SHA256 --mgf MGF1-SHA256 --salt-len 32",
     "openssl pkeyutl -verify -pubin -inkey pub.pem -pkeyopt digest:sha256 -pkeyopt rsa_padding_mode:pss "
     "-pkeyopt rsa_pss_saltlen:32 -in ../hash -sigfile sig"},
    {"ECDSA", true, "hash", "--signature-format openssl",
     "openssl pkeyutl -verify -pubin -inkey pub.pem -in ../hash -sigfile sig"},
    {"ECDSA-SHA256", true, "data", "--signature-format openssl", "openssl dgst -sha256 -verify pub.pem -signature sig ../data"},
};

// A card family and the sign mechanisms its token must offer at least. A key that signs RSASSA-PSS only is
// asked for PSS by GnuTLS and the engine; NSS's cmsutil has no way to sign with one.
struct Pkcs11Row {
    const char* card;
    std::vector<std::string> mechanisms;
    bool pssOnly = false;
};
const Pkcs11Row kRows[] = {
    {"family-cardos43-signcard", {"SHA256-RSA-PKCS", "RSA-PKCS"}},
    {"family-cardos43-signcard-single", {"SHA256-RSA-PKCS", "RSA-PKCS"}},
    {"family-cardos54-dtrust-rsa", {"SHA256-RSA-PKCS", "RSA-PKCS"}},
    {"family-tcos20-medisign", {"SHA256-RSA-PKCS", "RSA-PKCS"}},
    {"family-starcos37-dgn", {"SHA256-RSA-PKCS", "RSA-PKCS"}},
    {"family-cardos50-dtrust", {"SHA256-RSA-PKCS-PSS", "RSA-PKCS-PSS"}, true},
    {"family-cardos54-dtrust-ecc", {"ECDSA", "ECDSA-SHA256"}},
    {"family-tcos30v2", {"SHA256-RSA-PKCS"}},
    {"family-micardo21", {"SHA256-RSA-PKCS"}},
    {"family-starcos30-advanced", {"SHA256-RSA-PKCS"}},
    {"family-starcos32", {"SHA256-RSA-PKCS"}},
    {"family-starcos34-auth", {"SHA256-RSA-PKCS"}},
    {"family-starcos34-qualified", {"SHA256-RSA-PKCS"}},
    {"family-starcos35-auth", {"SHA256-RSA-PKCS"}},
    {"family-starcos37-dtrust", {"SHA256-RSA-PKCS"}},
    {"family-seccos5-qualified", {"SHA256-RSA-PKCS"}},
    {"family-cardos44-swisssign", {"SHA256-RSA-PKCS"}},
};

// A private key of the token with the certificate of the same ID (cert.pem, pub.pem in folder key-<id>).
struct TokenKey {
    std::string id, label, folder;
    bool ec;
};

class Pkcs11Programs : public ::testing::TestWithParam<Pkcs11Row> {
protected:
    void SetUp() override {
        if (!cardServicesExpected()) GTEST_SKIP() << "the programs reach the virtual cards through pcscd only";
        if (modulePath().empty()) GTEST_SKIP() << "built without the PKCS#11 module";
#ifndef KIVO_PKCS11_OUTSIDE_PROGRAMS
        if (std::getenv("KIVO_PKCS11_MODULE_OVERRIDE") == nullptr) GTEST_SKIP() << "the module is built with sanitizers";
#endif
        // Each program starts from a selection it cannot know, so a SELECT repeated across them is no fault.
        card.checkRepeatedSelects = false;
        ASSERT_NO_FATAL_FAILURE(card.openCard(std::string(KIVO_VCARD_CARDS) + "/" + GetParam().card + ".txt"));
        writeBytes(dir.file("data"), randomBytes(1000, 11));
        writeBytes(dir.file("hash"), sha256(readBytes(dir.file("data"))));
        writeBytes(dir.file("digestinfo"), sha256DigestInfo(readBytes(dir.file("data"))));
        std::ofstream(dir.file("pin")) << kPin << "\n";
    }

    // The shell `command` run in the test folder (or `folder`) within a minute, stderr joined to stdout.
    CommandResult run(const std::string& command, const std::string& folder = "") const {
        const std::string in = folder.empty() ? dir.path().string() : folder;
        return runCommand("cd " + q(in) + " && timeout 60 sh -c " + q(command) + " 2>&1");
    }
    CommandResult tool(const std::string& arguments) const {
        return run("pkcs11-tool --module " + q(modulePath()) + " --token-label " + q(token) + " " + arguments);
    }
    std::string tokenUri() const { return "pkcs11:token=" + uriText(token); }

    // Signs with every mechanism the token lists for the key and checks the signatures; the mechanisms used.
    // The card commands of each signature are printed.
    std::set<std::string> signWithEach(const TokenKey& key, const std::set<std::string>& listed);

    VcardSession card;  // the row's card, fresh in the described reader
    TempDir dir{"kivo-pkcs11"};
    std::string token;  // the label of the card's token
};

std::set<std::string> Pkcs11Programs::signWithEach(const TokenKey& key, const std::set<std::string>& listed) {
    std::set<std::string> signedWith;
    for (const Mechanism& m : kMechanisms) {
        if (m.ec != key.ec || !listed.count(m.name)) continue;
        SCOPED_TRACE(std::string(m.name) + " with key " + key.id);
        card.markRecord();
        const CommandResult sign = tool("--login --pin " + kPin + " --sign -m " + m.name + " " + m.options + " --id " +
                                        key.id + " -i " + m.input + " -o " + q(key.folder + "/sig"));
        std::cout << "pkcs11-tool --sign -m " << m.name << " --id " << key.id << ": " << card.recorded().size() << " APDUs\n";
        EXPECT_EQ(sign.status, 0) << sign.output;
        const CommandResult verified = run(m.verify, key.folder);
        EXPECT_EQ(verified.status, 0) << verified.output;
        if (sign.status == 0 && verified.status == 0) signedWith.insert(m.name);
    }
    return signedWith;
}

TEST_P(Pkcs11Programs, ListSignAndVerify) {
    const std::string module = q(modulePath());
    // pkcs11-tool: the slot of the card's reader holds a token with certificates and public keys.
    card.markRecord();
    const CommandResult slots = run("pkcs11-tool --module " + module + " -L");
    ASSERT_EQ(slots.status, 0) << slots.output;
    for (const Listed& slot : listing(slots.output)) {
        if (slot.head.find(card.reader()) != std::string::npos) token = slot.field("token label");
    }
    ASSERT_FALSE(token.empty()) << "no token in the slot of " << card.reader() << ":\n" << slots.output;
    const CommandResult objects = tool("-O");
    std::cout << "pkcs11-tool -L, -O: " << card.recorded().size() << " APDUs\n";
    EXPECT_NE(objects.output.find("Certificate Object"), std::string::npos) << objects.output;
    EXPECT_NE(objects.output.find("Public Key Object"), std::string::npos) << objects.output;
    std::map<std::string, std::string> certLabels;  // ID -> label
    for (const Listed& object : listing(objects.output)) {
        if (object.head.rfind("Certificate Object", 0) == 0) certLabels[object.field("ID")] = object.field("label");
    }
    // GnuTLS and NSS list the certificates without a PIN.
    const CommandResult gnutlsList = run("p11tool --provider " + module + " --list-all " + q(tokenUri()));
    EXPECT_EQ(gnutlsList.status, 0) << gnutlsList.output;
    const std::string nss = "sql:" + dir.folder("nss");
    const CommandResult nssList = run("certutil -N -d " + nss + " --empty-password && modutil -dbdir " + nss +
                                      " -add kivo -libfile " + module + " -force && certutil -L -h all -d " + nss + " -f pin");
    EXPECT_EQ(nssList.status, 0) << nssList.output;
    for (const auto& [id, label] : certLabels) {
        EXPECT_NE(gnutlsList.output.find("Label: " + label), std::string::npos) << label << "\n" << gnutlsList.output;
        EXPECT_NE(nssList.output.find(token + ":" + label), std::string::npos) << label << "\n" << nssList.output;
    }

    // The private keys after login, each with its certificate read off the token.
    const CommandResult keys = tool("-O --login --pin " + kPin + " --type privkey");
    std::vector<TokenKey> tokenKeys;
    for (const Listed& object : listing(keys.output)) {
        if (object.head.rfind("Private Key Object", 0) != 0) continue;
        const std::string id = object.field("ID");
        tokenKeys.push_back({id, certLabels[id], dir.folder("key-" + id), object.head.find("; EC") != std::string::npos});
        const CommandResult cert = tool("--read-object --type cert --id " + id + " -o " + q(dir.file("key-" + id + "/cert.der")));
        EXPECT_EQ(cert.status, 0) << cert.output;
        const CommandResult pem = run("openssl x509 -inform DER -in cert.der -out cert.pem && "
                                      "openssl x509 -in cert.pem -pubkey -noout > pub.pem", tokenKeys.back().folder);
        EXPECT_EQ(pem.status, 0) << pem.output;
    }
    ASSERT_FALSE(tokenKeys.empty()) << keys.output;

    // pkcs11-tool signs with each mechanism the token lists (at least the row's) and runs its own test, which
    // counts its errors without changing its exit status: both are checked.
    const CommandResult mechanisms = tool("-M");
    std::set<std::string> listed, signedWith;
    std::istringstream lines(mechanisms.output);
    for (std::string line; std::getline(lines, line);) {
        if ((line + ",").find(", sign,") != std::string::npos) listed.insert(trim(line.substr(0, line.find(','))));
    }
    for (const TokenKey& key : tokenKeys) signedWith.merge(signWithEach(key, listed));
    for (const std::string& expected : GetParam().mechanisms) {
        EXPECT_TRUE(signedWith.count(expected)) << expected << " not signed; listed:\n" << mechanisms.output;
    }
    const CommandResult selfTest = tool("--test --login --pin " + kPin);
    EXPECT_TRUE(selfTest.status == 0 && selfTest.output.find("No errors") != std::string::npos) << selfTest.output;

    for (const TokenKey& key : tokenKeys) {
        SCOPED_TRACE("key " + key.id + " (" + key.label + ")");
        const std::string keyUri = tokenUri() + ";id=" + uriText(key.id, true) + ";type=private";
        // GnuTLS signs with the key and checks the signature against the token's public key.
        const bool pss = GetParam().pssOnly;
        const CommandResult gnutlsSign = run("p11tool --provider " + module + " --login --set-pin=" + kPin +
                                             (pss ? " --sign-params=RSA-PSS" : "") + " --test-sign " + q(keyUri));
        EXPECT_EQ(gnutlsSign.status, 0) << gnutlsSign.output;
        // NSS signs a CMS message once the self-signed certificate is trusted; OpenSSL reads the content back.
        const std::string nickname = q(token + ":" + key.label);
        if (!pss) {
            const CommandResult nssSign = run("certutil -M -d " + nss + " -f pin -n " + nickname + " -t C,C,C && cmsutil -S -N " +
                                              nickname + " -d " + nss + " -f pin -i data -o " + q(key.folder + "/nss.p7m"));
            EXPECT_EQ(nssSign.status, 0) << nssSign.output;
        }
        // OpenSSL's pkcs11 engine loads the module named by PKCS11_MODULE_PATH. It logs in with the URI's PIN but asks
        // for the PIN of a key that wants it for every signature through OpenSSL's prompt, which reads standard
        // input when the process has no terminal (setsid).
        const CommandResult engineSign = run("echo " + kPin + " | env PKCS11_MODULE_PATH=" + module + " setsid -w openssl cms -sign"
                                             " -engine pkcs11 -keyform engine"
                                             " -inkey " + q(keyUri + "?pin-value=" + kPin) + " -signer cert.pem -in ../data"
                                             " -out engine.p7m -outform DER -binary -nodetach" +
                                             (pss ? " -keyopt rsa_padding_mode:pss -keyopt rsa_pss_saltlen:32" : ""), key.folder);
        EXPECT_EQ(engineSign.status, 0) << engineSign.output;
        for (const char* message : {"nss.p7m", "engine.p7m"}) {
            if (pss && std::string(message) == "nss.p7m") continue;
            const CommandResult verified = run("openssl cms -verify -inform DER -binary -CAfile cert.pem -in " +
                                               std::string(message) + " -out content && cmp content ../data", key.folder);
            EXPECT_EQ(verified.status, 0) << message << "\n" << verified.output;
        }
        if (kCli.empty()) continue;
        const CommandResult cli = run(q(kCli) + " verify engine.p7m --ca-file cert.pem", key.folder);
        EXPECT_EQ(cli.status, 0) << cli.output;
    }
}

INSTANTIATE_TEST_SUITE_P(CardFamilies, Pkcs11Programs, ::testing::ValuesIn(kRows), [](const auto& info) {
    std::string name = info.param.card;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

}  // namespace
}  // namespace kivo::test
