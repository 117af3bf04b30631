// The shared library exports the documented classes and nothing of its
// internals; it loads and unloads cleanly.

#include "tests/support/TestSupport.h"

#include "KivoCryptoSSL.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using kivo::test::runCommand;

namespace {

const std::vector<std::string> kExportedClasses = {
    "CHashSSL",     "CRsa",          "CPKCS7SSL",       "CCms",         "CCmsDataContent",
    "CSignMessage", "CTimeStampSSL", "CCertInfo",       "CCertHandler", "CExtensionSSL",
    "CRestrictionSSL", "CVerifyMsg", "CCrlSSL",         "CSCUtils",     "CKivoCryptoSLL",
};

// Demangled names of the defined dynamic symbols. AddressSanitizer builds
// add an "__odr_asan." twin for each exported variable; it is read as the
// variable it guards.
std::vector<std::string> exportedSymbols() {
    const auto result = runCommand("nm -D --defined-only --format=posix '" KIVO_LIBRARY_FILE
                                   "' | cut -d' ' -f1 | sed 's/^__odr_asan[._]//' | c++filt");
    EXPECT_EQ(result.status, 0);
    std::vector<std::string> symbols;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) symbols.push_back(line);
    }
    return symbols;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool belongsToExportedClass(const std::string& symbol) {
    for (const std::string& name : kExportedClasses) {
        for (const std::string& prefix : {name + "::", "typeinfo for " + name,
                                          "typeinfo name for " + name, "vtable for " + name}) {
            if (startsWith(symbol, prefix)) return true;
        }
    }
    return false;
}

// Template instantiations of the standard library and log4cxx that the
// interface passes by value (strings, logger pointers) come along.
bool isLibraryTemplateInstance(const std::string& symbol) {
    for (const char* prefix : {"std::", "typeinfo for std::", "typeinfo name for std::",
                               "vtable for std::", "log4cxx::", "guard variable for std::"}) {
        if (startsWith(symbol, prefix)) return true;
    }
    return false;
}

}  // namespace

TEST(Exports, EveryDocumentedClassIsExported) {
    const auto symbols = exportedSymbols();
    ASSERT_FALSE(symbols.empty());
    for (const std::string& name : kExportedClasses) {
        bool found = false;
        for (const std::string& symbol : symbols) found = found || startsWith(symbol, name + "::");
        EXPECT_TRUE(found) << name << " has no exported member";
    }
    const std::set<std::string> all(symbols.begin(), symbols.end());
    EXPECT_TRUE(all.count("OPENSSL_Applink"));
    EXPECT_TRUE(all.count("CHashSSL::calculateHash(unsigned char*, unsigned long, int)"));
    EXPECT_TRUE(all.count("CCertHandler::HashBlob(unsigned char*, unsigned long, int, unsigned char*, int*)"));
    EXPECT_TRUE(all.count("CHashSSL::m_logger"));
    EXPECT_TRUE(all.count("vtable for CKivoCryptoSLL"));
}

TEST(Exports, NoInternalSymbolIsExported) {
    for (const std::string& symbol : exportedSymbols()) {
        if (symbol == "OPENSSL_Applink" || symbol == "_init" || symbol == "_fini") continue;
        EXPECT_TRUE(belongsToExportedClass(symbol) || isLibraryTemplateInstance(symbol))
            << "unexpected export: " << symbol;
        for (const char* internal : {"kivo::", "CSHA", "CMD5", "CRIPEMD", "IMessageDigest",
                                     "ConfigSC", "openSSL_LogError"}) {
            EXPECT_EQ(symbol.find(internal), std::string::npos) << symbol;
        }
    }
}

TEST(Exports, LibraryLoadsAndUnloadsCleanly) {
    const auto result = runCommand("'" KIVO_LOAD_PROBE_FILE "' '" KIVO_LIBRARY_FILE "' 2>&1");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "loaded and unloaded twice\n");
}

// A host that never configures log4cxx sees nothing of the library's log
// (no "No appender could be found" warning); one that configures it gets
// the library's lines.
TEST(Exports, LogIsSilentUntilTheHostConfiguresIt) {
    const auto quiet = runCommand("'" KIVO_QUIET_PROBE_FILE "' 2>&1");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.output, "");

    const kivo::test::TempDir dir;
    const std::string config = dir.file("log4cxx.properties");
    std::ofstream(config) << "log4j.rootLogger=DEBUG, out\n"
                             "log4j.appender.out=org.apache.log4j.ConsoleAppender\n"
                             "log4j.appender.out.layout=org.apache.log4j.PatternLayout\n"
                             "log4j.appender.out.layout.ConversionPattern=%c %m%n\n";
    const auto configured = runCommand("LOG4CXX_CONFIGURATION='" + config + "' '" KIVO_QUIET_PROBE_FILE "' 2>&1");
    EXPECT_EQ(configured.status, 0);
    EXPECT_NE(configured.output.find("KivoCryptoSSL::CCertInfoSSL entering getVersion"), std::string::npos)
        << configured.output;
}

TEST(Exports, HashServiceThroughTheSharedLibrary) {
    unsigned char abc[] = {'a', 'b', 'c'};
    EXPECT_STREQ(CHashSSL::calculateHash(abc, 3, 4),
                 "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    EXPECT_STREQ(CHashSSL::getHashAlgoName(0), "UKNOWN");
    EXPECT_EQ(CHashSSL::m_logger->getName(), "KivoCryptoSSL::CHashSSL");
}
