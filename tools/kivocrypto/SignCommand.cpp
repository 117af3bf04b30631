// kivocrypto sign: a CMS signature of a file with a PKCS#12 key or the key
// on a signature card, detached or with the content attached, optionally
// time-stamped.

#include "tools/kivocrypto/ArgumentCursor.h"
#include "tools/kivocrypto/CardKey.h"
#include "tools/kivocrypto/Commands.h"
#include "tools/kivocrypto/DerInput.h"
#include "tools/kivocrypto/LibraryCodes.h"
#include "tools/kivocrypto/Password.h"
#include "tools/kivocrypto/Progress.h"
#include "tools/kivocrypto/SigningKey.h"

#include "SignMessageSSLM.h"
#include "src/signing/SigningResults.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace kivocrypto {
namespace {

constexpr int kSha256 = 1;

struct SignRequest {
    std::string p12;
    bool card = false;
    CardKeyOptions cardKey;
    PasswordSource password;
    bool attached = false;
    int hash = kSha256;
    int cadesLevel = 0;
    std::string tsaUrl;
    bool rawImprint = false;
    std::vector<std::string> extraCertFiles;
    std::vector<std::string> files;  // input, output
};

void printSignUsage(std::ostream& out) {
    out << "usage: kivocrypto sign --p12 FILE [--password-file F | --password-env VAR]\n"
           "                       [--attached] [--hash NAME] [--cades-level N]\n"
           "                       [--tsa URL [--raw-imprint]] [--extra-cert F]... IN OUT\n"
           "       kivocrypto sign --card [--reader N] [--cert ID] [--pin-env VAR | --pin-file F]\n"
           "                       [--language L] [the options above but --p12] IN OUT\n"
           "\n"
           "Signs the file IN with the key and certificate of a PKCS#12 file, or\n"
           "with a key on a signature card (and the card's certificate), and\n"
           "writes the DER CMS signature container to OUT.\n"
           "\n"
           "  --p12 FILE          the PKCS#12 file with the signer's key and certificate\n"
           "  --password-file F   its password is the first line of F\n"
           "  --password-env VAR  its password is the value of the environment variable VAR\n"
           "                      (without either, the password is asked on the terminal)\n"
           "  --attached          put the content into the container (default: detached)\n"
           "  --hash NAME         sha1|sha256|sha384|sha512|ripemd160|md5 (default sha256)\n"
           "  --cades-level N     1 leaves out the signing time, 5 leaves out the message\n"
           "                      digest and signing certificate attributes (default 0: all)\n"
           "  --tsa URL           add an RFC 3161 time stamp from this service; its imprint\n"
           "                      covers the signature value as stored, as RFC 3161 and\n"
           "                      CAdES verifiers expect\n"
           "  --raw-imprint       the library's default imprint instead: an ECDSA\n"
           "                      signature value in its r||s form (other verifiers\n"
           "                      reject the time stamp of an ECDSA signature then)\n"
           "  --extra-cert F      add a certificate (PEM or DER) after the signer's; repeatable\n"
           "  --card              sign with the key on a signature card:\n"
        << kCardKeyOptionsUsage;
}

std::optional<int> parseInt(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || text.empty()) return std::nullopt;
    return value;
}

bool setHash(const std::string& name, SignRequest& request) {
    const std::optional<int> code = signingHashCode(name);
    if (!code) {
        printError("sign: unknown hash '" + name + "' (" + signingHashNames() + ")");
        return false;
    }
    request.hash = *code;
    return true;
}

bool setCadesLevel(const std::string& text, SignRequest& request) {
    const std::optional<int> level = parseInt(text);
    if (!level) {
        printError("sign: --cades-level needs a whole number, not '" + text + "'");
        return false;
    }
    request.cadesLevel = *level;
    return true;
}

// Handles an option that takes a value; false after a usage error.
bool takeOption(ArgumentCursor& cursor, SignRequest& request) {
    const std::string option = cursor.current();
    std::string value;
    if (!cursor.takeValue(value)) return false;
    if (option == "--hash") return setHash(value, request);
    if (option == "--cades-level") return setCadesLevel(value, request);
    if (option == "--p12") {
        request.p12 = value;
    } else if (option == "--password-file") {
        request.password.file = value;
    } else if (option == "--password-env") {
        request.password.environment = value;
    } else if (option == "--tsa") {
        request.tsaUrl = value;
    } else {
        request.extraCertFiles.push_back(value);  // --extra-cert
    }
    return true;
}

bool takesValue(const std::string& option) {
    for (const char* name : {"--p12", "--password-file", "--password-env", "--tsa", "--extra-cert",
                             "--hash", "--cades-level"}) {
        if (option == name) return true;
    }
    return false;
}

bool checkRequest(const SignRequest& request) {
    if (request.p12.empty() == !request.card) {
        printError(request.card ? "sign: give either --p12 or --card, not both"
                                : "sign: --p12 FILE or --card is required (see kivocrypto sign --help)");
    } else if (!request.password.file.empty() && !request.password.environment.empty()) {
        printError("sign: give either --password-file or --password-env, not both");
    } else if (request.files.size() != 2) {
        printError("sign: expects IN and OUT (see kivocrypto sign --help)");
    } else {
        return true;
    }
    return false;
}

// The exit code when parsing ends the command (help or usage error), else
// nothing.
std::optional<int> parseSignArguments(const Arguments& arguments, SignRequest& request) {
    ArgumentCursor cursor(arguments, "sign");
    while (cursor.next()) {
        const std::string& argument = cursor.current();
        if (!cursor.isOption()) {
            request.files.push_back(argument);
        } else if (argument == "--help" || argument == "-h") {
            printSignUsage(std::cout);
            return kExitOk;
        } else if (argument == "--attached") {
            request.attached = true;
        } else if (argument == "--card") {
            request.card = true;
        } else if (const std::optional<bool> taken = takeCardKeyOption(cursor, "sign", request.cardKey)) {
            if (!*taken) return kExitUsage;
        } else if (argument == "--raw-imprint") {
            request.rawImprint = true;
        } else if (takesValue(argument)) {
            if (!takeOption(cursor, request)) return kExitUsage;
        } else {
            cursor.reportUnknown();
            return kExitUsage;
        }
    }
    if (!checkRequest(request)) return kExitUsage;
    return std::nullopt;
}

// The extra certificates, checked to be X.509 certificates, as DER.
bool readExtraCertificates(const std::vector<std::string>& files,
                           std::vector<std::vector<unsigned char>>& certificates) {
    for (const std::string& file : files) {
        DerInput input = readDerOrPem(file);
        const unsigned char* cursor = input.der.data();
        X509* parsed = input.error.empty()
                           ? d2i_X509(nullptr, &cursor, static_cast<long>(input.der.size()))
                           : nullptr;
        X509_free(parsed);
        if (parsed == nullptr) {
            printError("sign: " + file + ": " +
                       (input.error.empty() ? std::string("not an X.509 certificate") : input.error));
            return false;
        }
        certificates.push_back(std::move(input.der));
    }
    return true;
}

// Two different names for one existing file: the library compares names
// only, and signing a file into itself would destroy the document.
bool sameFile(const std::string& input, const std::string& output) {
    std::error_code error;
    return input != output && std::filesystem::equivalent(input, output, error);
}

std::uint64_t fileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

int signFile(const SignRequest& request, SigningKey& signer,
             std::vector<std::vector<unsigned char>>& extraCertificates) {
    std::vector<_ASN1_CERT_BLOB> blobs;
    for (auto& der : extraCertificates) blobs.push_back({der.data(), static_cast<unsigned long>(der.size())});
    std::string input = request.files[0];
    std::string output = request.files[1];
    CSignMessage::setCAdES_Level(request.cadesLevel);
    CSignMessage::setTSUrl(request.tsaUrl);
    CSignMessage::setStandardTSImprint(!request.rawImprint);
    Progress progress("signing " + input, fileSize(input));
    const int result = CSignMessage::SignDetachedEnveloped(
        input.data(), output.data(), signer.certificate.get(), signer.key.get(), request.hash,
        blobs.empty() ? nullptr : blobs.data(), static_cast<int>(blobs.size()), request.attached);
    progress.finish(result == 0);
    return result;
}

void printSigned(const SignRequest& request) {
    std::error_code error;
    const auto size = std::filesystem::file_size(request.files[1], error);
    std::printf("%s: signed into %s (%llu octets, %s%s)\n", request.files[0].c_str(),
                request.files[1].c_str(), static_cast<unsigned long long>(error ? 0 : size),
                request.attached ? "content attached" : "detached",
                request.tsaUrl.empty() ? "" : ", time-stamped");
    std::fflush(stdout);
}

// The key and certificate of the PKCS#12 file or of the card; an exit code
// when they cannot be opened.
std::optional<int> openSigner(SignRequest& request, SigningKey& signer) {
    if (request.card) {
        if (auto exit = chooseCardReader(request.cardKey, "sign")) return exit;
        if (auto exit = readCardCertificate(request.cardKey, "sign", signer.certificate)) return exit;
        return openCardKey(request.cardKey, "sign", signer.key);
    }
    request.password.prompt = "Password for " + request.p12 + ": ";
    Secret password;
    std::string error;
    if (!obtainPassword(request.password, password, error) ||
        !openSigningKey(request.p12, password.text(), signer, error)) {
        printError("sign: " + error);
        return kExitFailure;
    }
    return std::nullopt;
}

}  // namespace

int runSign(const Arguments& arguments) {
    SignRequest request;
    if (const std::optional<int> exit = parseSignArguments(arguments, request)) return *exit;
    std::vector<std::vector<unsigned char>> extraCertificates;
    if (!readExtraCertificates(request.extraCertFiles, extraCertificates)) return kExitFailure;
    if (sameFile(request.files[0], request.files[1])) {
        printError("sign: " + describeResult(kivo::signing::kSameFile));
        return kExitFailure;
    }
    SigningKey signer;
    if (const std::optional<int> exit = openSigner(request, signer)) return *exit;
    const int result = signFile(request, signer, extraCertificates);
    if (result != 0) {
        printError("sign: " + describeResult(result));
        return kExitFailure;
    }
    printSigned(request);
    return kExitOk;
}

}  // namespace kivocrypto
