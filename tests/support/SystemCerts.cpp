#include "tests/support/SystemCerts.h"

#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace kivo::test {
namespace {

std::vector<SystemCertificate> load() {
    std::vector<std::filesystem::path> paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/etc/ssl/certs", error)) {
        if (entry.path().extension() == ".pem") paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<SystemCertificate> out;
    for (const auto& path : paths) {
        FILE* file = std::fopen(path.c_str(), "r");
        X509Ptr cert(file != nullptr ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr);
        if (file != nullptr) std::fclose(file);
        std::vector<unsigned char> der = cert ? derOf(cert.get()) : std::vector<unsigned char>();
        if (!der.empty()) out.push_back({path.filename().string(), std::move(cert), std::move(der)});
    }
    return out;
}

}  // namespace

const std::vector<SystemCertificate>& systemCertificates() {
    static const std::vector<SystemCertificate> certificates = load();
    return certificates;
}

}  // namespace kivo::test
