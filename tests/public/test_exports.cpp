// The shared library exports the documented classes and nothing of its
// internals.

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

// The demangled dynamic symbols (AddressSanitizer's "__odr_asan." twin of
// a variable read as the variable): members of the documented classes and
// instances of the standard library and log4cxx templates the interface
// passes by value (a missing member fails the suites linked against it).
TEST(Exports, ExactlyTheDocumentedInterfaceIsExported) {
    const auto listed = kivo::test::runCommand("nm -D --defined-only --format=posix '" KIVO_LIBRARY_FILE
                                               "' | cut -d' ' -f1 | sed 's/^__odr_asan[._]//' | c++filt");
    ASSERT_EQ(listed.status, 0);
    std::set<std::string> symbols;
    std::istringstream lines(listed.output);
    for (std::string line; std::getline(lines, line);) symbols.insert(line);
    ASSERT_TRUE(symbols.count("OPENSSL_Applink") && symbols.count("vtable for CKivoCryptoSLL")) << listed.output;
    const std::string documented = "CHashSSL|CRsa|CPKCS7SSL|CCms|CCmsDataContent|CSignMessage|CTimeStampSSL|CCertInfo|"
                                   "CCertHandler|CExtensionSSL|CRestrictionSSL|CVerifyMsg|CCrlSSL|CSCUtils|CKivoCryptoSLL";
    const std::regex allowed("((typeinfo (name )?for |vtable for |guard variable for )?(std|log4cxx)::.*|"
                             "((typeinfo (name )?for |vtable for )(" + documented + ")|(" + documented + ")::).*|"
                             "OPENSSL_Applink|_init|_fini)");
    const std::regex internal("kivo::|CSHA|CMD5|CRIPEMD|IMessageDigest|ConfigSC|openSSL_LogError");
    for (const std::string& symbol : symbols) {
        EXPECT_TRUE(std::regex_match(symbol, allowed) && !std::regex_search(symbol, internal)) << "exported: " << symbol;
    }
}
