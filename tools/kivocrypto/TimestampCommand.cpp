// kivocrypto timestamp: adds an RFC 3161 time stamp to the first signer of
// an existing signature container.

#include "tools/kivocrypto/ArgumentCursor.h"
#include "tools/kivocrypto/Commands.h"
#include "tools/kivocrypto/DerInput.h"
#include "tools/kivocrypto/LibraryCodes.h"
#include "tools/kivocrypto/OutputFile.h"

#include "SignMessageSSLM.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace kivocrypto {
namespace {

constexpr int kSha256 = 1;
// Room for the token and the attribute around it.
constexpr unsigned long kTimeStampRoom = 20000;

struct TimestampRequest {
    std::string tsaUrl;
    int hash = kSha256;
    bool rawImprint = false;
    std::vector<std::string> files;  // input, optional output
};

void printTimestampUsage(std::ostream& out) {
    out << "usage: kivocrypto timestamp --tsa URL [--hash NAME] [--raw-imprint] IN.p7s [OUT]\n"
           "\n"
           "Asks the RFC 3161 time-stamp service at URL for a time stamp over the\n"
           "signature value of the first signer of the container IN.p7s (PEM or\n"
           "DER) and adds it as unsigned attribute. The result goes to OUT, or\n"
           "replaces IN; it is written in the form IN had, and appears complete or\n"
           "not at all.\n"
           "\n"
           "  --tsa URL    the time-stamp service (http://host:port/path)\n"
           "  --hash NAME  digest of the signature value: sha1|sha256|sha384|sha512\n"
           "               (default sha256)\n"
           "  --raw-imprint  digest an ECDSA signature value in its r||s form, the\n"
           "               library's default, instead of the value as stored, which\n"
           "               RFC 3161 and CAdES verifiers expect\n"
           "\n"
           "Attached and detached containers of any size are accepted, with or without\n"
           "certificates, CRLs or earlier unsigned attributes, as long as they hold\n"
           "one signer.\n";
}

bool takeHash(ArgumentCursor& cursor, TimestampRequest& request) {
    std::string name;
    if (!cursor.takeValue(name)) return false;
    const std::optional<int> code = timeStampHashCode(name);
    if (!code) {
        printError("timestamp: unknown hash '" + name + "' (" + timeStampHashNames() + ")");
        return false;
    }
    request.hash = *code;
    return true;
}

std::optional<int> parseTimestampArguments(const Arguments& arguments, TimestampRequest& request) {
    ArgumentCursor cursor(arguments, "timestamp");
    while (cursor.next()) {
        const std::string& argument = cursor.current();
        if (!cursor.isOption()) {
            request.files.push_back(argument);
        } else if (argument == "--help" || argument == "-h") {
            printTimestampUsage(std::cout);
            return kExitOk;
        } else if (argument == "--tsa") {
            if (!cursor.takeValue(request.tsaUrl)) return kExitUsage;
        } else if (argument == "--hash") {
            if (!takeHash(cursor, request)) return kExitUsage;
        } else if (argument == "--raw-imprint") {
            request.rawImprint = true;
        } else {
            cursor.reportUnknown();
            return kExitUsage;
        }
    }
    if (request.tsaUrl.empty()) {
        printError("timestamp: --tsa URL is required (see kivocrypto timestamp --help)");
        return kExitUsage;
    }
    if (request.files.empty() || request.files.size() > 2) {
        printError("timestamp: expects IN.p7s and at most one OUT (see kivocrypto timestamp --help)");
        return kExitUsage;
    }
    return std::nullopt;
}

// `der` as PEM with `label`, for output in the form the input had.
std::vector<unsigned char> asPem(const unsigned char* der, unsigned long length,
                                 const std::string& label) {
    std::vector<unsigned char> pem;
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio != nullptr && PEM_write_bio(bio, label.c_str(), "", der, static_cast<long>(length)) > 0) {
        char* text = nullptr;
        const long size = BIO_get_mem_data(bio, &text);
        pem.assign(text, text + size);
    }
    BIO_free(bio);
    return pem;
}

bool writeResult(const std::string& path, const std::vector<unsigned char>& container,
                 unsigned long length, const std::string& pemLabel) {
    std::vector<unsigned char> pem;
    if (!pemLabel.empty()) {
        pem = asPem(container.data(), length, pemLabel);
        if (pem.empty()) {
            printError("timestamp: cannot encode the result as PEM");
            return false;
        }
    }
    std::string error;
    const bool written = pem.empty() ? replaceFile(path, container.data(), length, error)
                                     : replaceFile(path, pem.data(), pem.size(), error);
    if (!written) printError("timestamp: " + error);
    return written;
}

}  // namespace

int runTimestamp(const Arguments& arguments) {
    TimestampRequest request;
    if (const std::optional<int> exit = parseTimestampArguments(arguments, request)) return *exit;
    const std::string& input = request.files[0];
    DerInput read = readDerOrPem(input);
    if (!read.error.empty()) {
        printError("timestamp: " + input + ": " + read.error);
        return kExitFailure;
    }
    const unsigned long length = static_cast<unsigned long>(read.der.size());
    std::vector<unsigned char> container(read.der);
    container.resize(length + kTimeStampRoom);
    unsigned long capacity = static_cast<unsigned long>(container.size());
    CSignMessage::setTSUrl(request.tsaUrl);
    CSignMessage::setStandardTSImprint(!request.rawImprint);
    const int result = CSignMessage::addTimestamp(container.data(), length, &capacity, request.hash, 0);
    if (result != 0) {
        printError("timestamp: " + describeResult(result));
        return kExitFailure;
    }
    if (capacity <= length || capacity > container.size()) {
        printError("timestamp: the library reported an impossible container length");
        return kExitFailure;
    }
    const std::string& output = request.files.size() == 2 ? request.files[1] : input;
    return writeResult(output, container, capacity, read.pemLabel) ? kExitOk : kExitFailure;
}

}  // namespace kivocrypto
