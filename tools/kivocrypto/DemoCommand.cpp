// kivocrypto demo: a throwaway PKI and time-stamp service, a document signed
// and time-stamped through the library, shown as `inspect` shows it and
// checked with OpenSSL. Needs nothing but the program; with --card the key
// is the one on a signature card in a reader (scripts/demo.sh --card starts
// a virtual one).

#include "tools/kivocrypto/ArgumentCursor.h"
#include "tools/kivocrypto/CardKey.h"
#include "tools/kivocrypto/Commands.h"
#include "tools/kivocrypto/LibraryCodes.h"
#include "tools/kivocrypto/SignatureCheck.h"
#include "tools/kivocrypto/SigningKey.h"

#include "SignMessageSSLM.h"

#include "tools/testpki/Pki.h"
#include "tools/testpki/TsaServer.h"

#include <openssl/pem.h>

#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivocrypto {
namespace {

namespace fs = std::filesystem;
using kivo::test::EvpKeyPtr;
using kivo::test::X509Ptr;

constexpr int kSha256 = 1;
constexpr char kPassword[] = "demo";
constexpr char kDocument[] =
    "KivoCryptoSSL demonstration document.\n"
    "This text is signed with a throwaway key and carries an RFC 3161 time stamp.\n";

struct DemoOptions {
    bool keep = false;
    bool ec = false;
    bool card = false;
    CardKeyOptions cardKey;
};

void printDemoUsage(std::ostream& out) {
    out << "usage: kivocrypto demo [--key rsa|ec] [--keep]\n"
           "       kivocrypto demo --card [--reader N] [--cert ID] [--pin-env VAR | --pin-file F]\n"
           "                       [--language L] [--keep]\n"
           "\n"
           "Makes a throwaway CA and signer (RSA 2048 or EC P-256) in a temporary\n"
           "folder, starts a time-stamp service on 127.0.0.1, signs a small\n"
           "document detached with a time stamp through the library, prints the\n"
           "container as 'kivocrypto inspect' does and checks signature and time\n"
           "stamp with OpenSSL. The folder is removed at the end unless --keep.\n"
           "\n"
           "With --card the document is signed with the key and certificate on the\n"
           "signature card instead (scripts/demo.sh --card starts a virtual card\n"
           "with a throwaway key); the checks trust the card certificate.\n"
           "\n"
           "  --key rsa|ec  the signer's key (default rsa)\n"
           "  --keep        keep the folder and print where it is\n"
           "  --card        sign with the key on a signature card:\n"
        << kCardKeyOptionsUsage;
}

std::optional<int> parseDemoArguments(const Arguments& arguments, DemoOptions& options) {
    ArgumentCursor cursor(arguments, "demo");
    while (cursor.next()) {
        const std::string& argument = cursor.current();
        std::string kind;
        if (argument == "--help" || argument == "-h") {
            printDemoUsage(std::cout);
            return kExitOk;
        } else if (argument == "--keep") {
            options.keep = true;
        } else if (argument == "--card") {
            options.card = true;
        } else if (const std::optional<bool> taken = takeCardKeyOption(cursor, "demo", options.cardKey)) {
            if (!*taken) return kExitUsage;
        } else if (argument == "--key") {
            if (!cursor.takeValue(kind)) return kExitUsage;
            if (kind != "rsa" && kind != "ec") {
                printError("demo: --key takes rsa or ec, not '" + kind + "'");
                return kExitUsage;
            }
            options.ec = kind == "ec";
        } else if (cursor.isOption()) {
            cursor.reportUnknown();
            return kExitUsage;
        } else {
            printError("demo: takes no file (see kivocrypto demo --help)");
            return kExitUsage;
        }
    }
    return std::nullopt;
}

// A fresh temporary folder, removed with everything in it at the end unless
// it is to be kept.
class DemoFolder {
public:
    explicit DemoFolder(bool keep) : m_keep(keep) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                              "/kivocrypto-demo-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary folder from " + pattern);
        }
        m_path = pattern;
    }
    ~DemoFolder() {
        std::error_code ignored;
        if (!m_keep) fs::remove_all(m_path, ignored);
    }
    DemoFolder(const DemoFolder&) = delete;
    DemoFolder& operator=(const DemoFolder&) = delete;

    std::string file(const char* name) const { return (m_path / name).string(); }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
    bool m_keep;
};

// Keys made here rather than taken from the test PKI's per-kind cache, so
// that CA and signer never share a key.
EvpKeyPtr freshKey(bool ec) {
    EVP_PKEY* key = ec ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")
                       : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", std::size_t{2048});
    if (key == nullptr) throw std::runtime_error("OpenSSL cannot generate a key");
    return EvpKeyPtr(key);
}

struct DemoPki {
    EvpKeyPtr caKey;
    X509Ptr ca;
    EvpKeyPtr signerKey;
    X509Ptr signer;
};

DemoPki makePki(bool ec) {
    DemoPki pki;
    pki.caKey = freshKey(true);
    kivo::test::CertOptions ca;
    ca.subject = "/C=DE/O=Kivo Demo/CN=Kivo Demo CA";
    ca.subjectKey = pki.caKey.get();
    ca.isCa = true;
    pki.ca = kivo::test::makeCertificate(ca);

    pki.signerKey = freshKey(ec);
    kivo::test::CertOptions signer;
    signer.subject = "/C=DE/O=Kivo Demo/CN=Demo Signer";
    signer.subjectKey = pki.signerKey.get();
    signer.issuerCert = pki.ca.get();
    signer.issuerKey = pki.caKey.get();
    signer.serial = 2;
    signer.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
    pki.signer = kivo::test::makeCertificate(signer);
    return pki;
}

void writePem(const std::string& path, X509* certificate) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    const bool written = file != nullptr && PEM_write_X509(file, certificate) == 1;
    if (file == nullptr || std::fclose(file) != 0 || !written) {
        throw std::runtime_error("cannot write " + path);
    }
}

void writeBytes(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary);
    file << content;
    if (!file.flush()) throw std::runtime_error("cannot write " + path);
}

std::vector<unsigned char> readBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>());
}

// Signs `document` into `container` the way an application would: the
// opened key, the time-stamp URL set, SignDetached; the CA certificate
// (when there is one) after the signer's.
bool signDocument(const DemoFolder& folder, SigningKey& signer, X509* ca, const std::string& tsaUrl) {
    std::vector<unsigned char> caDer = ca != nullptr ? kivo::test::derOf(ca) : std::vector<unsigned char>();
    _ASN1_CERT_BLOB chain{caDer.data(), static_cast<unsigned long>(caDer.size())};
    std::string document = folder.file("document.txt");
    std::string container = folder.file("document.txt.p7s");
    CSignMessage::setCAdES_Level(0);
    CSignMessage::setTSUrl(tsaUrl);
    // The imprint over the signature value as stored, which every RFC 3161
    // verifier checks.
    CSignMessage::setStandardTSImprint(true);
    const int result = CSignMessage::SignDetached(document.data(), container.data(),
                                                  signer.certificate.get(), signer.key.get(),
                                                  kSha256, ca != nullptr ? &chain : nullptr, ca != nullptr ? 1 : 0);
    CSignMessage::setTSUrl("");
    if (result != 0) printError("demo: signing failed: " + describeResult(result));
    return result == 0;
}

void printFile(const DemoFolder& folder, const char* name, const std::string& what) {
    std::error_code error;
    const auto size = fs::file_size(folder.path() / name, error);
    std::printf("  %-18s %6llu octets  %s\n", name, static_cast<unsigned long long>(error ? 0 : size),
                what.c_str());
}

void printMade(const DemoFolder& folder, const DemoOptions& options, const std::string& tsaUrl) {
    std::printf("Made in %s:\n", folder.path().c_str());
    printFile(folder, "ca.pem", "the demo CA (EC P-256), the only trust anchor");
    printFile(folder, "signer.p12", std::string("key and certificate of Demo Signer (") +
                                        (options.ec ? "EC P-256" : "RSA 2048") + "), password \"" +
                                        kPassword + "\"");
    printFile(folder, "tsa-ca.pem", "the CA of the time-stamp service");
    printFile(folder, "document.txt", "the document");
    printFile(folder, "document.txt.p7s", "detached CMS signature, sha256, with time stamp");
    std::printf("Time-stamp service: %s\n", tsaUrl.c_str());
}

// OpenSSL's verdict on the signature and on the time stamp.
bool printChecks(const DemoFolder& folder, X509* anchor, X509* tsaCa) {
    const std::vector<unsigned char> der = readBytes(folder.file("document.txt.p7s"));
    const std::vector<unsigned char> content = readBytes(folder.file("document.txt"));
    const std::string signature = checkDetachedSignature(der, content, anchor);
    std::printf("OpenSSL check of the signature: %s\n",
                signature.empty() ? "valid, chain to ca.pem" : ("INVALID: " + signature).c_str());
    const TimeStampCheck stamp = checkTimeStamp(der, tsaCa);
    const std::string stampVerdict =
        stamp.error.empty() ? "valid, time " + stamp.time + ", imprint matches " + stamp.imprintCovers
                            : "INVALID: " + stamp.error;
    std::printf("OpenSSL check of the time stamp: %s\n", stampVerdict.c_str());
    return signature.empty() && stamp.error.empty();
}

// The library's own verdict, as `kivocrypto verify` gives it: signature,
// chain to the demo CA and the signer's validity now.
bool verifyWithLibrary(const DemoFolder& folder) {
    char now[32];
    const std::time_t seconds = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::strftime(now, sizeof now, "%Y-%m-%dT%H:%M:%SZ", &utc);
    const Arguments arguments = {folder.file("document.txt.p7s"), "--data", folder.file("document.txt"),
                                 "--ca-file", folder.file("ca.pem"), "--at", now};
    std::printf("\n$ kivocrypto verify");
    for (const std::string& argument : arguments) std::printf(" %s", argument.c_str());
    std::printf("\n");
    std::fflush(stdout);
    return runVerify(arguments) == kExitOk;
}

// Shows the container, OpenSSL's checks against the anchor and the
// library's verdict.
int showAndCheck(const DemoFolder& folder, X509* anchor, kivo::test::TsaServer& tsa) {
    const std::string container = folder.file("document.txt.p7s");
    std::printf("\n$ kivocrypto inspect %s\n", container.c_str());
    std::fflush(stdout);
    if (runInspect({container}) != kExitOk) return kExitFailure;
    std::printf("\n");
    const bool valid = printChecks(folder, anchor, tsa.caCertificate());
    std::fflush(stdout);
    if (!valid) printError("demo: OpenSSL does not confirm the signature and its time stamp");
    const bool verified = verifyWithLibrary(folder);
    return valid && verified ? kExitOk : kExitFailure;
}

int runFileDemo(const DemoFolder& folder, const DemoOptions& options) {
    const DemoPki pki = makePki(options.ec);
    writePem(folder.file("ca.pem"), pki.ca.get());
    kivo::test::writePkcs12(folder.file("signer.p12"), pki.signerKey.get(), pki.signer.get(),
                            kPassword, {pki.ca.get()});
    writeBytes(folder.file("document.txt"), kDocument);
    kivo::test::TsaServer tsa;
    writePem(folder.file("tsa-ca.pem"), tsa.caCertificate());
    SigningKey signer;
    std::string error;
    if (!openSigningKey(folder.file("signer.p12"), kPassword, signer, error)) {
        printError("demo: " + error);
        return kExitFailure;
    }
    if (!signDocument(folder, signer, pki.ca.get(), tsa.url())) return kExitFailure;
    printMade(folder, options, tsa.url());
    return showAndCheck(folder, pki.ca.get(), tsa);
}

int runCardDemo(const DemoFolder& folder, DemoOptions& options) {
    SigningKey signer;
    if (auto exit = chooseCardReader(options.cardKey, "demo")) return *exit;
    if (auto exit = readCardCertificate(options.cardKey, "demo", signer.certificate)) return *exit;
    if (auto exit = openCardKey(options.cardKey, "demo", signer.key)) return *exit;
    writePem(folder.file("ca.pem"), signer.certificate.get());
    writeBytes(folder.file("document.txt"), kDocument);
    kivo::test::TsaServer tsa;
    writePem(folder.file("tsa-ca.pem"), tsa.caCertificate());
    if (!signDocument(folder, signer, nullptr, tsa.url())) return kExitFailure;
    std::printf("Signed with the key on the card in reader %d, made in %s:\n", options.cardKey.reader,
                folder.path().c_str());
    printFile(folder, "ca.pem", "the card certificate, the trust anchor of the checks");
    printFile(folder, "tsa-ca.pem", "the CA of the time-stamp service");
    printFile(folder, "document.txt", "the document");
    printFile(folder, "document.txt.p7s", "detached CMS signature, sha256, with time stamp");
    std::printf("Time-stamp service: %s\n", tsa.url().c_str());
    return showAndCheck(folder, signer.certificate.get(), tsa);
}

}  // namespace

int runDemo(const Arguments& arguments) {
    DemoOptions options;
    if (const std::optional<int> exit = parseDemoArguments(arguments, options)) return *exit;
    // A reader that stops early (| head) must not end the program before
    // the folder is removed; writes to the closed pipe just fail.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        DemoFolder folder(options.keep);
        const int result = options.card ? runCardDemo(folder, options) : runFileDemo(folder, options);
        if (options.keep) {
            std::printf("\nKept %s; check it again with:\n"
                        "  openssl cms -verify -binary -inform DER -in %s -content %s -CAfile %s "
                        "-out /dev/null\n",
                        folder.path().c_str(), folder.file("document.txt.p7s").c_str(),
                        folder.file("document.txt").c_str(), folder.file("ca.pem").c_str());
        }
        std::fflush(stdout);
        return result;
    } catch (const std::exception& error) {
        printError(std::string("demo: ") + error.what());
        return kExitFailure;
    }
}

}  // namespace kivocrypto
