// The CA certificates of the system store (/etc/ssl/certs, package
// ca-certificates), the oracle of the tests that compare the library's
// readings with OpenSSL's.
#pragma once

#include "tools/testpki/Pki.h"

#include <string>
#include <vector>

namespace kivo::test {

struct SystemCertificate {
    std::string file;  // file name in /etc/ssl/certs
    X509Ptr x509;
    std::vector<unsigned char> der;
};

// Every PEM certificate of /etc/ssl/certs that OpenSSL reads, sorted by
// file name; read once per process.
const std::vector<SystemCertificate>& systemCertificates();

// The fewest certificates the store must hold for the agreement tests to
// mean something (ca-certificates carries well over a hundred roots).
constexpr std::size_t kMinimumSystemCertificates = 100;

}  // namespace kivo::test
