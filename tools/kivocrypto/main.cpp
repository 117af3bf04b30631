// kivocrypto: the command-line face of the KivoCryptoSSL library.

#include "tools/kivocrypto/Commands.h"

#include "CertInfoSSL.h"

#include <log4cxx/consoleappender.h>
#include <log4cxx/logger.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/patternlayout.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace kivocrypto {
namespace {

struct Command {
    const char* name;
    const char* summary;
    int (*run)(const Arguments&);
};

constexpr Command kCommands[] = {
    {"hash", "print the digest of files (sha1, sha256, sha384, sha512, md5, ripemd160)", runHash},
    {"cert", "print every field of a certificate or attribute certificate", runCert},
    {"inspect", "print the signers, certificates and attributes of a signature container", runInspect},
    {"sign", "sign a file with a PKCS#12 or card key (CMS, detached or attached, time stamp)", runSign},
    {"timestamp", "add an RFC 3161 time stamp to a signature container", runTimestamp},
    {"verify", "verify a signature container: signature, chain, validity, revocation", runVerify},
    {"demo", "sign and time-stamp a document with a throwaway PKI, then show and check it", runDemo},
    {"readers", "list the smart-card readers with card, ATR and pin pad", runReaders},
    {"card", "a card in a reader: card info, certificates, dump, apdu, pin, sign, decrypt", runCard},
};

void printUsage(std::ostream& out) {
    out << "usage: kivocrypto [--verbose] COMMAND [ARGUMENTS]\n"
           "       kivocrypto --version | --help\n"
           "\n"
           "Commands:\n";
    for (const Command& command : kCommands) {
        out << "  " << command.name << std::string(10 - std::strlen(command.name), ' ')
            << command.summary << "\n";
    }
    out << "\n"
           "Run 'kivocrypto COMMAND --help' for the options of a command.\n"
           "--verbose sends the library's log to stderr; a log4cxx configuration\n"
           "file (LOG4CXX_CONFIGURATION) takes precedence.\n";
}

// Without a log4cxx configuration of the user's own (one that gives the root
// logger an appender), the library's log is off, or on stderr with --verbose.
void configureLogging(bool verbose) {
    auto repository = log4cxx::LogManager::getLoggerRepository();
    auto root = log4cxx::Logger::getRootLogger();
    if (!root->getAllAppenders().empty()) return;
    if (!verbose) {
        root->setLevel(log4cxx::Level::getOff());
        return;
    }
    auto layout = std::make_shared<log4cxx::PatternLayout>(
        LOG4CXX_STR("%d{HH:mm:ss,SSS} %-5p %c - %m%n"));
    auto appender = std::make_shared<log4cxx::ConsoleAppender>(
        layout, log4cxx::ConsoleAppender::getSystemErr());
    root->addAppender(appender);
    root->setLevel(log4cxx::Level::getDebug());
    repository->setConfigured(true);
}

int run(int argc, char** argv) {
    Arguments arguments(argv + 1, argv + argc);
    bool verbose = false;
    while (!arguments.empty() && (arguments.front() == "-v" || arguments.front() == "--verbose")) {
        verbose = true;
        arguments.erase(arguments.begin());
    }
    if (arguments.empty()) {
        printUsage(std::cerr);
        return kExitUsage;
    }
    const std::string first = arguments.front();
    if (first == "--help" || first == "-h" || first == "help") {
        printUsage(std::cout);
        return kExitOk;
    }
    if (first == "--version") {
        std::cout << "kivocrypto " << KIVO_VERSION << "\n";
        return kExitOk;
    }
    configureLogging(verbose);
    // A modulus written without its sign octet shows its real size.
    CCertInfo::SetModulusSignOctetOnly(true);
    arguments.erase(arguments.begin());
    for (const Command& command : kCommands) {
        if (first == command.name) return command.run(arguments);
    }
    printError("unknown command '" + first + "' (see kivocrypto --help)");
    return kExitUsage;
}

}  // namespace

}  // namespace kivocrypto

int main(int argc, char** argv) { return kivocrypto::runGuarded(kivocrypto::run, argc, argv); }
