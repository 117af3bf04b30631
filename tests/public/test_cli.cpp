// The kivocrypto program as a person meets it, and two small hosts of the
// library. Each table row is a bash command run in a folder of the test's
// own, `$K` being the program: it must end with the row's exit code, show
// the row's text (stdout and stderr) and leave things so that the row's
// check succeeds. No row may show a secret, nor the library's log unasked.

#include "tests/support/PseudoTerminal.h"
#include "tests/support/TestSupport.h"
#include "tests/support/card/DescribedCard.h"
#include "tools/testpki/Pki.h"
#include "tools/testpki/TsaServer.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <unistd.h>

namespace {

using kivo::test::CommandResult;

struct Row { std::string command; int status; std::string shown, check = {}; };

// Runs `script` with bash in `folder` after the shell lines `variables`.
CommandResult runScript(const std::string& folder, const std::string& variables, const std::string& script) {
    std::ofstream(folder + "/row.sh") << "cd '" << folder << "'\nK='" KIVO_CLI_FILE "'\n" << variables << "\n" << script;
    return kivo::test::runCommand("timeout 120 bash '" + folder + "/row.sh' 2>&1");
}

void expectRow(const Row& row, const std::string& folder, const std::string& variables = "") {
    SCOPED_TRACE(row.command);
    const CommandResult result = runScript(folder, variables, row.command);
    EXPECT_EQ(result.status, row.status) << result.output;
    EXPECT_NE(result.output.find(row.shown), std::string::npos) << "without: " << row.shown << "\n" << result.output;
    static const std::regex kSecret(R"((^|\W)(secret|123456|24681357|87654321|31 32 33)(\W|$))");
    EXPECT_FALSE(std::regex_search(result.output, kSecret)) << "a secret shown:\n" << result.output;
    const bool logAsked = std::regex_search(row.command, std::regex("--verbose|LOG4CXX_CONFIGURATION"));
    EXPECT_TRUE(logAsked || !std::regex_search(result.output, std::regex("log4cxx:| entering "))) << result.output;
    const CommandResult check = runScript(folder, variables, row.check);
    EXPECT_EQ(check.status, 0) << row.check << "\n" << check.output;
}

std::string digestLine(const char* algorithm, const std::string& content, const std::string& file) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
    return kivo::test::toHex(kivo::test::opensslDigest(algorithm, bytes, content.size())) + "  " + file + "\n";
}

// Files, a CA and two signers (RSA, ECDSA; PKCS#12 files, password "secret").
const char kSetUp[] = R"(set -e
printf 'The quick brown fox jumps over the lazy dog' >fox.txt
printf 'The parties agree.\n' >doc.txt && cp doc.txt doc.orig && printf 'The parties disagree.\n' >other.txt
printf first >a.txt && printf last >b.txt && printf d >-dash && printf '\x30\x03\x02\x01\x05' >garbage.bin
printf 'secret\n' >password.txt && printf 'secret\r\nsecond line\n' >crlf.txt && printf 'not it\n' >wrong.txt
printf '%s\n' log4j.rootLogger='DEBUG, out' log4j.appender.out{=org.apache.log4j.ConsoleAppender,.layout=org.apache.log4j.SimpleLayout} >log.properties
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem \
    -subj '/C=DE/O=Kivo Test/CN=CLI Test CA' 2>/dev/null
signer() {
  openssl req -newkey "$1" -nodes -keyout "$2.key" -subj "$3" 2>/dev/null |
    openssl x509 -req -CA ca.pem -CAkey ca.key -set_serial 4711 -out "$2.pem" 2>/dev/null -extfile <(printf '%s\n' \
      'keyUsage=critical,digitalSignature,nonRepudiation' 'authorityInfoAccess=OCSP;URI:http://ocsp.example')
  openssl pkcs12 -export -inkey "$2.key" -in "$2.pem" -passout pass:secret -out "$2.p12"
}
signer rsa:2048 signer '/C=DE/O=Kivo Test/CN=CLI Signer'
signer ec:<(openssl ecparam -name prime256v1) ec '/CN=CLI EC Signer'
openssl x509 -in signer.pem -outform DER -out signer.der)";

// `$S` signs with the RSA key, `$E` with the ECDSA key and a time stamp;
// `verifies` is OpenSSL's check of a container, `stamped` that of its token
// over the SHA-256 of the signature value as stored (cut out of the DER).
const char kSignHelpers[] = R"sh(S="$K sign --p12 signer.p12 --password-file password.txt"
E="$K sign --p12 ec.p12 --password-file password.txt --attached --tsa $T"
verifies() { openssl cms -verify -binary -CAfile ca.pem -inform DER "$@" >/dev/null 2>&1; }
stamped() {
  local at=($(openssl asn1parse -inform DER -in "$1" | grep -B3 -A2 timeStampToken |
              sed -nE '1s/(prim|cons):.*//p;6s/(prim|cons):.*//p' | tr -c '0-9\n' ' '))  # offset depth hl l, twice
  tail -c +$((at[0] + at[2] + 1)) "$1" | head -c "${at[3]}" >sig
  tail -c +$((at[4] + 1)) "$1" | head -c $((at[6] + at[7])) >token
  openssl ts -verify -in token -token_in -CAfile tsa-ca.pem -digest "$(openssl dgst -sha256 -r sig | cut -d' ' -f1)" >/dev/null 2>&1
})sh";

class CliTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(runScript(folder(), "", kSetUp).status, 0) << "the set-up script failed"; }
    std::string folder() const { return m_dir.path().string(); }
    void expectRows(const std::vector<Row>& rows, const std::string& variables = "") {
        for (const Row& row : rows) expectRow(row, folder(), variables);
    }

    kivo::test::TempDir m_dir{"kivocrypto-cli"};
};

}  // namespace

TEST_F(CliTest, HostsHashCertInspectAndVerify) {
    const std::string fox = "The quick brown fox jumps over the lazy dog";
    std::vector<Row> rows = {
        {"'" KIVO_LOAD_PROBE_FILE "' '" KIVO_LIBRARY_FILE "'", 0, "loaded and unloaded twice\n"},
        {"test -z \"$('" KIVO_QUIET_PROBE_FILE "' 2>&1)\"", 0, ""},
        {"LOG4CXX_CONFIGURATION=log.properties '" KIVO_QUIET_PROBE_FILE "'", 0, "DEBUG - entering getVersion"},
        {"$K frobnicate", 2, "kivocrypto: unknown command 'frobnicate'"},
        {"$K hash fox.txt", 0, digestLine("SHA256", fox, "fox.txt")},
        {"openssl rand -out big.bin 3145745 && : >empty && $K hash -a sha512 empty big.bin >out", 0, "",
         "openssl dgst -sha512 -r empty big.bin | sed -E 's/^(\\S+) \\*/\\U\\1\\E  /' | cmp - out"},
        {"$K hash -a md5 a.txt no.txt b.txt 2>&-", 1, digestLine("MD5", "first", "a.txt") + digestLine("MD5", "last", "b.txt")},
        {"$K hash -a sha3 fox.txt", 2, "kivocrypto: hash: unknown algorithm 'sha3'"},
        {"$K --verbose hash fox.txt", 0, "KivoCryptoSSL::CHashSSL - entering calculateHash"},
        {"$K cert signer.pem", 0, "Subject:               countryName=DE, organizationName=Kivo Test, commonName=CLI Signer\n"},
        {"$K cert signer.der", 0, "  Exponent:              10001\n  Extensions (4):\n    2.5.29.15                C0\n"
                                  "    1.3.6.1.5.5.7.1.1        URI={1.3.6.1.5.5.7.48.1=http://ocsp.example}\n"},
        {"$K cert garbage.bin", 1, "kivocrypto: garbage.bin: neither a certificate nor an attribute certificate"},
        {"openssl cms -sign -binary -in doc.txt -signer ec.pem -inkey ec.key -outform DER -out ec.p7s && $K inspect ec.p7s",
         0, "Type: signedData\nVersion: 1\nContent: detached\nDigest algorithm: 2.16.840.1.101.3.4.2.1\nSigning time: ",
         "$K inspect ec.p7s | grep -qzE 'Message digest: " + digestLine("SHA256", "The parties agree.\n", "").substr(0, 64) +
             ".Signers: 1.*CLI EC Signer.*Certificates: 1.*Time stamp: none'"},
        {"$K inspect doc.txt", 1, "kivocrypto: doc.txt: not a signed CMS/PKCS#7 container"},
        {"$K verify ec.p7s --at 2024-02-30T10:00:00Z", 2, "'2024-02-30T10:00:00Z' is not a UTC time"},
    };
    for (const std::string name : {"sha1", "sha256", "sha384", "sha512", "md5", "ripemd160"}) {
        rows.push_back({"$K hash -a " + name + " fox.txt", 0, digestLine(name.c_str(), fox, "fox.txt")});
    }
    expectRows(rows);
}

TEST_F(CliTest, SignTimestampAndDemo) {
    kivo::test::TsaServer tsa;
    kivo::test::TsaServer failingTsa(kivo::test::TsaServer::Mode::HttpError);
    FILE* tsaCa = std::fopen(m_dir.file("tsa-ca.pem").c_str(), "w");
    PEM_write_X509(tsaCa, tsa.caCertificate());
    std::fclose(tsaCa);
    const std::string sameFile = "kivocrypto: sign: input and output are the same file (code -35)\n";
    const std::string present = " && $K inspect s.p7s | grep -qx 'Time stamp: present'";
    expectRows({
        {"$S --hash sha3 doc.txt x.p7s", 2, "kivocrypto: sign: unknown hash 'sha3'"},
        {"$K timestamp --tsa $T --hash md5 doc.txt", 2, "kivocrypto: timestamp: unknown hash 'md5'"},
        {"$S doc.txt d.p7s", 0, "doc.txt: signed into d.p7s (",
         "verifies -in d.p7s -content doc.txt && ! verifies -in d.p7s -content other.txt"},
        {"$S --attached --hash sha384 --extra-cert ca.pem doc.txt a.p7s", 0, ", content attached)",
         "verifies -in a.p7s -out a.out && cmp a.out doc.txt && $K inspect a.p7s | grep -qz "
         "'Content: attached, 19 octets.Digest algorithm: 2.16.840.1.101.3.4.2.2.*Certificates: 2'"},
        {"P=secret $K sign --p12 signer.p12 --password-env P doc.txt s.p7s", 0, "", "verifies -in s.p7s -content doc.txt"},
        {"$K sign --p12 signer.p12 --password-file crlf.txt doc.txt s.p7s", 0, "", "verifies -in s.p7s -content doc.txt"},
        {"$K sign --p12 signer.p12 --password-env KIVO_CLI_UNSET doc.txt x.p7s", 1, "KIVO_CLI_UNSET is not set"},
        {"$K sign --p12 signer.p12 --password-file wrong.txt doc.txt x.p7s", 1, "signer.p12: wrong password", "test ! -e x.p7s"},
        {"$S doc.txt ./doc.txt", 1, sameFile, "cmp doc.txt doc.orig"},
        {"setsid -w $K sign --p12 signer.p12 doc.txt x.p7s </dev/null", 1, "no terminal to ask for one (use --password-file"},
        // script(1): a pseudo-terminal; the pause lets the prompt switch echo off.
        {"(sleep 2; printf 'secret\\n'; sleep 1) | script -qec \"$K sign --p12 signer.p12 doc.txt s.p7s\" /dev/null", 0,
         "Password for signer.p12: ", "verifies -in s.p7s -content doc.txt"},
        {"$S --tsa $T doc.txt s.p7s", 0, ", time-stamped", "verifies -in s.p7s -content doc.txt" + present},
        {"cp d.p7s s.p7s && $K timestamp --tsa $T --hash sha512 s.p7s", 0, "",
         "verifies -in s.p7s -content doc.txt && ! ls -A | grep '^\\.'" + present},
        {"openssl cms -cmsout -inform DER -outform PEM -in d.p7s -out s.pem && chmod 640 s.pem && $K timestamp --tsa $T s.pem",
         0, "", "grep -qx -- '-----BEGIN CMS-----' s.pem && test $(stat -c %a s.pem) = 640 && verifies -inform PEM -in s.pem -content doc.txt"},
        {"openssl rand -out big.bin 70000 && openssl cms -sign -binary -nodetach -in big.bin -signer ec.pem -inkey ec.key"
         " -certfile ca.pem -outform DER -out s.p7s && $K timestamp --tsa $T s.p7s", 0, "", "stamped s.p7s"},
        {"$E doc.txt e.p7m", 0, ", time-stamped", "verifies -in e.p7m && stamped e.p7m"},
        {"$E --raw-imprint doc.txt e.p7m", 0, "", "verifies -in e.p7m && ! stamped e.p7m"},
        {"cp d.p7s s.p7s && $K timestamp --tsa $B s.p7s", 1, "(code -92)", "cmp s.p7s d.p7s"},
        {"$K timestamp --tsa $B doc.txt", 1, "kivocrypto: timestamp: the container holds no signature value"},
        {"mkdir demo && TMPDIR=demo $K demo", 0, "OpenSSL check of the time stamp: valid", "rmdir demo"},
        {"mkdir kept && TMPDIR=kept $K demo --keep", 0, "", "cd kept/* && verifies -in document.txt.p7s -content document.txt"},
    }, "T='" + tsa.url() + "'\nB='" + failingTsa.url() + "'\n" + kSignHelpers);
    EXPECT_EQ(failingTsa.requestCount(), 1) << "nothing is sent for what is no container";
}

// Without a PC/SC service (a socket that is not there) well-formed card
// arguments get as far as looking for the card: exit code 3, not 2.
TEST_F(CliTest, ReadersAndCardArguments) {
    const std::string none = "the PC/SC service cannot be reached (is pcscd running?)";
    expectRows({
        {"$K readers", 4, "kivocrypto: readers: " + none + "\n"},
        {"$K readers extra", 2, "kivocrypto: readers: unexpected argument 'extra' (see kivocrypto readers --help)\n"},
        {"$K --help | grep '^  card '", 0, "", "for c in $($K card --help | sed -n 's/^  \\([a-z]*\\) .*/\\1/p'); do "
         "$K --help | grep '^  card ' | grep -qw $c || exit 1; done"},
        {"$K readers --timeout 0", 2, "--timeout takes whole seconds from 1 to 3600, not '0'"},
        // A service that takes the connection and never answers: the time limit ends the wait.
        {"python3 -c 'import socket,time; s=socket.socket(socket.AF_UNIX); s.bind(\"mute.comm\"); s.listen(4); "
         "time.sleep(60)' & until test -S mute.comm; do sleep 0.1; done; "
         "PCSCLITE_CSOCK_NAME=\"$PWD/mute.comm\" timeout 30 $K readers --timeout 1; r=$?; kill $!; exit $r", 4,
         "kivocrypto: readers: the PC/SC service did not answer within 1 s\n"},
        {"$K card list", 2, "card: unknown subcommand 'list'"},
        {"$K card apdu 00A4000", 2, "'00A4000' has an odd number of hex digits"},
        {"$K card apdu 00A4:000x", 2, "'00A4:000x' holds a character that is no hex digit"},
        {"$K card apdu 00A4000C023F000000", 2, "does not have the length its Lc byte gives"},
        {"$K card info --reader 1000", 2, "card info: --reader takes an index from 0 to 999, not '1000'"},
        {"$K card certificates --out fox.txt", 2, "card certificates: --out 'fox.txt' is not a directory"},
        {"$K card pin", 2, "card pin: no operation given (verify, change or unblock)"},
        {"$K card pin unblock --pin-env P", 2, "card pin: --pin-env or --pin-file with unblock"},
        {"$K card pin verify --language fr", 2, "card pin: --language takes en, de or sv, not 'fr'"},
        {"$K card pin verify --pin-env KIVO_UNSET", 2, "the environment variable KIVO_UNSET is not set"},
        {"$K card apdu '00 A4 00 0C 02 3F 00' 00:B0:00:00:10 002A9E9A0000020102FFFF", 3, "card apdu: " + none},
    }, "export PCSCLITE_CSOCK_NAME=\"$PWD/absent.comm\"");
}

namespace {

std::string cardFile(const char* name) {
    std::ifstream file(std::string(KIVO_VCARD_CARDS "/") + name);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The services' test card (test_card.txt) in the first reader and described
// cards in the second.
class CliCardTest : public kivo::test::DescribedCardTest {
protected:
    void SetUp() override {
        DescribedCardTest::SetUp();
        session.checkRepeatedSelects = described.checkRepeatedSelects = false;  // one process per command
    }
    std::string index(const std::string& reader) {  // as `readers` lists it
        std::istringstream lines(kivo::test::runCommand("'" KIVO_CLI_FILE "' readers").output);
        for (std::string line; std::getline(lines, line);) {
            if (line.ends_with(": " + reader)) return line.substr(0, line.find(':'));
        }
        ADD_FAILURE() << "reader '" << reader << "' not listed";
        return "-1";
    }
};

}  // namespace

// A row's card description goes into the second reader (`$R`; `$V` is the
// test card's) first. The signature card keeps its PINs from row to row.
TEST_F(CliCardTest, CommandsOnTheVirtualCards) {
    const std::string description = cardFile("test_card.txt");
    std::string atr = description.substr(description.find("\natr ") + 5, 44);
    std::replace(atr.begin(), atr.end(), ' ', ':');
    const std::string certificate = "pem/1-Signature_certificate.pem";
    ASSERT_NO_FATAL_FAILURE(describeCard(kivo::test::setCosPkcs15Card()));
    const std::string variables =
        "V=" + index(session.reader()) + "\nR='--reader " + index(described.reader()) + "'\nexport P=123456";
    const struct {
        std::string card;
        Row row;
    } rows[] = {
        {"", {"$K card info $R", 0,
              "\nCard type: 7 (Setcos)\nCard profile: 9\nSerial number: unknown\nLabel: Kivo signature card\nPKCS#15: yes\n"
              "Key kind: RSA\nRSA key length: unknown\nHashes: SHA-1, SHA-256, SHA-384, SHA-512\nSingle signature: yes\n"
              "Certificates: 1 user, 1 CA\nPIN pad: no\n"}},
        {"", {"$K readers", 0, session.reader() + "\n   card: present, ATR " + atr + "\n   pin pad: no\n"}},
        {"", {"$K card apdu --reader $V 00:CA:01:01:00 00CA7F7F00", 0, "Sending: 00 CA 01 01 00\nReceived (SW1=0x90, "
              "SW2=0x00):\n4B 49 56 4F 00 00 00 2A\nSending: 00 CA 7F 7F 00\nReceived (SW1=0x6A, SW2=0x88)\n"}},
        {"", {"$K card apdu --reader $V --trace trace 002000810631323334353600 00200081", 0,
              "Sending: 00 20 00 81 06 ** ** ** ** ** ** **\nReceived (SW1=0x90, SW2=0x00)\nSending: 00 20 00 81\n",
              "grep -q '00:20:00:81:06:\\*\\*:\\*\\*' trace && ! grep -q 31:32:33 trace"}},
        {"", {"$K card dump $R", 0, "   Key reference: 0x02\n", "$K card dump $R | grep -qx 'Status: 0 (complete)'"}},
        {"", {"mkdir der && $K card certificates $R --out der", 0, "Certificate 1\n   Label: Signature certificate\n",
              "cmp der/1-*.der $KIVO_VCARD_DIR/rsa2048.crt && cmp der/2-*.der $KIVO_VCARD_DIR/ec256.crt && ls der | wc -l | grep -qx 2"}},
        {"", {"mkdir pem && $K card certificates $R --out pem --pem", 0, "CA certificate 2\n   Label: Second certificate\n",
              "openssl x509 -in " + certificate + " -outform DER | cmp - $KIVO_VCARD_DIR/rsa2048.crt"}},
        {"atr 3B D2 18 00 81 31 FE 58 C9 01 14\n", {"$K card dump $R", 4, "has no PKCS#15 application",
              "$K card info $R | grep -qx 'Card type: 15 (CardOS 5.0)'"}},
        // Both readers hold a card: without --reader the first listed one.
        {"", {"$K card info", 3, "Reader: " + session.reader() + "\nATR: " + atr + "\nCard type: unknown\n"}},
        {cardFile("signature-card.txt"), {"printf 'a document\\n' >doc && $K card sign $R --pin-env P doc doc.sig", 0, "",
              "openssl x509 -in " + certificate + " -pubkey -noout >key.pem && "
              "openssl dgst -sha256 -verify key.pem -signature doc.sig doc"}},
        {"", {"openssl dgst -sha384 -binary doc >doc.h && $K card sign $R --pin-env P --raw --hash sha384 doc.h doc.raw",
              0, "", "openssl pkeyutl -verify -pubin -inkey key.pem -pkeyopt digest:sha384 -in doc.h -sigfile doc.raw"}},
        {"", {"openssl pkeyutl -encrypt -pubin -inkey key.pem -in doc -out doc.enc && "
              "$K card decrypt $R --pin-env P doc.enc doc.dec", 0, "", "cmp doc.dec doc"}},
        {"", {"$K sign --card $R --pin-env P --attached --hash sha512 doc doc.p7m", 0, "",
              "openssl cms -verify -inform DER -in doc.p7m -CAfile " + certificate + " -out /dev/null"}},
        {"", {"$K demo --card $R --pin-env P --language en", 0, "OpenSSL check of the signature: valid, chain to ca.pem"}},
        {"", {"P=999999 $K card decrypt $R --pin-env P doc.enc no.dec", 1, "", "test ! -e no.dec"}},
        {"", {"$K card pin $R verify --pin-env P --language en", 0, "PIN verified.\n"}},
        {"", {"printf '999999\\n' >pin && $K card pin $R verify --pin-file pin --language de", 1,
              "PIN nicht korrekt.\nVerbleibende Versuche: 2\n"}},
        {"", {"K=87654321 P=654321 $K card pin $R unblock --puk-env K --new-pin-env P --language en", 0,
              "PIN was successfully unblocked.\n", "P=654321 $K card pin $R verify --pin-env P --language en | grep -x 'PIN verified.'"}},
        {"", {"P=654321 $K card pin $R verify --cert 9 --pin-env P", 3, "has no key for certificate '9'"}},
    };
    for (const auto& [card, row] : rows) {
        if (!card.empty()) {
            ASSERT_NO_FATAL_FAILURE(describeCard(card));
        }
        expectRow(row, m_folder.string(), variables);
    }
    // A CMS signature on every card family (but the one that needs a PACE reader) with its first key that signs (a
    // deciphering key may come first), checked by openssl cms -verify.
    for (const auto& file : std::filesystem::directory_iterator(KIVO_VCARD_CARDS)) {
        const std::string name = file.path().filename().string(), card = cardFile(name.c_str());
        if (name.rfind("family-", 0) != 0 || card.find("pace-can=") != std::string::npos) continue;
        SCOPED_TRACE(name);
        ASSERT_NO_FATAL_FAILURE(describeCard(card));
        expectRow({"for c in 0 1; do $K sign --card $R --cert $c --pin-env P doc " + name + ".p7s 2>/dev/null && break; done", 0, "",
                   "openssl cms -verify -binary -inform DER -in " + name + ".p7s -content doc -noverify -out /dev/null"},
                  m_folder.string(), variables);
    }
}

// PINs typed at the library's terminal prompt or into pinentry-tty, each
// row on a terminal of its own.
TEST_F(CliCardTest, PinsTypedOnATerminal) {
    ASSERT_NO_FATAL_FAILURE(describeCard(cardFile("signature-card.txt")));
    const std::string keyboard = "Please enter Signature PIN with the computer keyboard.";
    const struct {
        std::string operation, language;
        bool pinentry;
        std::vector<kivo::test::TerminalStep> typed;
        int status;
        std::string output;  // the last lines, '\r' removed
    } rows[] = {
        {"verify", "en", false, {{keyboard, "123456\r"}}, 0, "PIN verified.\n"},
        {"verify", "en", false, {{keyboard, "\x1b"}, {"[Enter] ", "\r"}}, 4,
         "The PIN entry via the keyboard of the computer was canceled.\n"},
        {"verify", "sv", true, {{"Ange Signatur-PIN med datorns tangentbord.", ""}, {"PIN:", "123456\n"}}, 0,
         "PIN-koden verifierad.\n"},
    };
    const std::string reader = index(described.reader());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.output);
        if (row.pinentry && ::access("/usr/bin/pinentry-tty", X_OK) != 0) continue;
        const std::vector<std::string> environment = {"DISPLAY", "WAYLAND_DISPLAY", "KIVO_SC_USER_CONFIG=/nonexistent",
            "KIVO_SC_MACHINE_CONFIG=/nonexistent", row.pinentry ? "KIVO_PINENTRY=pinentry-tty" : "KIVO_PINENTRY"};
        kivo::test::TerminalRun run = kivo::test::runProgramOnTerminal(
            {KIVO_CLI_FILE, "card", "pin", "--reader", reader, row.operation, "--language", row.language}, environment, row.typed);
        std::erase(run.screen, '\r');
        EXPECT_TRUE(run.stepsDone) << run.screen;
        EXPECT_EQ(run.exitStatus, row.status) << run.screen;
        EXPECT_TRUE(run.screen.ends_with(row.output)) << run.screen;
        EXPECT_FALSE(std::regex_search(run.screen, std::regex("123456|24681357|87654321"))) << "echoed: " << run.screen;
    }
}
