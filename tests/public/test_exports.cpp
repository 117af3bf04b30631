// The shared library exports the documented classes and nothing of its
// internals; it loads, unloads and logs as a host expects.

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

using kivo::test::runCommand;

// The demangled dynamic symbols (AddressSanitizer's "__odr_asan." twin of
// a variable read as the variable): members of the documented classes and
// instances of the standard library and log4cxx templates the interface
// passes by value.
TEST(Exports, ExactlyTheDocumentedInterfaceIsExported) {
    const auto listed = runCommand("nm -D --defined-only --format=posix '" KIVO_LIBRARY_FILE
                                   "' | cut -d' ' -f1 | sed 's/^__odr_asan[._]//' | c++filt");
    ASSERT_EQ(listed.status, 0);
    std::set<std::string> symbols;
    std::istringstream lines(listed.output);
    for (std::string line; std::getline(lines, line);) symbols.insert(line);
    const std::string documented = "CHashSSL|CRsa|CPKCS7SSL|CCms|CCmsDataContent|CSignMessage|CTimeStampSSL|CCertInfo|"
                                   "CCertHandler|CExtensionSSL|CRestrictionSSL|CVerifyMsg|CCrlSSL|CSCUtils|CKivoCryptoSLL";
    const std::regex allowed("((typeinfo (name )?for |vtable for |guard variable for )?(std|log4cxx)::.*|"
                             "((typeinfo (name )?for |vtable for )(" + documented + ")|(" + documented + ")::).*|"
                             "OPENSSL_Applink|_init|_fini)");
    for (const char* needed : {"OPENSSL_Applink", "CHashSSL::calculateHash(unsigned char*, unsigned long, int)",
                               "CCertHandler::HashBlob(unsigned char*, unsigned long, int, unsigned char*, int*)",
                               "CHashSSL::m_logger", "vtable for CKivoCryptoSLL"}) {
        EXPECT_TRUE(symbols.count(needed)) << needed << " is not exported";
    }
    std::istringstream classes(documented);
    for (std::string name; std::getline(classes, name, '|');) {
        const auto member = symbols.lower_bound(name + "::");
        EXPECT_TRUE(member != symbols.end() && member->starts_with(name + "::")) << name << " has no exported member";
    }
    const std::regex internal("kivo::|CSHA|CMD5|CRIPEMD|IMessageDigest|ConfigSC|openSSL_LogError");
    for (const std::string& symbol : symbols) {
        EXPECT_TRUE(std::regex_match(symbol, allowed) && !std::regex_search(symbol, internal)) << "exported: " << symbol;
    }
}

// The load probe loads and unloads the library twice. A host that never
// configures log4cxx sees nothing of the library's log (no "No appender
// could be found" warning); one that configures it gets the library's lines.
TEST(Exports, LoadsUnloadsAndLogsOnlyWhenTheHostSaysSo) {
    const kivo::test::TempDir dir;
    std::ofstream(dir.file("log.properties")) << "log4j.rootLogger=DEBUG, out\n"
                                                 "log4j.appender.out=org.apache.log4j.ConsoleAppender\n"
                                                 "log4j.appender.out.layout=org.apache.log4j.PatternLayout\n"
                                                 "log4j.appender.out.layout.ConversionPattern=%c %m%n\n";
    const std::pair<std::string, std::string> rows[] = {
        {"'" KIVO_LOAD_PROBE_FILE "' '" KIVO_LIBRARY_FILE "'", "loaded and unloaded twice\n"},
        {"'" KIVO_QUIET_PROBE_FILE "'", ""},
        {"LOG4CXX_CONFIGURATION='" + dir.file("log.properties") + "' '" KIVO_QUIET_PROBE_FILE "' | grep getVersion",
         "KivoCryptoSSL::CCertInfoSSL entering getVersion\n"},
    };
    for (const auto& [command, output] : rows) {
        const auto result = runCommand(command + " 2>&1");
        EXPECT_EQ(result.status, 0) << command;
        EXPECT_EQ(result.output, output) << command;
    }
}
