// kivocrypto hash: digests of files, printed as upper-case hex.

#include "tools/kivocrypto/Commands.h"
#include "tools/kivocrypto/MappedFile.h"

#include "HashSSL.h"

#include <cstdio>
#include <iostream>

namespace kivocrypto {
namespace {

struct AlgorithmName {
    const char* name;
    int nameCode;   // CHashSSL name code
};
constexpr AlgorithmName kAlgorithms[] = {
    {"sha1", 1}, {"sha256", 4}, {"sha384", 5}, {"sha512", 6}, {"md5", 3}, {"ripemd160", 2},
};
constexpr int kDefaultNameCode = 4;  // sha256

void printHashUsage(std::ostream& out) {
    out << "usage: kivocrypto hash [-a sha1|sha256|sha384|sha512|md5|ripemd160] FILE...\n"
           "\n"
           "Prints the digest of each FILE in upper-case hex, followed by the\n"
           "file name, one line per file. The default algorithm is sha256.\n"
           "A file that cannot be read is reported on stderr; the others are\n"
           "still hashed and the exit code is 1.\n";
}

int nameCodeOf(const std::string& name) {
    for (const AlgorithmName& algorithm : kAlgorithms) {
        if (name == algorithm.name) return algorithm.nameCode;
    }
    return 0;
}

// Prints "<HEX>  <path>"; returns false when the file cannot be read.
bool hashFile(const std::string& path, int nameCode) {
    MappedFile file(path);
    if (!file.ok()) {
        printError(path + ": " + file.error());
        return false;
    }
    static const unsigned char kNoData = 0;
    unsigned char* data = const_cast<unsigned char*>(file.size() > 0 ? file.data() : &kNoData);
    const char* hex = CHashSSL::calculateHash(data, file.size(), nameCode);
    std::printf("%s  %s\n", hex, path.c_str());
    return true;
}

}  // namespace

int runHash(const Arguments& arguments) {
    int nameCode = kDefaultNameCode;
    Arguments files;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument == "-" || argument[0] != '-') {
            files.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help" || argument == "-h") {
            printHashUsage(std::cout);
            return kExitOk;
        } else if (argument == "-a" || argument == "--algorithm") {
            if (i + 1 == arguments.size()) {
                printError("hash: " + argument + " needs an algorithm name");
                return kExitUsage;
            }
            nameCode = nameCodeOf(arguments[++i]);
            if (nameCode == 0) {
                printError("hash: unknown algorithm '" + arguments[i] + "'");
                return kExitUsage;
            }
        } else {
            printError("hash: unknown option '" + argument + "'");
            return kExitUsage;
        }
    }
    if (files.empty()) {
        printError("hash: no file given (see kivocrypto hash --help)");
        return kExitUsage;
    }

    bool allHashed = true;
    for (const std::string& path : files) {
        allHashed = hashFile(path, nameCode) && allHashed;
    }
    std::fflush(stdout);
    return allHashed ? kExitOk : kExitFailure;
}

}  // namespace kivocrypto
