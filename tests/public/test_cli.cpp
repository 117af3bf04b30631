// The kivocrypto program as a person meets it: version, help and hash.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

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

#include "testpki/Pki.h"

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
