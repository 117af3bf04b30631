#include "tools/kivocrypto/DerInput.h"

#include "PKCS7SSL.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <ctime>
#include <fstream>
#include <iterator>

namespace kivocrypto {
namespace {

constexpr std::size_t kMaxInputSize = 64u * 1024u * 1024u;
constexpr char kPemStart[] = "-----BEGIN ";

bool looksLikePem(const std::vector<unsigned char>& bytes) {
    const std::string head(bytes.begin(), bytes.begin() + std::min<std::size_t>(bytes.size(), 4096));
    return head.find(kPemStart) != std::string::npos;
}

bool decodePem(const std::vector<unsigned char>& text, DerInput& input) {
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    if (bio == nullptr) return false;
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    const bool ok = PEM_read_bio(bio, &name, &header, &data, &length) == 1;
    if (ok) {
        input.pemLabel = name;
        input.der.assign(data, data + length);
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    BIO_free(bio);
    return ok;
}

}  // namespace

DerInput readDerOrPem(const std::string& path) {
    DerInput input;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        input.error = "cannot open the file";
        return input;
    }
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() > kMaxInputSize) {
        input.error = "file larger than 64 MiB";
    } else if (bytes.empty()) {
        input.error = "file is empty";
    } else if (looksLikePem(bytes)) {
        if (!decodePem(bytes, input)) input.error = "PEM block cannot be decoded";
    } else {
        input.der = std::move(bytes);
    }
    return input;
}

std::string formatLibraryTime(long long seconds) {
    // The value is the certificate's UTC fields read as local standard
    // time; adding the standard offset back gives the fields again.
    ::tzset();
    const std::time_t value = static_cast<std::time_t>(seconds - ::timezone);
    std::tm fields{};
    if (gmtime_r(&value, &fields) == nullptr) return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &fields);
    return text;
}

DerInput readSignedContainer(const std::string& path) {
    DerInput input = readDerOrPem(path);
    if (input.error.empty() &&
        CPKCS7SSL::GetSignerCertNum(input.der.data(), static_cast<unsigned long>(input.der.size())) <= 0) {
        input.error = "not a signed CMS/PKCS#7 container";
    }
    return input;
}

}  // namespace kivocrypto
