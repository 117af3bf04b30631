// The CA certificates of /etc/ssl/certs (package ca-certificates), the
// oracle of the tests that compare the library's readings with OpenSSL's.
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

// Every PEM certificate there that OpenSSL reads, by file name; read once.
const std::vector<SystemCertificate>& systemCertificates();

// The fewest the store must hold for the agreement tests to mean something.
constexpr std::size_t kMinimumSystemCertificates = 100;

}  // namespace kivo::test
