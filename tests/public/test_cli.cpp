// The kivocrypto program as a person meets it: version, help, hash, cert,
// inspect, sign, timestamp, demo, readers and card.

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <fstream>
#include <string>

#include <sys/stat.h>

using kivo::test::opensslDigest;
using kivo::test::runCommand;
using kivo::test::toHex;

namespace fs = std::filesystem;

namespace {

std::string cli(const std::string& arguments) {
    return std::string("'") + KIVO_CLI_FILE + "' " + arguments;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = fs::temp_directory_path() /
                   ("kivocrypto-cli-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }

    std::string writeFile(const std::string& name, const std::string& content) {
        const fs::path path = m_folder / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    std::string expectedHex(const char* algorithm, const std::string& content) {
        return toHex(opensslDigest(algorithm, reinterpret_cast<const unsigned char*>(content.data()),
                                   content.size()));
    }

    fs::path m_folder;
};

}  // namespace

TEST_F(CliTest, VersionAndHelp) {
    const auto version = runCommand(cli("--version"));
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output.rfind("kivocrypto ", 0), 0u) << version.output;

    const auto help = runCommand(cli("--help"));
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("hash"), std::string::npos);

    const auto hashHelp = runCommand(cli("hash --help"));
    EXPECT_EQ(hashHelp.status, 0);
    EXPECT_NE(hashHelp.output.find("ripemd160"), std::string::npos);

    EXPECT_EQ(runCommand(cli("2>/dev/null")).status, 2) << "no command is a usage error";
    EXPECT_EQ(runCommand(cli("frobnicate 2>/dev/null")).status, 2);
}

TEST_F(CliTest, HashPrintsUpperCaseHexAndFileName) {
    const std::string content = "The quick brown fox jumps over the lazy dog";
    const std::string file = writeFile("fox.txt", content);
    const std::pair<const char*, const char*> algorithms[] = {
        {"sha1", "SHA1"},     {"sha256", "SHA256"}, {"sha384", "SHA384"},
        {"sha512", "SHA512"}, {"md5", "MD5"},       {"ripemd160", "RIPEMD160"},
    };
    for (const auto& [option, opensslName] : algorithms) {
        const auto result = runCommand(cli(std::string("hash -a ") + option + " '" + file + "'"));
        EXPECT_EQ(result.status, 0) << option;
        EXPECT_EQ(result.output, expectedHex(opensslName, content) + "  " + file + "\n") << option;
    }
    // sha256 when no algorithm is named.
    const auto result = runCommand(cli("hash '" + file + "'"));
    EXPECT_EQ(result.output, expectedHex("SHA256", content) + "  " + file + "\n");
}

TEST_F(CliTest, HashOfEmptyAndLargerFiles) {
    const std::string empty = writeFile("empty", "");
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 31 + (i >> 9));
    const std::string big = writeFile("big.bin", large);

    const auto result = runCommand(cli("hash -a sha512 '" + empty + "' '" + big + "'"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, expectedHex("SHA512", "") + "  " + empty + "\n" +
                                 expectedHex("SHA512", large) + "  " + big + "\n");
}

TEST_F(CliTest, MissingFileIsReportedAndTheOthersStillHashed) {
    const std::string first = writeFile("a.txt", "first");
    const std::string last = writeFile("b.txt", "last");
    const std::string missing = (m_folder / "missing.txt").string();
    const std::string errors = (m_folder / "stderr.txt").string();

    const auto result = runCommand(cli("hash -a md5 '" + first + "' '" + missing + "' '" + last +
                                       "' 2>'" + errors + "'"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, expectedHex("MD5", "first") + "  " + first + "\n" +
                                 expectedHex("MD5", "last") + "  " + last + "\n");

    std::ifstream errorStream(errors);
    const std::string errorText((std::istreambuf_iterator<char>(errorStream)),
                                std::istreambuf_iterator<char>());
    EXPECT_EQ(errorText, "kivocrypto: " + missing + ": No such file or directory\n");
}

TEST_F(CliTest, HashRefusesBadArguments) {
    const std::string file = writeFile("x", "x");
    EXPECT_EQ(runCommand(cli("hash -a sha3 '" + file + "' 2>/dev/null")).status, 2);
    EXPECT_EQ(runCommand(cli("hash -a 2>/dev/null")).status, 2);
    EXPECT_EQ(runCommand(cli("hash 2>/dev/null")).status, 2);
    EXPECT_EQ(runCommand(cli("hash --bogus '" + file + "' 2>/dev/null")).status, 2);
    // A folder is not a file.
    EXPECT_EQ(runCommand(cli("hash '" + m_folder.string() + "' 2>/dev/null")).status, 1);
    // After "--" a name that starts with a dash is a file.
    const std::string dashed = writeFile("-dash", "d");
    const auto result = runCommand("cd '" + m_folder.string() + "' && " + cli("hash -a sha1 -- -dash"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, expectedHex("SHA1", "d") + "  -dash\n");
}

TEST_F(CliTest, LibraryLogStaysOffUnlessAsked) {
    const std::string file = writeFile("q", "quiet");
    const auto quiet = runCommand(cli("hash '" + file + "' 2>&1"));
    EXPECT_EQ(quiet.output.find("log4cxx"), std::string::npos) << quiet.output;
    EXPECT_EQ(quiet.output.find("entering"), std::string::npos) << quiet.output;

    const auto verbose = runCommand(cli("--verbose hash '" + file + "' 2>&1 >/dev/null"));
    EXPECT_NE(verbose.output.find("entering calculateHash"), std::string::npos) << verbose.output;
    EXPECT_NE(verbose.output.find("KivoCryptoSSL::CHashSSL"), std::string::npos);
}

// ---- kivocrypto cert ---------------------------------------------------------

#include "tools/testpki/Pki.h"

#include <openssl/pem.h>

namespace {

std::string pemOf(X509* certificate) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return pem;
}

}  // namespace

TEST_F(CliTest, CertPrintsTheFieldsOfPemAndDerCertificates) {
    using namespace kivo::test;
    EvpKeyPtr key = generateKey(KeyKind::Rsa2048);
    CertOptions options;
    options.subject = "/C=DE/O=Kivo Test/CN=Signer One";
    options.subjectKey = key.get();
    options.serial = 4711;
    options.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"},
                       {"authorityInfoAccess", "OCSP;URI:http://ocsp.example"}};
    X509Ptr certificate = makeCertificate(options);

    const std::string pemFile = writeFile("signer.pem", pemOf(certificate.get()));
    const auto der = derOf(certificate.get());
    const std::string derFile = writeFile("signer.der", std::string(der.begin(), der.end()));

    for (const std::string& file : {pemFile, derFile}) {
        const auto result = runCommand(cli("cert '" + file + "'"));
        ASSERT_EQ(result.status, 0) << file;
        const std::string& out = result.output;
        EXPECT_NE(out.find("X.509 certificate"), std::string::npos);
        EXPECT_NE(out.find("Subject:               countryName=DE, organizationName=Kivo Test, "
                           "commonName=Signer One\n"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("Serial:                1267\n"), std::string::npos) << out;
        EXPECT_NE(out.find("Key size (bits):       2048\n"), std::string::npos) << out;
        EXPECT_NE(out.find("Exponent:              10001\n"), std::string::npos) << out;
        EXPECT_NE(out.find("2.5.29.15                C0\n"), std::string::npos) << out;
        EXPECT_NE(out.find("URI={1.3.6.1.5.5.7.48.1=http://ocsp.example}"), std::string::npos) << out;
    }
}

TEST_F(CliTest, CertRefusesWhatIsNoCertificate) {
    const std::string garbage = writeFile("garbage.bin", std::string("\x30\x03\x02\x01\x05", 5));
    EXPECT_EQ(runCommand(cli("cert '" + garbage + "' 2>/dev/null")).status, 1);
    const std::string empty = writeFile("empty.der", "");
    EXPECT_EQ(runCommand(cli("cert '" + empty + "' 2>/dev/null")).status, 1);
    EXPECT_EQ(runCommand(cli("cert '" + (m_folder / "missing").string() + "' 2>/dev/null")).status, 1);
    EXPECT_EQ(runCommand(cli("cert 2>/dev/null")).status, 2);
}

// ---- kivocrypto inspect ------------------------------------------------------

#include <openssl/cms.h>

TEST_F(CliTest, InspectShowsWhatOpenSSLPutIntoTheContainer) {
    using namespace kivo::test;
    EvpKeyPtr key = generateKey(KeyKind::EcP256);
    CertOptions options;
    options.subject = "/C=DE/CN=Inspect Me";
    options.subjectKey = key.get();
    X509Ptr certificate = makeCertificate(options);

    const std::string content = "content to be signed";
    BIO* contentBio = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
    CMS_ContentInfo* cms = CMS_sign(certificate.get(), key.get(), nullptr, contentBio,
                                    CMS_BINARY | CMS_DETACHED);
    ASSERT_NE(cms, nullptr);
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms, &der);
    ASSERT_GT(length, 0);
    const std::string file = writeFile("signature.p7s", std::string(der, der + length));
    OPENSSL_free(der);
    CMS_ContentInfo_free(cms);
    BIO_free(contentBio);

    const auto result = runCommand(cli("inspect '" + file + "'"));
    ASSERT_EQ(result.status, 0);
    const std::string& out = result.output;
    EXPECT_NE(out.find("Type: signedData\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Content: detached\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Digest algorithm: 2.16.840.1.101.3.4.2.1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Message digest: " + expectedHex("SHA256", content) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Signers: 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Subject: countryName=DE, commonName=Inspect Me\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Certificates: 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Time stamp: none\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Signing time: (none)"), std::string::npos) << out;

    const std::string notContainer = writeFile("plain.txt", "just text");
    EXPECT_EQ(runCommand(cli("inspect '" + notContainer + "' 2>/dev/null")).status, 1);
}

// ---- kivocrypto sign, timestamp, demo ----------------------------------------

#include "tools/testpki/TsaServer.h"

namespace {

std::string shellQuoted(const std::string& text) { return "'" + text + "'"; }

// Two file names, quoted for the shell.
std::string twoFiles(const std::string& first, const std::string& second) {
    return shellQuoted(first) + " " + shellQuoted(second);
}

int quietStatus(const std::string& command) { return runCommand(command + " 2>/dev/null").status; }

std::string readText(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A CA, a signer with its PKCS#12 file (password "secret") and a password
// file, made fresh in the test folder.
class CliSignTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        using namespace kivo::test;
        m_caKey = generateKey(KeyKind::EcP256);
        CertOptions ca;
        ca.subject = "/C=DE/O=Kivo Test/CN=CLI Test CA";
        ca.subjectKey = m_caKey.get();
        ca.isCa = true;
        m_ca = makeCertificate(ca);
        m_signerKey = generateKey(KeyKind::Rsa2048);
        CertOptions signer;
        signer.subject = "/C=DE/O=Kivo Test/CN=CLI Signer";
        signer.subjectKey = m_signerKey.get();
        signer.issuerCert = m_ca.get();
        signer.issuerKey = m_caKey.get();
        signer.serial = 7;
        signer.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
        m_signer = makeCertificate(signer);
        m_caFile = writeFile("ca.pem", pemOf(m_ca.get()));
        m_p12 = (m_folder / "signer.p12").string();
        writePkcs12(m_p12, m_signerKey.get(), m_signer.get(), "secret");
        m_passwordFile = writeFile("password.txt", "secret\n");
    }

    // A sign command line with the key, its password file, `options` and
    // the files IN and OUT.
    std::string sign(const std::string& options, const std::string& in, const std::string& out) {
        return cli("sign --p12 " + shellQuoted(m_p12) + " --password-file " +
                   shellQuoted(m_passwordFile) + " " + options + " " + twoFiles(in, out));
    }

    std::string inFolder(const char* name) const { return (m_folder / name).string(); }

    // Runs `command` with stderr captured into a file; returns the status,
    // stdout, and stderr in `errors`.
    kivo::test::CommandResult runCapturing(const std::string& command, std::string& errors) {
        const fs::path errorFile = m_folder / "stderr.txt";
        const auto result = runCommand(command + " 2>" + shellQuoted(errorFile.string()));
        errors = readText(errorFile);
        fs::remove(errorFile);
        return result;
    }

    // `openssl cms -verify` of a container against the test CA; with
    // `content` for a detached signature, else the embedded content is
    // written to `extracted`.
    bool opensslVerifies(const std::string& container, const std::string& content,
                         const std::string& extracted = "/dev/null", const char* form = "DER") {
        std::string command = std::string("openssl cms -verify -binary -inform ") + form + " -in " +
                              shellQuoted(container) + " -CAfile " + shellQuoted(m_caFile) +
                              " -out " + shellQuoted(extracted);
        if (!content.empty()) command += " -content " + shellQuoted(content);
        return runCommand(command + " >/dev/null 2>&1").status == 0;
    }

    std::string inspect(const std::string& container) {
        return runCommand(cli("inspect " + shellQuoted(container))).output;
    }

    std::string timestamp(const std::string& url, const std::string& arguments) {
        return cli("timestamp --tsa " + shellQuoted(url) + " " + arguments);
    }

    kivo::test::EvpKeyPtr m_caKey;
    kivo::test::X509Ptr m_ca;
    kivo::test::EvpKeyPtr m_signerKey;
    kivo::test::X509Ptr m_signer;
    std::string m_caFile;
    std::string m_p12;
    std::string m_passwordFile;
};

const char kSameFile[] = "kivocrypto: sign: input and output are the same file (code -35)\n";

}  // namespace

TEST_F(CliSignTest, HelpAndUsageErrors) {
    const auto overview = runCommand(cli("--help"));
    for (const std::string command : {"sign", "timestamp", "demo"}) {
        const auto help = runCommand(cli(command + " --help"));
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.output.rfind("usage: kivocrypto " + command, 0), 0u) << help.output;
        EXPECT_NE(overview.output.find("\n  " + command + " "), std::string::npos) << command;
    }
    const std::string in = writeFile("doc.txt", "text");
    const std::string out = inFolder("doc.p7s");
    EXPECT_EQ(quietStatus(cli("sign")), 2);
    EXPECT_EQ(quietStatus(cli("sign " + twoFiles(in, out))), 2) << "--p12 is required";
    EXPECT_EQ(quietStatus(sign("--hash sha3", in, out)), 2);
    EXPECT_EQ(quietStatus(sign("--cades-level x", in, out)), 2);
    EXPECT_EQ(quietStatus(sign("--password-env X", in, out)), 2) << "two password sources";
    EXPECT_EQ(quietStatus(sign("--bogus", in, out)), 2);
    EXPECT_EQ(quietStatus(cli("sign --p12 " + twoFiles(m_p12, in))), 2) << "no OUT";
    EXPECT_EQ(quietStatus(cli("timestamp " + shellQuoted(out))), 2) << "--tsa is required";
    EXPECT_EQ(quietStatus(timestamp("http://127.0.0.1:9/", "--hash md5 " + shellQuoted(out))), 2);
    EXPECT_EQ(quietStatus(timestamp("http://127.0.0.1:9/", twoFiles(out, out) + " third")), 2);
    EXPECT_EQ(quietStatus(cli("demo --frobnicate")), 2);
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(CliSignTest, SignsDetachedAndOpenSSLVerifies) {
    const std::string document = writeFile("contract.txt", "The parties agree.\n");
    const std::string container = inFolder("contract.p7s");
    std::string errors;
    const auto result = runCapturing(sign("", document, container), errors);
    ASSERT_EQ(result.status, 0) << errors;
    EXPECT_EQ(errors, "");
    EXPECT_NE(result.output.find("detached"), std::string::npos) << result.output;

    EXPECT_TRUE(opensslVerifies(container, document));
    const std::string other = writeFile("other.txt", "The parties disagree.\n");
    EXPECT_FALSE(opensslVerifies(container, other)) << "the signature must cover the document";

    const std::string shown = inspect(container);
    EXPECT_NE(shown.find("Content: detached\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Digest algorithm: 2.16.840.1.101.3.4.2.1\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("commonName=CLI Signer"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Time stamp: none\n"), std::string::npos) << shown;
}

TEST_F(CliSignTest, SignsAttachedWithHashAndExtraCertificate) {
    const std::string content = "attached content\n";
    const std::string document = writeFile("letter.txt", content);
    const std::string container = inFolder("letter.p7s");
    const std::string options = "--attached --hash sha384 --extra-cert " + shellQuoted(m_caFile);
    const auto result = runCommand(sign(options, document, container));
    ASSERT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("content attached"), std::string::npos) << result.output;

    const std::string extracted = inFolder("extracted.txt");
    ASSERT_TRUE(opensslVerifies(container, "", extracted));
    EXPECT_EQ(readText(extracted), content);

    const std::string shown = inspect(container);
    const std::string attached = "Content: attached, " + std::to_string(content.size()) + " octets\n";
    EXPECT_NE(shown.find(attached), std::string::npos) << shown;
    EXPECT_NE(shown.find("Digest algorithm: 2.16.840.1.101.3.4.2.2\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Certificates: 2\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("commonName=CLI Test CA"), std::string::npos) << shown;
}

TEST_F(CliSignTest, PasswordFromTheEnvironmentOrAFileWithCrLf) {
    const std::string document = writeFile("a.txt", "a");
    const std::string fromEnvironment = inFolder("env.p7s");
    const std::string withEnvironment = "sign --p12 " + shellQuoted(m_p12) + " --password-env ";
    EXPECT_EQ(runCommand("KIVO_CLI_TEST_PASSWORD=secret " +
                         cli(withEnvironment + "KIVO_CLI_TEST_PASSWORD " + twoFiles(document, fromEnvironment)))
                  .status,
              0);
    EXPECT_TRUE(opensslVerifies(fromEnvironment, document));

    const std::string crlf = writeFile("crlf.txt", "secret\r\nsecond line\n");
    const std::string fromFile = inFolder("file.p7s");
    const std::string withFile = "sign --p12 " + shellQuoted(m_p12) + " --password-file " + shellQuoted(crlf);
    EXPECT_EQ(runCommand(cli(withFile + " " + twoFiles(document, fromFile))).status, 0);
    EXPECT_TRUE(opensslVerifies(fromFile, document));

    std::string errors;
    const auto unset = runCapturing("env -u KIVO_CLI_TEST_UNSET " +
                                        cli(withEnvironment + "KIVO_CLI_TEST_UNSET " +
                                            twoFiles(document, inFolder("x.p7s"))),
                                    errors);
    EXPECT_EQ(unset.status, 1);
    EXPECT_NE(errors.find("KIVO_CLI_TEST_UNSET is not set"), std::string::npos) << errors;
}

TEST_F(CliSignTest, WrongPasswordFailsWithOneLine) {
    const std::string document = writeFile("doc.txt", "text");
    const std::string wrong = writeFile("wrong.txt", "not the password\n");
    const std::string container = inFolder("doc.p7s");
    std::string errors;
    const auto result = runCapturing(cli("sign --p12 " + shellQuoted(m_p12) + " --password-file " +
                                         shellQuoted(wrong) + " " + twoFiles(document, container)),
                                     errors);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(lineCount(errors), 1u) << errors;
    EXPECT_EQ(errors.rfind("kivocrypto: sign: ", 0), 0u) << errors;
    EXPECT_NE(errors.find("wrong password"), std::string::npos) << errors;
    EXPECT_FALSE(fs::exists(container));
}

TEST_F(CliSignTest, EqualInputAndOutputIsRefused) {
    const std::string content = "keep me\n";
    const std::string document = writeFile("doc.txt", content);
    std::string errors;
    // The same name: the library refuses it before reading anything.
    auto result = runCapturing(sign("", document, document), errors);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(errors, kSameFile);
    EXPECT_EQ(readText(document), content);

    // A name of a file that does not exist: still refused, and no file made.
    const std::string missing = inFolder("missing.p7s");
    result = runCapturing(sign("", missing, missing), errors);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(errors, kSameFile);
    EXPECT_FALSE(fs::exists(missing));

    // Two spellings of one file.
    result = runCapturing("cd " + shellQuoted(m_folder.string()) + " && " + sign("", "doc.txt", "./doc.txt"),
                          errors);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(errors, kSameFile);
    EXPECT_EQ(readText(document), content);
}

TEST_F(CliSignTest, LibraryFailuresAreNamed) {
    const std::string empty = writeFile("empty.txt", "");
    const std::string out = inFolder("out.p7s");
    std::string errors;
    auto result = runCapturing(sign("", empty, out), errors);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(errors, "kivocrypto: sign: the input file is empty (code -1025)\n");

    result = runCapturing(sign("", inFolder("absent.txt"), out), errors);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(errors, "kivocrypto: sign: the input file cannot be read (code -1012)\n");

    const std::string document = writeFile("doc.txt", "text");
    result = runCapturing(sign("", document, inFolder("no/such/folder.p7s")), errors);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(errors, "kivocrypto: sign: the output file cannot be written (code -36)\n");
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(CliSignTest, WithoutPasswordAndTerminalItSaysWhatToDo) {
    const std::string document = writeFile("doc.txt", "text");
    const std::string container = inFolder("doc.p7s");
    std::string errors;
    // setsid: a new session has no controlling terminal to prompt on.
    const std::string command = cli("sign --p12 " + shellQuoted(m_p12) + " " + twoFiles(document, container));
    const auto result = runCapturing("setsid -w " + command + " </dev/null", errors);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lineCount(errors), 1u) << errors;
    EXPECT_NE(errors.find("no terminal"), std::string::npos) << errors;
    EXPECT_NE(errors.find("--password-file"), std::string::npos) << errors;
    EXPECT_FALSE(fs::exists(container));
}

TEST_F(CliSignTest, PromptsOnTheTerminalWithEchoOff) {
    if (runCommand("command -v script >/dev/null").status != 0) GTEST_SKIP() << "script(1) not installed";
    const std::string document = writeFile("doc.txt", "typed password\n");
    const std::string container = inFolder("doc.p7s");
    // script(1) runs the program on a pseudo terminal and forwards what is
    // typed; the pause lets the prompt switch echo off before the password
    // arrives (switching discards earlier type-ahead).
    const std::string command = cli("sign --p12 " + shellQuoted(m_p12) + " " + twoFiles(document, container));
    const auto result = runCommand("(sleep 2; printf 'secret\\n'; sleep 1) | script -qec " +
                                   shellQuoted(command) + " /dev/null");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("Password for " + m_p12 + ": "), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("secret"), std::string::npos) << "the password is not echoed";
    EXPECT_TRUE(opensslVerifies(container, document));
}

TEST_F(CliSignTest, LargeInputShowsNoProgressWhenStderrIsNoTerminal) {
    std::string large(17u * 1024u * 1024u, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + (i >> 12));
    const std::string document = writeFile("large.bin", large);
    const std::string container = inFolder("large.p7s");
    std::string errors;
    const auto result = runCapturing(sign("", document, container), errors);
    ASSERT_EQ(result.status, 0) << errors;
    EXPECT_EQ(errors, "");
    EXPECT_TRUE(opensslVerifies(container, document));
}

TEST_F(CliSignTest, SignsWithATimeStampFromTheService) {
    kivo::test::TsaServer tsa;
    const std::string document = writeFile("doc.txt", "time-stamped text\n");
    const std::string container = inFolder("doc.p7s");
    const auto result = runCommand(sign("--tsa " + shellQuoted(tsa.url()), document, container));
    ASSERT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("time-stamped"), std::string::npos) << result.output;
    EXPECT_EQ(tsa.requestCount(), 1);
    EXPECT_NE(inspect(container).find("Time stamp: present\n"), std::string::npos);
    EXPECT_TRUE(opensslVerifies(container, document));
}

// The digest (SHA-256) of the first signer's signature value as stored,
// and the DER of its time-stamp token written to `tokenFile`.
std::string storedSignatureDigest(const std::string& container, const std::string& tokenFile) {
    std::ifstream in(container, std::ios::binary);
    const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size()));
    if (cms == nullptr) return {};
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(si);
    unsigned char digest[32];
    EVP_Digest(value->data, static_cast<std::size_t>(value->length), digest, nullptr, EVP_sha256(), nullptr);
    const auto* token = static_cast<const ASN1_STRING*>(
        CMS_unsigned_get0_data_by_OBJ(si, OBJ_nid2obj(NID_id_smime_aa_timeStampToken), -3, V_ASN1_SEQUENCE));
    if (token != nullptr) {
        std::ofstream(tokenFile, std::ios::binary)
            .write(reinterpret_cast<const char*>(ASN1_STRING_get0_data(token)), ASN1_STRING_length(token));
    }
    CMS_ContentInfo_free(cms);
    return kivo::test::toHex(std::vector<unsigned char>(digest, digest + sizeof digest));
}

// The README's example: an attached container, here of an ECDSA signature,
// time-stamped over the signature value as stored, which `openssl ts
// -verify` checks; --raw-imprint stamps the r||s form instead. `timestamp`
// takes containers of other makers and sizes too.
TEST_F(CliSignTest, TimeStampsAttachedEcdsaContainersForEveryVerifier) {
    using namespace kivo::test;
    kivo::test::TsaServer tsa;
    const EvpKeyPtr ecKey = generateKey(KeyKind::EcP256);
    CertOptions options;
    options.subject = "/CN=CLI EC Signer";
    options.subjectKey = ecKey.get();
    options.issuerCert = m_ca.get();
    options.issuerKey = m_caKey.get();
    const X509Ptr ecCert = makeCertificate(options);
    const std::string p12 = inFolder("ec.p12");
    writePkcs12(p12, ecKey.get(), ecCert.get(), "secret");
    const std::string tsaCa = writeFile("tsa-ca.pem", pemOf(tsa.caCertificate()));
    const std::string document = writeFile("letter.txt", std::string(2000, 'L'));
    const auto tokenVerifies = [&](const std::string& container) {
        const std::string token = inFolder("token.tst");
        const std::string digest = storedSignatureDigest(container, token);
        return runCommand("openssl ts -verify -in " + shellQuoted(token) + " -token_in -digest " + digest +
                          " -CAfile " + shellQuoted(tsaCa) + " >/dev/null 2>&1")
                   .status == 0;
    };

    for (const std::string imprint : {"", "--raw-imprint"}) {
        SCOPED_TRACE(imprint);
        const std::string container = inFolder("letter.p7m");
        const auto result = runCommand(cli("sign --p12 " + shellQuoted(p12) + " --password-file " +
                                           shellQuoted(m_passwordFile) + " --attached --tsa " + shellQuoted(tsa.url()) +
                                           " " + imprint + " " + twoFiles(document, container)));
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_TRUE(opensslVerifies(container, ""));
        EXPECT_EQ(tokenVerifies(container), imprint.empty());
    }

    // An OpenSSL container of more than 64 KiB with two certificates.
    const std::string big = writeFile("big.bin", std::string(70000, 'B'));
    const std::string key = writeFile("ec-key.pem", "");
    const std::string cert = writeFile("ec-cert.pem", pemOf(ecCert.get()));
    BIO* bio = BIO_new_file(key.c_str(), "w");
    PEM_write_bio_PrivateKey(bio, ecKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
    BIO_free(bio);
    const std::string container = inFolder("big.p7m");
    ASSERT_EQ(runCommand("openssl cms -sign -binary -nodetach -in " + shellQuoted(big) + " -signer " + shellQuoted(cert) +
                         " -inkey " + shellQuoted(key) + " -certfile " + shellQuoted(m_caFile) + " -outform DER -out " +
                         shellQuoted(container))
                  .status,
              0);
    std::string errors;
    ASSERT_EQ(runCapturing(timestamp(tsa.url(), shellQuoted(container)), errors).status, 0) << errors;
    EXPECT_TRUE(opensslVerifies(container, ""));
    EXPECT_TRUE(tokenVerifies(container));
}

TEST_F(CliSignTest, TimestampAddsATokenToAnotherFileOrInPlace) {
    kivo::test::TsaServer tsa;
    const std::string document = writeFile("doc.txt", "stamp me later\n");
    const std::string container = inFolder("doc.p7s");
    ASSERT_EQ(runCommand(sign("", document, container)).status, 0);
    const std::string unstamped = readText(container);

    const std::string copy = inFolder("stamped.p7s");
    std::string errors;
    auto result = runCapturing(timestamp(tsa.url(), twoFiles(container, copy)), errors);
    ASSERT_EQ(result.status, 0) << errors;
    EXPECT_EQ(readText(container), unstamped) << "the input stays as it was";
    EXPECT_GT(readText(copy).size(), unstamped.size());
    EXPECT_NE(inspect(copy).find("Time stamp: present\n"), std::string::npos);
    EXPECT_TRUE(opensslVerifies(copy, document));

    result = runCapturing(timestamp(tsa.url(), "--hash sha512 " + shellQuoted(container)), errors);
    ASSERT_EQ(result.status, 0) << errors;
    EXPECT_NE(inspect(container).find("Time stamp: present\n"), std::string::npos);
    EXPECT_TRUE(opensslVerifies(container, document));
    EXPECT_EQ(tsa.requestCount(), 2);
    for (const auto& entry : fs::directory_iterator(m_folder)) {
        EXPECT_NE(entry.path().filename().string()[0], '.') << "temporary file left: " << entry.path();
    }
}

TEST_F(CliSignTest, TimestampKeepsPemInputAsPem) {
    kivo::test::TsaServer tsa;
    const std::string document = writeFile("doc.txt", "pem in, pem out\n");
    const std::string der = inFolder("doc.p7s");
    ASSERT_EQ(runCommand(sign("", document, der)).status, 0);
    const std::string pem = inFolder("doc.pem");
    ASSERT_EQ(runCommand("openssl cms -cmsout -inform DER -outform PEM -in " + shellQuoted(der) +
                         " -out " + shellQuoted(pem))
                  .status,
              0);
    ASSERT_EQ(::chmod(pem.c_str(), 0640), 0);

    ASSERT_EQ(runCommand(timestamp(tsa.url(), shellQuoted(pem))).status, 0);
    EXPECT_EQ(readText(pem).rfind("-----BEGIN CMS-----\n", 0), 0u) << readText(pem);
    EXPECT_EQ(fs::status(pem).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
        << "the replaced file keeps its permissions";
    EXPECT_NE(inspect(pem).find("Time stamp: present\n"), std::string::npos);
    EXPECT_TRUE(opensslVerifies(pem, document, "/dev/null", "PEM"));
}

TEST_F(CliSignTest, TimestampFailuresLeaveTheContainerAlone) {
    kivo::test::TsaServer tsa(kivo::test::TsaServer::Mode::HttpError);
    const std::string document = writeFile("doc.txt", "no stamp today\n");
    const std::string container = inFolder("doc.p7s");
    ASSERT_EQ(runCommand(sign("", document, container)).status, 0);
    const std::string before = readText(container);

    std::string errors;
    auto result = runCapturing(timestamp(tsa.url(), shellQuoted(container)), errors);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lineCount(errors), 1u) << errors;
    EXPECT_NE(errors.find("(code -92)"), std::string::npos) << errors;
    EXPECT_EQ(tsa.requestCount(), 1);
    EXPECT_EQ(readText(container), before);

    const std::string notContainer = writeFile("plain.txt", "just text, long enough to be no container");
    result = runCapturing(timestamp(tsa.url(), shellQuoted(notContainer)), errors);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lineCount(errors), 1u) << errors;
    EXPECT_EQ(tsa.requestCount(), 1) << "nothing is sent for what is no container";
}

TEST_F(CliTest, DemoSignsTimeStampsAndChecks) {
    const auto result = runCommand("TMPDIR=" + shellQuoted(m_folder.string()) + " " + cli("demo"));
    ASSERT_EQ(result.status, 0) << result.output;
    const std::string& out = result.output;
    EXPECT_NE(out.find("document.txt.p7s"), std::string::npos) << out;
    EXPECT_NE(out.find("Signers: 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("commonName=Demo Signer\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Content: detached\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Time stamp: present\n"), std::string::npos) << out;
    EXPECT_NE(out.find("OpenSSL check of the signature: valid"), std::string::npos) << out;
    EXPECT_NE(out.find("OpenSSL check of the time stamp: valid"), std::string::npos) << out;
    EXPECT_TRUE(fs::is_empty(m_folder)) << "the demo folder is removed";
}

TEST_F(CliTest, DemoKeepsItsFolderWhenAsked) {
    const auto result = runCommand("TMPDIR=" + shellQuoted(m_folder.string()) + " " + cli("demo --keep"));
    ASSERT_EQ(result.status, 0) << result.output;
    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(m_folder)) folders.push_back(entry.path());
    ASSERT_EQ(folders.size(), 1u);
    const fs::path& kept = folders[0];
    EXPECT_NE(result.output.find("Kept " + kept.string()), std::string::npos) << result.output;
    const std::string verify = "openssl cms -verify -binary -inform DER -in " +
                               shellQuoted((kept / "document.txt.p7s").string()) + " -content " +
                               shellQuoted((kept / "document.txt").string()) + " -CAfile " +
                               shellQuoted((kept / "ca.pem").string()) + " -out /dev/null";
    EXPECT_EQ(quietStatus(verify), 0);
}

// ---- kivocrypto readers ------------------------------------------------------

#include "tests/support/card/VcardSession.h"

#include <chrono>
#include <regex>
#include <sstream>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The listing run by the shell under timeout(1), so that a hanging program
// fails the test with status 124 instead of stopping the suite; stderr is
// appended to stdout when `withErrors` is set.
kivo::test::CommandResult runReaders(const std::string& arguments, bool withErrors = false) {
    return runCommand("timeout 60 " + cli("readers " + arguments) + (withErrors ? " 2>&1" : ""));
}

// The ATR of the virtual card from its description, upper-case hex bytes
// joined by ':' (the form the listing shows).
std::string virtualCardAtr() {
    std::ifstream card(std::string(KIVO_SOURCE_DIR) + "/tests/support/cards/test_card.txt");
    for (std::string line; std::getline(card, line);) {
        if (line.rfind("atr ", 0) != 0) continue;
        std::istringstream words(line.substr(4, line.find('#') - 4));
        std::string text;
        for (std::string byte; words >> byte;) {
            std::transform(byte.begin(), byte.end(), byte.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            text += (text.empty() ? "" : ":") + byte;
        }
        return text;
    }
    return {};
}

struct ListedReader {
    int index = -1;
    std::string name;
    std::string cardLine;
    std::string pinPadLine;
};

// Splits the listing into its blocks; adds a failure for any line that is
// not where the layout puts it.
std::vector<ListedReader> parseListing(const std::string& listing) {
    static const std::regex header(R"(^(\d+): (.+)$)");
    static const std::regex card(R"(^   card: (present, ATR [0-9A-F]{2}(:[0-9A-F]{2})*|absent, ATR ---)$)");
    static const std::regex pinPad(R"(^   pin pad: (yes|no|unknown \(no card\))$)");
    std::vector<ListedReader> readers;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        std::smatch match;
        if (!std::regex_match(line, match, header)) {
            ADD_FAILURE() << "not a reader line: '" << line << "' in\n" << listing;
            return readers;
        }
        ListedReader reader;
        reader.index = std::stoi(match[1]);
        reader.name = match[2];
        if (!std::getline(lines, reader.cardLine) || !std::regex_match(reader.cardLine, card)) {
            ADD_FAILURE() << "no card line after '" << line << "' in\n" << listing;
            return readers;
        }
        if (!std::getline(lines, reader.pinPadLine) || !std::regex_match(reader.pinPadLine, pinPad)) {
            ADD_FAILURE() << "no pin-pad line after '" << line << "' in\n" << listing;
            return readers;
        }
        readers.push_back(reader);
    }
    return readers;
}

// The virtual card's session (card lock held, card present and connected)
// for the length of each test; skipped without the card services.
class CliReadersTest : public kivo::test::VcardTest {};

}  // namespace

TEST_F(CliReadersTest, ListsTheVirtualReaderWithItsCard) {
    const std::string expectedAtr = virtualCardAtr();
    ASSERT_FALSE(expectedAtr.empty()) << "no atr line in test_card.txt";

    const auto result = runReaders("");
    ASSERT_EQ(result.status, 0) << result.output;
    const auto readers = parseListing(result.output);
    ASSERT_FALSE(readers.empty()) << result.output;
    const ListedReader* virtualReader = nullptr;
    for (std::size_t i = 0; i < readers.size(); ++i) {
        const ListedReader& reader = readers[i];
        EXPECT_EQ(reader.index, static_cast<int>(i)) << "indexes count up from 0";
        if (reader.name == session.reader()) virtualReader = &reader;
        // A reader without a card (vpcd's second slot has none) cannot be
        // asked for its pin pad; one with a card answers yes or no.
        const bool absent = reader.cardLine == "   card: absent, ATR ---";
        EXPECT_EQ(absent, reader.pinPadLine == "   pin pad: unknown (no card)") << result.output;
    }
    ASSERT_NE(virtualReader, nullptr) << "no reader '" << session.reader() << "' in\n" << result.output;
    EXPECT_EQ(virtualReader->cardLine, "   card: present, ATR " + expectedAtr);
    EXPECT_EQ(virtualReader->pinPadLine, "   pin pad: no");
}

TEST_F(CliReadersTest, ListingIsTheSameWhenAskedAgain) {
    // The reader is connected to and asked for its pin pad on each run; a
    // second run sees the same readers and the same card.
    const auto first = runReaders("--timeout 30");
    const auto second = runReaders("--timeout 30");
    ASSERT_EQ(first.status, 0) << first.output;
    ASSERT_EQ(second.status, 0) << second.output;
    EXPECT_EQ(first.output, second.output);
    EXPECT_NE(first.output.find(session.reader() + "\n   card: present"), std::string::npos)
        << first.output;
}

TEST_F(CliTest, ReadersRefusesBadArguments) {
    const auto extra = runReaders("extra", true);
    EXPECT_EQ(extra.status, 2);
    EXPECT_EQ(extra.output,
              "kivocrypto: readers: unexpected argument 'extra' (see kivocrypto readers --help)\n");

    const auto unknown = runReaders("--bogus", true);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.output.find("unknown option '--bogus'"), std::string::npos) << unknown.output;

    EXPECT_EQ(runReaders("--timeout", true).status, 2) << "--timeout needs a value";
    for (const char* bad : {"0", "-1", "abc", "1.5", "3601", "99999", "''"}) {
        const auto result = runReaders(std::string("--timeout ") + bad, true);
        EXPECT_EQ(result.status, 2) << bad;
        EXPECT_NE(result.output.find("--timeout takes whole seconds"), std::string::npos)
            << bad << ": " << result.output;
    }
    // After "--" everything is an operand, and readers takes none.
    EXPECT_EQ(runReaders("-- --help", true).status, 2);
}

TEST_F(CliTest, ReadersHelpDocumentsLayoutAndExitCodes) {
    const auto help = runReaders("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: kivocrypto readers [--timeout SECONDS]"), std::string::npos)
        << help.output;
    EXPECT_NE(help.output.find("card: present, ATR"), std::string::npos) << help.output;
    EXPECT_NE(help.output.find("3 no smart-card readers\nfound"), std::string::npos) << help.output;
    EXPECT_NE(help.output.find("4 the PC/SC service cannot be reached"), std::string::npos)
        << help.output;

    const auto overview = runCommand(cli("--help"));
    EXPECT_NE(overview.output.find("\n  readers   list the smart-card readers"), std::string::npos)
        << overview.output;
}

TEST_F(CliTest, ReadersWithoutAReachableServiceFailsWithItsOwnCode) {
    // pcsc-lite's client finds the service through PCSCLITE_CSOCK_NAME; a
    // socket that does not exist is a service that is not running.
    const std::string absent = (m_folder / "absent.comm").string();
    const auto noService =
        runCommand("PCSCLITE_CSOCK_NAME='" + absent + "' timeout 60 " + cli("readers 2>&1"));
    EXPECT_EQ(noService.status, 4);
    EXPECT_EQ(noService.output,
              "kivocrypto: readers: the PC/SC service cannot be reached (is pcscd running?)\n");

    // A socket that takes the connection and never answers: the program
    // gives up after its time limit instead of waiting for ever.
    const std::string mutePath = (m_folder / "mute.comm").string();
    sockaddr_un address{};
    ASSERT_LT(mutePath.size(), sizeof address.sun_path) << mutePath;
    address.sun_family = AF_UNIX;
    std::copy(mutePath.begin(), mutePath.end(), address.sun_path);
    const int mute = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(mute, 0);
    ASSERT_EQ(::bind(mute, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(mute, 4), 0);
    const auto started = std::chrono::steady_clock::now();
    const auto silent = runCommand("PCSCLITE_CSOCK_NAME='" + mutePath + "' timeout 60 " +
                                   cli("readers --timeout 1 2>&1"));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    ::close(mute);
    EXPECT_EQ(silent.status, 4) << silent.output;
    EXPECT_EQ(silent.output, "kivocrypto: readers: the PC/SC service did not answer within 1 s\n");
    EXPECT_LT(elapsed, std::chrono::seconds(20));
}

// ---- kivocrypto card: info, certificates, dump, apdu ------------------------

#include "tests/support/card/DescribedCard.h"

namespace {

kivo::test::CommandResult runCard(const std::string& arguments, const std::string& environment = "") {
    return runCommand(environment + "timeout 60 " + cli("card " + arguments + " 2>&1"));
}

kivo::test::CommandResult runApdu(const std::string& arguments) { return runCard("apdu " + arguments); }

// What the command prints for exchanges as vcard recorded them.
std::string printedExchanges(const std::vector<kivo::test::RecordedExchange>& exchanges) {
    const auto spaced = [](const std::string& hex, std::size_t from, std::size_t to) {
        std::string text;
        for (std::size_t i = from; i < to; i += 2) text += (i == from ? "" : " ") + hex.substr(i, 2);
        return text;
    };
    std::string out;
    for (const auto& exchange : exchanges) {
        const std::string& r = exchange.response;
        out += "Sending: " + spaced(exchange.command, 0, exchange.command.size()) + "\n";
        out += "Received (SW1=0x" + r.substr(r.size() - 4, 2) + ", SW2=0x" + r.substr(r.size() - 2) + ")";
        const std::size_t dataEnd = r.size() - 4;
        if (dataEnd == 0) {
            out += "\n";
            continue;
        }
        out += ":\n";
        for (std::size_t from = 0; from < dataEnd; from += 32) {
            out += spaced(r, from, std::min(dataEnd, from + 32)) + "\n";
        }
    }
    return out;
}

// The described cards of the support fixture, with the reader indexes
// `readers` lists.
class CliCardTest : public kivo::test::DescribedCardTest {
protected:
    // The reader as `readers` lists it.
    ListedReader listed(const std::string& name) {
        for (const ListedReader& reader : parseListing(runReaders("").output)) {
            if (reader.name == name) return reader;
        }
        ADD_FAILURE() << "reader '" << name << "' not listed";
        return {};
    }
    // The index `readers` gives the virtual card's reader.
    std::string readerIndex() { return std::to_string(listed(session.reader()).index); }
};

using kivo::test::setCosPkcs15Card;

// The DER of the certificate a PEM text holds, as OpenSSL reads it.
std::string derOfPem(const std::string& pem) {
    BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* certificate = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    unsigned char* der = nullptr;
    const int length = certificate != nullptr ? i2d_X509(certificate, &der) : 0;
    X509_free(certificate);
    const std::string text = length > 0 ? std::string(reinterpret_cast<char*>(der), length) : std::string();
    OPENSSL_free(der);
    return text;
}

// The names of the "Name: value" lines of an output, in order.
std::vector<std::string> lineNames(const std::string& output) {
    std::vector<std::string> names;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) names.push_back(line.substr(0, line.find(':')));
    return names;
}

bool hasLine(const std::string& output, const std::string& line) {
    return ("\n" + output).find("\n" + line + "\n") != std::string::npos;
}

}  // namespace

TEST_F(CliTest, CardSubcommandsRefuseUsageErrors) {
    const std::string file = writeFile("not-a-folder", "x");
    const std::string missing = (m_folder / "missing").string();
    struct Refused {
        std::string arguments;
        std::string message;
    };
    const Refused cases[] = {
        {"apdu", "no APDU given"},
        {"apdu 00A4000", "'00A4000' has an odd number of hex digits"},
        {"apdu 00G40000", "'00G40000' holds a character that is no hex digit"},
        {"apdu 00A4:000x", "'00A4:000x' holds a character that is no hex digit"},
        {"apdu ''", "'' is shorter than CLA INS P1 P2"},
        {"apdu 00A4", "'00A4' is shorter than CLA INS P1 P2"},
        {"apdu 00A4000C023F", "does not have the length its Lc byte gives"},
        {"apdu 00A4000C023F000000", "does not have the length its Lc byte gives"},
        {"apdu 00B00000000100", "is no extended command with Lc, data and Le"},
        {"apdu 00DA000000000101", "is no extended command with Lc, data and Le"},
        {"apdu 002A9E9A000002010200", "is no extended command with Lc, data and Le"},
        {"apdu --reader", "--reader needs a value"},
        {"apdu --reader x 00A40000", "--reader takes an index from 0 to 999, not 'x'"},
        {"apdu --bogus 00A40000", "unknown option '--bogus'"},
        {"info --bogus", "card info: unknown option '--bogus' (see kivocrypto card info --help)"},
        {"info extra", "card info: unexpected argument 'extra' (see kivocrypto card info --help)"},
        {"info --reader 1000", "card info: --reader takes an index from 0 to 999, not '1000'"},
        {"dump --reader", "card dump: --reader needs a value"},
        {"dump --out " + m_folder.string(), "card dump: unknown option '--out'"},
        {"certificates --out '" + file + "'", "card certificates: --out '" + file + "' is not a directory"},
        {"certificates --out '" + missing + "'", "card certificates: --out '" + missing + "' is not a directory"},
        {"certificates --pem", "card certificates: --pem needs --out DIR"},
        {"pin", "card pin: no operation given (verify, change or unblock)"},
        {"pin sign", "card pin: unknown operation 'sign'"},
        {"pin verify verify", "card pin: unexpected argument 'verify'"},
        {"pin verify --puk-env K", "card pin: --puk-env without unblock"},
        {"pin unblock --pin-env P", "card pin: --pin-env or --pin-file with unblock"},
        {"pin verify --language fr", "card pin: --language takes en, de or sv, not 'fr'"},
        {"pin verify --pin-env KIVO_UNSET_VARIABLE", "the environment variable KIVO_UNSET_VARIABLE is not set"},
        {"", "usage: kivocrypto card SUBCOMMAND"},
        {"list", "card: unknown subcommand 'list'"},
    };
    for (const Refused& refused : cases) {
        const auto result = runCard(refused.arguments);
        EXPECT_EQ(result.status, 2) << refused.arguments << ": " << result.output;
        EXPECT_NE(result.output.find(refused.message), std::string::npos)
            << refused.arguments << ": " << result.output;
        EXPECT_EQ(result.output.find("Sending:"), std::string::npos) << refused.arguments;
    }
}

TEST_F(CliTest, CardSubcommandsTakeTheirArgumentsAndNeedAService) {
    // Well-formed arguments get as far as looking for the card: without a
    // PC/SC service that ends in exit code 3, not in a usage error.
    const std::string absent = "PCSCLITE_CSOCK_NAME='" + (m_folder / "absent.comm").string() + "' ";
    for (const std::string& accepted : std::vector<std::string>
         {"apdu 00A40000", "apdu 00B0000010", "apdu '00 A4 00 0C 02 3F 00'", "apdu 00:A4:04:00:02:3F:00:00",
          "apdu 002A9E9A0000020102FFFF", "apdu 00a4000c023f00 00ca010100", "info", "info --reader 1",
          "dump --reader 0", "pin verify --reader 1", "certificates --reader 2 --out '" + m_folder.string() + "' --pem"}) {
        const auto result = runCard(accepted, absent);
        EXPECT_EQ(result.status, 3) << accepted << ": " << result.output;
        EXPECT_NE(result.output.find("the PC/SC service cannot be reached"), std::string::npos)
            << accepted << ": " << result.output;
    }
    struct Help {
        const char* subcommand;
        const char* usage;
        const char* exitCodes;
    };
    const Help helps[] = {
        {"apdu", "usage: kivocrypto card apdu [--reader N] [--trace FILE] HEX...",
         "Exit codes: 0 every APDU sent and answered, 1 a transmission failed,\n2 usage error, 3 no reader"},
        {"info", "usage: kivocrypto card info [--reader N]", "Exit codes: 0 card detected, 2 usage error, 3 no"},
        {"certificates", "usage: kivocrypto card certificates [--reader N] [--out DIR] [--pem]",
         "Exit codes: 0 listed (and written), 1 a file could not be written, 2\nusage error"},
        {"dump", "usage: kivocrypto card dump [--reader N]", "4 the\ncard has no PKCS#15 application."},
        {"pin", "usage: kivocrypto card pin verify|change|unblock [--reader N] [--cert ID]", "4 PIN entry\ncancelled."},
    };
    for (const Help& help : helps) {
        const auto result = runCommand(cli(std::string("card ") + help.subcommand + " --help"));
        EXPECT_EQ(result.status, 0) << help.subcommand;
        EXPECT_NE(result.output.find(help.usage), std::string::npos) << result.output;
        EXPECT_NE(result.output.find(help.exitCodes), std::string::npos) << result.output;
        EXPECT_NE(runCommand(cli("card --help")).output.find(std::string("\n  ") + help.subcommand + " "),
                  std::string::npos)
            << help.subcommand;
    }
    EXPECT_NE(runCommand(cli("--help")).output.find("\n  card      a card in a reader: card info, certificates, dump"),
              std::string::npos);
}

TEST_F(CliCardTest, PrintsTheAnswersTheCardGave) {
    const std::string index = readerIndex();
    session.markRecord();
    const auto result = runApdu("--reader " + index + " '00 A4 00 00 02 3F 00' 00:CA:01:01:00 00CA7F7F00");
    ASSERT_EQ(result.status, 0) << result.output;
    const auto exchanges = session.recorded();
    ASSERT_EQ(exchanges.size(), 3u) << result.output;
    EXPECT_EQ(exchanges[0].command, "00A40000023F00");
    EXPECT_EQ(exchanges[1].command, "00CA010100");
    EXPECT_EQ(exchanges[1].response, "4B49564F0000002A9000") << "the serial number of test_card.txt";
    EXPECT_EQ(exchanges[2].response, "6A88");
    EXPECT_EQ(result.output, printedExchanges(exchanges));
}

TEST_F(CliCardTest, TheOutputAndTheTraceMaskPinData) {
    const std::string traceFile = (fs::temp_directory_path() /
                                   ("kivocrypto-apdu-trace-" + std::to_string(::getpid()))).string();
    fs::remove(traceFile);
    // PIN 81 of test_card.txt is 123456: verified, so no try is lost.
    const auto result = runApdu("--reader " + readerIndex() + " --trace '" + traceFile +
                                "' 002000810631323334353600 00200081");
    const std::string trace = readText(traceFile);
    fs::remove(traceFile);
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("Sending: 00 20 00 81 06 ** ** ** ** ** ** **\n"), std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("31 32 33"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("Received (SW1=0x90, SW2=0x00)\nSending: 00 20 00 81\n"
                                 "Received (SW1=0x90, SW2=0x00)"),
              std::string::npos)
        << result.output;
    EXPECT_NE(trace.find("00:20:00:81:06:**:**:**:**:**:**:**"), std::string::npos) << trace;
    EXPECT_NE(trace.find("00:20:00:81\n"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("31:32:33:34:35:36"), std::string::npos) << trace;
}

TEST_F(CliCardTest, InfoAndDumpTellWhatDetectionFound) {
    const std::vector<std::string> infoNames = {
        "Reader",   "ATR",    "Card type",      "Card profile",     "Serial number", "Label",  "PKCS#15",
        "Key kind", "RSA key length", "Hashes", "Single signature", "Certificates",  "PIN pad"};
    struct Row {
        const char* card;
        std::string description;  // empty: no --reader, the first reader with a card
        int infoStatus;
        std::vector<std::string> infoLines;
        int dumpStatus;
        std::vector<std::string> dumpLines;
    };
    const Row rows[] = {
        {"PKCS#15 card", setCosPkcs15Card(), 0,
         {"Card type: 7 (Setcos)", "Card profile: 9", "Serial number: unknown", "Label: Kivo signature card",
          "PKCS#15: yes", "Key kind: RSA", "RSA key length: unknown", "Hashes: SHA-1, SHA-256, SHA-384, SHA-512",
          "Single signature: yes", "Certificates: 1 user, 1 CA", "PIN pad: no"},
         0, {"Token info", "   Label: Kivo signature card", "   Key reference: 0x02", "   Reference: 0x81",
             "   Authority: yes", "Status: 0 (complete)"}},
        {"CardOS 5.0 without files", "atr 3B D2 18 00 81 31 FE 58 C9 01 14\n", 0,
         {"Card type: 15 (CardOS 5.0)", "Card profile: 0", "Label: SmartCard", "PKCS#15: no",
          "Certificates: 0 user, 0 CA"},
         4, {"has no PKCS#15 application"}},
        {"test_card.txt (ATR of no known type)", "", 3, {"Card type: unknown"}, 3,
         {"is of no card type the library knows (ATR " + virtualCardAtr() + ")"}},
    };
    // The last row runs while the second reader still holds the card of
    // the row before: with a card in both, the default is the first listed.
    for (const Row& row : rows) {
        SCOPED_TRACE(row.card);
        std::string reader;
        std::string expectedReader;
        if (row.description.empty()) {
            const auto listing = parseListing(runReaders("").output);
            const auto present = [](const ListedReader& r) { return r.cardLine.rfind("   card: present", 0) == 0; };
            ASSERT_GE(std::count_if(listing.begin(), listing.end(), present), 2) << "both readers hold a card";
            expectedReader = std::find_if(listing.begin(), listing.end(), present)->name;
        } else {
            ASSERT_NO_FATAL_FAILURE(describeCard(row.description));
            expectedReader = described.reader();
            reader = "--reader " + std::to_string(listed(expectedReader).index);
        }
        const auto info = runCard("info " + reader);
        EXPECT_EQ(info.status, row.infoStatus) << info.output;
        EXPECT_EQ(info.output.rfind("Reader: " + expectedReader + "\nATR: " +
                                        listed(expectedReader).cardLine.substr(22) + "\n", 0), 0u)
            << info.output;
        if (row.infoStatus == 0) {
            EXPECT_EQ(lineNames(info.output), infoNames) << info.output;
        }
        for (const std::string& line : row.infoLines) {
            EXPECT_TRUE(hasLine(info.output, line)) << line << " in\n" << info.output;
        }

        const auto dump = runCard("dump " + reader);
        EXPECT_EQ(dump.status, row.dumpStatus) << dump.output;
        for (const std::string& line : row.dumpLines) {
            EXPECT_NE(dump.output.find(line), std::string::npos) << line << " in\n" << dump.output;
        }
    }
}

TEST_F(CliCardTest, CertificatesAreWrittenAsTheCardHoldsThem) {
    ASSERT_NO_FATAL_FAILURE(describeCard(setCosPkcs15Card()));
    const std::string index = std::to_string(listed(described.reader()).index);
    // The files the card's certificate files were made from (data=@...).
    const char* folder = std::getenv("KIVO_VCARD_DIR");
    ASSERT_NE(folder, nullptr);
    const std::string cardFolder = folder;
    const std::string onCard[] = {readText(cardFolder + "/rsa2048.crt"), readText(cardFolder + "/ec256.crt")};
    ASSERT_FALSE(onCard[0].empty() || onCard[1].empty()) << cardFolder;
    for (const bool pem : {false, true}) {
        const fs::path out = m_folder / (pem ? "pem" : "der");
        fs::create_directories(out);
        const auto result =
            runCard("certificates --reader " + index + " --out '" + out.string() + "'" + (pem ? " --pem" : ""));
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_NE(result.output.find("Certificate 1\n   Label: Signature certificate\n   Subject: CN=rsa2048\n"
                                     "   Issuer: CN=rsa2048\n   Serial: "),
                  std::string::npos)
            << result.output;
        EXPECT_NE(result.output.find("CA certificate 2\n   Label: Second certificate\n   Subject: CN=ec256\n"),
                  std::string::npos)
            << result.output;
        const std::string names[] = {"1-Signature_certificate", "2-Second_certificate"};
        for (std::size_t i = 0; i < 2; ++i) {
            const fs::path file = out / (names[i] + (pem ? ".pem" : ".der"));
            EXPECT_TRUE(hasLine(result.output, "   Written: " + file.string())) << result.output;
            const std::string written = readText(file);
            EXPECT_EQ(pem ? derOfPem(written) : written, onCard[i]) << file;
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2) << out;
    }
}

// ---- kivocrypto card pin ----------------------------------------------------

#include "tests/support/PseudoTerminal.h"

namespace {

// The signature card of the demo: the PKCS#15 card as a SetCos card, with
// its PIN 123456 and PUK 87654321.
std::string signatureCard() { return readText(std::string(KIVO_SOURCE_DIR) + "/tests/support/cards/signature-card.txt"); }

}  // namespace

// Each row runs on a terminal of its own against the same card, in order:
// the card keeps its PINs and counters from row to row. PINs given come
// from the environment or a file; the others are typed at the library's
// terminal prompt or into pinentry-tty.
TEST_F(CliCardTest, PinVerifyChangeAndUnblock) {
    ASSERT_NO_FATAL_FAILURE(describeCard(signatureCard()));
    const std::string reader = std::to_string(listed(described.reader()).index);
    fs::create_directories(m_folder);
    const std::string pinFile = (m_folder / "pin").string();
    std::ofstream(pinFile) << "999999\n";
    const bool pinentryTty = ::access("/usr/bin/pinentry-tty", X_OK) == 0;
    struct Row {
        std::string name;
        std::string arguments;
        std::vector<std::string> environment;
        std::vector<kivo::test::TerminalStep> typed;
        int status;
        std::string output;  // the last lines, '\r' removed
    };
    const std::string keyboard = "Please enter Signature PIN with the computer keyboard.";
    const std::vector<Row> rows = {
        {"given", "verify --pin-env P --language en", {"P=123456"}, {}, 0, "PIN verified.\n"},
        {"wrong, from a file", "verify --pin-file '" + pinFile + "' --language de", {}, {}, 1,
         "PIN nicht korrekt.\nVerbleibende Versuche: 2\n"},
        {"typed at the terminal", "verify --language en", {}, {{keyboard, "123456\r"}}, 0, "PIN verified.\n"},
        {"cancelled at the terminal", "verify --language en", {}, {{keyboard, "\x1b"}, {"[Enter] ", "\r"}}, 4,
         "The PIN entry via the keyboard of the computer was canceled.\n"},
        {"typed into pinentry", "verify --language sv", {"KIVO_PINENTRY=pinentry-tty"},
         {{"Ange Signatur-PIN med datorns tangentbord.", ""}, {"PIN:", "123456\n"}}, 0, "PIN-koden verifierad.\n"},
        {"change typed, prompts in order", "change --language en", {},
         {{"Please enter the old Signature PIN with the computer keyboard.", "123456\r"},
          {"Please enter the new Signature PIN.", "24681357\r"},
          {"Please repeat the new Signature PIN.", "24681357\r"}},
         0, "PIN change was successful.\n"},
        {"change with a wrong PIN", "change --pin-env P --new-pin-env N --language en", {"P=123456", "N=1111"}, {},
         1, "old PIN is wrong.\nRemaining tries: 2\n"},
        {"wrong again", "verify --pin-env P --language en", {"P=123456"}, {}, 1,
         "PIN is wrong.\nRemaining tries: 1\n"},
        {"blocked", "verify --pin-env P --language en", {"P=123456"}, {}, 1, "PIN is blocked.\nRemaining tries: 0\n"},
        {"blocked stays blocked", "verify --pin-env P --language en", {"P=24681357"}, {}, 1, "PIN is blocked.\n"},
        {"unblock typed, prompts in order", "unblock --language de", {},
         {{"Bitte die PUK für die Signatur PIN eingeben.", "87654321\r"},
          {"Bitte die neue Signatur PIN eingeben.", "123456\r"},
          {"Bitte die neue Signatur PIN wiederholen.", "123456\r"}},
         0, "PIN wurde erfolgreich entsperrt.\n"},
        {"unblocked PIN", "verify --pin-env P --language en", {"P=123456"}, {}, 0, "PIN verified.\n"},
        {"unblock given", "unblock --puk-env K --new-pin-env N --language en", {"K=87654321", "N=654321"}, {}, 0,
         "PIN was successfully unblocked.\n"},
        {"new PIN", "verify --pin-env P --language en", {"P=654321"}, {}, 0, "PIN verified.\n"},
        {"no key for --cert", "verify --cert 9 --pin-env P", {"P=654321"}, {}, 3,
         "has no key for certificate '9' (see kivocrypto card certificates)\n"},
    };
    const std::vector<std::string> plainTerminal = {"DISPLAY", "WAYLAND_DISPLAY", "KIVO_PINENTRY",
                                                    "KIVO_SC_USER_CONFIG=/nonexistent",
                                                    "KIVO_SC_MACHINE_CONFIG=/nonexistent"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.name == "typed into pinentry" && !pinentryTty) continue;
        std::vector<std::string> environment = plainTerminal;
        environment.insert(environment.end(), row.environment.begin(), row.environment.end());
        std::vector<std::string> argv = {KIVO_CLI_FILE, "card", "pin", "--reader", reader};
        std::istringstream words(row.arguments);
        for (std::string word; words >> std::quoted(word, '\'');) argv.push_back(word);
        kivo::test::TerminalRun run = kivo::test::runProgramOnTerminal(argv, environment, row.typed);
        run.screen.erase(std::remove(run.screen.begin(), run.screen.end(), '\r'), run.screen.end());
        EXPECT_TRUE(run.stepsDone) << run.screen;
        EXPECT_EQ(run.exitStatus, row.status) << run.screen;
        EXPECT_GE(run.screen.size(), row.output.size());
        EXPECT_EQ(run.screen.substr(run.screen.size() - std::min(run.screen.size(), row.output.size())), row.output)
            << run.screen;
        for (const char* typed : {"123456", "24681357", "87654321"}) {
            EXPECT_EQ(run.screen.find(typed), std::string::npos) << "echoed: " << run.screen;
        }
    }
}

// The card key's signatures and deciphering as OpenSSL checks them, the
// demo on the card, and the refusals. The card's certificate comes from
// `card certificates`.
TEST_F(CliCardTest, CardKeySignsAndDeciphers) {
    ASSERT_NO_FATAL_FAILURE(describeCard(signatureCard()));
    const std::string reader = "--reader " + std::to_string(listed(described.reader()).index);
    const fs::path folder = m_folder / "card-key";
    fs::create_directories(folder);
    const auto file = [&](const char* name) { return "'" + (folder / name).string() + "'"; };
    ASSERT_EQ(runCard("certificates " + reader + " --pem --out " + file("")).status, 0);
    std::ofstream((folder / "doc.txt").string()) << "a document for the card\n";
    const std::string pin = "P=123456 ";
    struct Row {
        std::string command;       // kivocrypto arguments, the PIN in P
        int status;
        std::string opensslCheck;  // a shell command that must succeed afterwards
    };
    const std::string cert = file("1-Signature_certificate.pem");
    const std::string key = "<(openssl x509 -in " + cert + " -pubkey -noout)";
    const Row rows[] = {
        {"card sign " + reader + " --pin-env P " + file("doc.txt") + " " + file("doc.sig"), 0,
         "openssl dgst -sha256 -verify " + key + " -signature " + file("doc.sig") + " " + file("doc.txt")},
        {"card sign " + reader + " --pin-env P --raw --hash sha384 " + file("doc.h") + " " + file("raw.sig"), 0,
         "openssl pkeyutl -verify -pubin -inkey " + key + " -pkeyopt digest:sha384 -in " + file("doc.h") +
             " -sigfile " + file("raw.sig")},
        {"card decrypt " + reader + " --pin-env P " + file("doc.enc") + " " + file("doc.dec"), 0,
         "cmp " + file("doc.dec") + " " + file("doc.txt")},
        {"sign --card " + reader + " --pin-env P --attached --hash sha512 " + file("doc.txt") + " " + file("doc.p7m"),
         0, "openssl cms -verify -inform DER -in " + file("doc.p7m") + " -CAfile " + cert + " -out /dev/null"},
        {"demo --card " + reader + " --pin-env P --language en", 0, ""},
        {"card sign " + reader + " --pin-env P --cert 7 " + file("doc.txt") + " " + file("no.sig"), 3, ""},
        {"card sign " + reader + " --pin-env P --hash md5 " + file("doc.txt") + " " + file("no.sig"), 2, ""},
        {"card decrypt " + reader + " --pin-env W " + file("doc.enc") + " " + file("no.dec"), 1, ""},
    };
    ASSERT_EQ(runCommand("bash -c \"openssl dgst -sha384 -binary " + file("doc.txt") + " > " + file("doc.h") +
                         " && openssl pkeyutl -encrypt -pubin -inkey " + key + " -in " + file("doc.txt") +
                         " -out " + file("doc.enc") + "\"")
                  .status,
              0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        const auto result = runCommand(pin + "W=999999 timeout 60 " + cli(row.command + " 2>&1"));
        EXPECT_EQ(result.status, row.status) << result.output;
        if (!row.opensslCheck.empty()) {
            const auto check = runCommand("bash -c \"" + row.opensslCheck + "\" 2>&1");
            EXPECT_EQ(check.status, 0) << check.output;
        }
        if (row.command.rfind("demo", 0) == 0) {
            EXPECT_NE(result.output.find("OpenSSL check of the signature: valid, chain to ca.pem"), std::string::npos)
                << result.output;
            EXPECT_NE(result.output.find("OpenSSL check of the time stamp: valid"), std::string::npos)
                << result.output;
        }
        EXPECT_EQ(result.output.find("123456"), std::string::npos) << result.output;
    }
    EXPECT_FALSE(fs::exists(folder / "no.sig"));
    EXPECT_FALSE(fs::exists(folder / "no.dec"));
}
