// kivocrypto verify: the checks of CVerifyMsg on a signature container, each
// with its verdict in words, and the combined result code.

#include "tools/kivocrypto/Commands.h"
#include "tools/kivocrypto/DerInput.h"
#include "tools/kivocrypto/MappedFile.h"

#include "VerifyMsg.h"

#include <openssl/x509_vfy.h>

#include <sys/stat.h>
#include <sys/timeb.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace kivocrypto {
namespace {

void printVerifyUsage(std::ostream& out) {
    out << "usage: kivocrypto verify SIG [--data FILE] [--ca-file F] [--ca-path D]\n"
           "                        [--crl-dir D | --openssl-crl | --ocsp [URL]]\n"
           "                        [--at TIME] [--chain-model] [--lenient]\n"
           "\n"
           "Verifies the CMS/PKCS#7 signature container SIG (PEM or DER) and prints\n"
           "each check with its verdict, then the combined result code in hex.\n"
           "\n"
           "  --data FILE    the signed content, for a detached signature; without\n"
           "                 it the content inside SIG is verified\n"
           "  --ca-file F    PEM file of trusted certificates (and CRLs)\n"
           "  --ca-path D    hashed directory of trusted certificates (c_rehash)\n"
           "                 Either option adds the chain check: the signer's chain\n"
           "                 must end at a trusted certificate (the certificates in\n"
           "                 SIG are not used, so intermediates belong here too) and\n"
           "                 every certificate must be valid at the reference time.\n"
           "                 Without them the revocation checks use OpenSSL's\n"
           "                 default locations.\n"
           "  --crl-dir D    revocation check with every *.crl file (DER or PEM) in D\n"
           "  --openssl-crl  revocation check by OpenSSL's chain verification with\n"
           "                 the CRLs of the trust store (--ca-file, --ca-path)\n"
           "  --ocsp [URL]   revocation check by OCSP at URL (it must contain \"://\"),\n"
           "                 or at the signer certificate's own responder URL\n"
           "  --at TIME      verification time in UTC, as 2026-12-05T10:00:00Z; adds\n"
           "                 the check that the signer certificate is valid then.\n"
           "                 Without it the chain is judged at the signing time and\n"
           "                 revocations at the current time.\n"
           "  --chain-model  judge the chain by the chain model (each issuer valid\n"
           "                 when its subject was issued) instead of the shell model\n"
           "                 (every certificate valid at the reference time)\n"
           "  --lenient      the library's default rules instead of the strict ones:\n"
           "                 the chain fails only when an issuer is missing (a forged\n"
           "                 certificate signature, a self-signed signer outside the\n"
           "                 trust store, a CA without the CA flag and the like pass),\n"
           "                 years of GeneralizedTime are read by the two-digit rule\n"
           "                 (2050 as 1950), and any CRL in --crl-dir that lists the\n"
           "                 serial number counts, whoever issued it. Strict (the\n"
           "                 default) rejects every chain error, reads years as\n"
           "                 written and uses only CRLs that the signer's issuer\n"
           "                 signed (its certificate must be in the trust store).\n"
           "\n"
           "The result line is the OR of the failure codes (0x00000000: every check\n"
           "passed). An OpenSSL CRL check that OpenSSL could not complete (library\n"
           "code 0) counts as 0x80010000 there.\n"
           "The exit code is 0 only when every check passed, 1 when one failed or\n"
           "an input cannot be read, 2 for a usage error. Times are compared in UTC.\n";
}

enum class Revocation { None, Directory, OpenSSL, Ocsp };

struct Options {
    std::string signature;
    std::optional<std::string> data;
    std::optional<std::string> caFile;
    std::optional<std::string> caPath;
    Revocation revocation = Revocation::None;
    std::string crlDirectory;
    std::optional<std::string> ocspUrl;
    std::optional<std::time_t> at;
    bool chainModel = false;
    bool lenient = false;
};

// "YYYY-MM-DDTHH:MM:SSZ" (a blank may stand for the T) as seconds since 1970.
std::optional<std::time_t> parseUtcTime(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator = 0, zone = 0, extra = 0;
    const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%c%c", &year, &month, &day, &separator,
                                   &hour, &minute, &second, &zone, &extra);
    if (fields != 8 || text.size() != 20 || (separator != 'T' && separator != ' ') || zone != 'Z') {
        return std::nullopt;
    }
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    std::tm broken{};
    broken.tm_year = year - 1900;
    broken.tm_mon = month - 1;
    broken.tm_mday = day;
    broken.tm_hour = hour;
    broken.tm_min = minute;
    broken.tm_sec = second;
    const std::time_t seconds = timegm(&broken);
    // timegm folds 31 April into 1 May; such a date was not a date.
    std::tm check{};
    if (gmtime_r(&seconds, &check) == nullptr || check.tm_mday != day || check.tm_mon != month - 1) {
        return std::nullopt;
    }
    return seconds;
}

std::string formatUtc(std::time_t seconds) {
    std::tm fields{};
    if (gmtime_r(&seconds, &fields) == nullptr) return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &fields);
    return text;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isReadableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Parses the arguments; a usage error is printed and gives nothing.
std::optional<Options> parseOptions(const Arguments& arguments) {
    Options options;
    int revocationOptions = 0;
    bool optionsEnded = false;
    auto usage = [](const std::string& message) {
        printError("verify: " + message + " (see kivocrypto verify --help)");
        return std::nullopt;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto value = [&](std::string& out) {
            if (i + 1 == arguments.size()) return false;
            out = arguments[++i];
            return true;
        };
        std::string text;
        if (optionsEnded || argument == "-" || argument.empty() || argument[0] != '-') {
            if (!options.signature.empty()) return usage("expects one SIG");
            options.signature = argument;
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--data") {
            if (!value(text)) return usage("--data needs a FILE");
            options.data = text;
        } else if (argument == "--ca-file") {
            if (!value(text)) return usage("--ca-file needs a file");
            options.caFile = text;
        } else if (argument == "--ca-path") {
            if (!value(text)) return usage("--ca-path needs a directory");
            options.caPath = text;
        } else if (argument == "--crl-dir") {
            if (!value(options.crlDirectory)) return usage("--crl-dir needs a directory");
            options.revocation = Revocation::Directory;
            ++revocationOptions;
        } else if (argument == "--openssl-crl") {
            options.revocation = Revocation::OpenSSL;
            ++revocationOptions;
        } else if (argument == "--ocsp") {
            options.revocation = Revocation::Ocsp;
            ++revocationOptions;
            if (i + 1 < arguments.size() && arguments[i + 1].find("://") != std::string::npos) {
                options.ocspUrl = arguments[++i];
            }
        } else if (argument == "--at") {
            if (!value(text)) return usage("--at needs a TIME");
            options.at = parseUtcTime(text);
            if (!options.at) return usage("'" + text + "' is not a UTC time like 2026-12-05T10:00:00Z");
        } else if (argument == "--chain-model") {
            options.chainModel = true;
        } else if (argument == "--lenient") {
            options.lenient = true;
        } else {
            return usage("unknown option '" + argument + "'");
        }
    }
    if (options.signature.empty()) return usage("expects a SIG file");
    if (revocationOptions > 1) return usage("--crl-dir, --openssl-crl and --ocsp exclude each other");
    return options;
}

// The file or directory arguments exist; prints why not.
bool inputsExist(const Options& options) {
    if (options.caFile && !isReadableFile(*options.caFile)) {
        printError(*options.caFile + ": cannot read the CA file");
        return false;
    }
    if (options.caPath && !isDirectory(*options.caPath)) {
        printError(*options.caPath + ": not a directory");
        return false;
    }
    if (options.revocation == Revocation::Directory && !isDirectory(options.crlDirectory)) {
        printError(options.crlDirectory + ": not a directory");
        return false;
    }
    return true;
}

// One CheckSignDetached call per check, so that each verdict stands on its
// own (the OpenSSL CRL mode's 1 would otherwise mix with the signature's
// bit); their OR is what one call with every check gives.
class Verifier {
public:
    // `content` and `contentLength` are the detached content (null: none).
    Verifier(const Options& options, std::vector<unsigned char>& signature, const unsigned char* content,
             std::size_t contentLength)
        : m_options(options), m_signature(signature), m_content(content), m_contentLength(contentLength) {
        if (options.at) m_when.time = *options.at;
    }

    unsigned int run(unsigned int checks, unsigned int crlMode = 0, const char* crlSource = nullptr) {
        CVerifyMsg verifier;
        // The library takes the content as non-const octets; it only reads them.
        static unsigned char noContent = 0;
        const bool detached = m_content != nullptr;
        unsigned char* data = m_contentLength == 0 ? &noContent : const_cast<unsigned char*>(m_content);
        const int result = verifier.CheckSignDetached(
            m_signature.data(), static_cast<unsigned int>(m_signature.size()), detached ? 0 : 1,
            detached ? data : nullptr, static_cast<unsigned int>(m_contentLength), checks, crlMode, const_cast<char*>(crlSource), nullptr,
            m_options.at ? &m_when : nullptr, 0, m_options.chainModel ? CVerifyMsg::cChainModel : 0,
            m_options.caFile ? m_options.caFile->c_str() : nullptr,
            m_options.caPath ? m_options.caPath->c_str() : nullptr);
        return static_cast<unsigned int>(result);
    }

private:
    const Options& m_options;
    std::vector<unsigned char>& m_signature;
    const unsigned char* m_content;
    std::size_t m_contentLength;
    timeb m_when{};
};

struct Verdict {
    const char* check;
    bool passed;
    std::string words;
    std::vector<std::string> notes;  // printed indented below the verdict
};

// What OpenSSL's chain verification error means, in words.
std::string chainErrorWords(int error) {
    switch (error) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
            return "issuer certificate missing from the trust store";
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
            return "self-signed certificate not in the trust store";
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return "self-signed root of the chain not in the trust store";
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return "certificate signature does not verify";
        case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
            return "certificate signature cannot be read";
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
            return "issuer public key cannot be read";
        case X509_V_ERR_INVALID_CA:
            return "CA certificate lacks the CA flag";
        case X509_V_ERR_PATH_LENGTH_EXCEEDED:
            return "path length exceeded";
        case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
            return "CA certificate key usage lacks keyCertSign";
        case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
            return "unknown critical extension";
        case X509_V_ERR_PERMITTED_VIOLATION:
        case X509_V_ERR_EXCLUDED_VIOLATION:
        case X509_V_ERR_SUBTREE_MINMAX:
            return "name constraints violated";
        case X509_V_ERR_UNSUPPORTED_CONSTRAINT_TYPE:
        case X509_V_ERR_UNSUPPORTED_CONSTRAINT_SYNTAX:
        case X509_V_ERR_UNSUPPORTED_NAME_SYNTAX:
            return "name constraint that cannot be checked";
        case X509_V_ERR_SUBJECT_ISSUER_MISMATCH:
        case X509_V_ERR_AKID_SKID_MISMATCH:
        case X509_V_ERR_AKID_ISSUER_SERIAL_MISMATCH:
            return "issuer does not match the certificate's issuer name or key identifier";
        case X509_V_ERR_CERT_CHAIN_TOO_LONG:
            return "chain too long";
        default:
            return CVerifyMsg::GetLastChainErrorText();
    }
}

std::string chainErrorNote(int error) {
    return chainErrorWords(error) + " (OpenSSL error " + std::to_string(error) + ")";
}

Verdict chainVerdict(unsigned int code, int openSslError, const Options& options) {
    const std::string model = options.chainModel ? "chain model" : "shell model";
    const std::string reference = options.at ? formatUtc(*options.at) : "the signing time";
    if (code == 0) {
        std::string words = "trusted; every certificate valid at " + reference + " (" + model + ")";
        // The lenient rules pass chains that OpenSSL rejected; say so.
        if (openSslError != 0) words += "; OpenSSL rejects it: " + chainErrorNote(openSslError);
        return {"chain", true, words, {}};
    }
    if ((code & CVerifyMsg::cNoTrustedChain) == CVerifyMsg::cNoTrustedChain) {
        if (openSslError != 0) return {"chain", false, "not trusted: " + chainErrorNote(openSslError), {}};
        return {"chain", false, "not trusted: the trust store cannot be read or used", {}};
    }
    return {"chain", false, "a certificate of the chain is not valid at " + reference + " (" + model + ")", {}};
}

// The CRLs the strict rules did not use, one note each.
std::vector<std::string> ignoredCrlNotes() {
    std::vector<std::string> notes;
    const std::string text = CVerifyMsg::GetIgnoredCrls();
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        notes.push_back("ignored " + text.substr(start, end - start));
        start = end + 1;
    }
    return notes;
}

Verdict revocationVerdict(unsigned int code, const Options& options) {
    switch (options.revocation) {
        case Revocation::Directory: {
            std::vector<std::string> notes = ignoredCrlNotes();
            if (code != 0) return {"revocation (CRL directory)", false, "revoked before the verification time", notes};
            return {"revocation (CRL directory)", true,
                    options.lenient ? "not revoked" : "not listed in any usable CRL", notes};
        }
        case Revocation::OpenSSL:
            if (code == CVerifyMsg::cOpenSSLCrlPassed) {
                return {"revocation (OpenSSL CRL)", true,
                        "not revoked; OpenSSL verified the chain with its CRLs (library code 0x00000001)", {}};
            }
            if (code == CVerifyMsg::cRevoked) return {"revocation (OpenSSL CRL)", false, "revoked before the verification time", {}};
            if (code == 0) {
                return {"revocation (OpenSSL CRL)", false,
                        "not confirmed: OpenSSL's chain verification with CRL checking failed "
                        "(no current CRL of the issuer, or another chain error)", {}};
            }
            return {"revocation (OpenSSL CRL)", false, "trust store unusable or issuer missing", {}};
        case Revocation::Ocsp:
            if (code == 0) return {"revocation (OCSP)", true, "not revoked (good, or unknown to the responder)", {}};
            if (code == CVerifyMsg::cRevoked) return {"revocation (OCSP)", false, "revoked before the verification time", {}};
            if (code == CVerifyMsg::cOcspNoUrl) {
                return {"revocation (OCSP)", false, "no responder URL (none given, none in the certificate) or it does not parse", {}};
            }
            if (code == CVerifyMsg::cOcspCommunication) {
                return {"revocation (OCSP)", false, "responder not reachable, or its answer unusable", {}};
            }
            return {"revocation (OCSP)", false, "the issuer is not in the trust store", {}};
        case Revocation::None:
            break;
    }
    return {"revocation", code == 0, "", {}};
}

// The revocation check the options ask for; its library code.
unsigned int runRevocation(Verifier& verifier, const Options& options) {
    switch (options.revocation) {
        case Revocation::Directory:
            return verifier.run(CVerifyMsg::cCheckRevocation, CVerifyMsg::cCrlDirectory, options.crlDirectory.c_str());
        case Revocation::OpenSSL:
            return verifier.run(CVerifyMsg::cCheckRevocation, CVerifyMsg::cCrlOpenSSL);
        case Revocation::Ocsp:
            return verifier.run(CVerifyMsg::cCheckRevocation, CVerifyMsg::cCrlOcsp,
                                options.ocspUrl ? options.ocspUrl->c_str() : nullptr);
        case Revocation::None:
            break;
    }
    return 0;
}

}  // namespace

int runVerify(const Arguments& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            printVerifyUsage(std::cout);
            return kExitOk;
        }
        if (argument == "--") break;
    }
    const std::optional<Options> parsed = parseOptions(arguments);
    if (!parsed) return kExitUsage;
    const Options& options = *parsed;
    if (!inputsExist(options)) return kExitFailure;

    DerInput input = readSignedContainer(options.signature);
    if (!input.error.empty()) {
        printError(options.signature + ": " + input.error);
        return kExitFailure;
    }
    std::optional<MappedFile> content;
    if (options.data) {
        content.emplace(*options.data);
        if (!content->ok()) {
            printError(*options.data + ": " + content->error());
            return kExitFailure;
        }
        if (content->size() > static_cast<std::size_t>(INT_MAX)) {
            printError(*options.data + ": larger than 2 GiB");
            return kExitFailure;
        }
    }

    // The library reads certificate times as UTC fields in local time; in
    // UTC that is exact, and --at is UTC.
    ::setenv("TZ", "UTC", 1);
    ::tzset();

    static const unsigned char kEmpty = 0;
    const unsigned char* detached = nullptr;
    if (content) detached = content->size() > 0 ? content->data() : &kEmpty;
    Verifier verifier(options, input.der, detached, content ? content->size() : 0);
    CVerifyMsg::SetStrictPolicy(!options.lenient);
    std::vector<Verdict> verdicts;
    // The OR of the failure codes. The OpenSSL CRL mode's 1 says that its
    // check passed; it is no failure and stays out of the result line.
    unsigned int combined = 0;

    const unsigned int signature = verifier.run(CVerifyMsg::cCheckSignature);
    combined |= signature;
    verdicts.push_back({"signature", signature == 0, signature == 0 ? "valid" : "does not verify", {}});

    if (options.caFile || options.caPath) {
        const unsigned int chain = verifier.run(CVerifyMsg::cCheckChain);
        combined |= chain;
        verdicts.push_back(chainVerdict(chain, CVerifyMsg::GetLastChainError(), options));
    }
    if (options.at) {
        const unsigned int validity = verifier.run(CVerifyMsg::cCheckSignerValidity);
        combined |= validity;
        verdicts.push_back({"signer validity", validity == 0,
                            (validity == 0 ? "valid at " : "not valid at ") + formatUtc(*options.at), {}});
    }
    if (options.revocation != Revocation::None) {
        const unsigned int code = runRevocation(verifier, options);
        const Verdict verdict = revocationVerdict(code, options);
        if (!verdict.passed) combined |= code != 0 ? code : CVerifyMsg::cNoTrustedChain;
        verdicts.push_back(verdict);
    }

    std::string failed;
    for (const Verdict& verdict : verdicts) {
        std::printf("%-28s %s\n", (std::string(verdict.check) + ":").c_str(), verdict.words.c_str());
        for (const std::string& note : verdict.notes) std::printf("%-28s %s\n", "", note.c_str());
        if (!verdict.passed) failed += (failed.empty() ? "" : ", ") + std::string(verdict.check);
    }
    std::printf("%-28s %s\n", "rules:", options.lenient ? "lenient (the library's default rules)" : "strict");
    std::printf("%-28s 0x%08X\n", "result:", combined);
    std::fflush(stdout);
    if (!failed.empty()) {
        printError("verify: failed: " + failed);
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace kivocrypto
