#include "tools/kivocrypto/OpenSslText.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <ctime>

namespace kivocrypto {

std::string takeOpenSslReason() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown reason";
    const char* reason = ERR_reason_error_string(code);
    return reason != nullptr ? reason : "OpenSSL error " + std::to_string(code);
}

std::string formatAsn1Time(const ASN1_TIME* time) {
    std::tm fields{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &fields) != 1) return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &fields);
    return text;
}

std::string nameText(const X509_NAME* name) {
    BIO* out = BIO_new(BIO_s_mem());
    if (out == nullptr) return "?";
    std::string text = "?";
    if (name != nullptr && X509_NAME_print_ex(out, name, 0, XN_FLAG_RFC2253) >= 0) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(out, &data);
        text.assign(data != nullptr ? data : "", length > 0 ? static_cast<std::size_t>(length) : 0);
    }
    BIO_free(out);
    return text;
}

std::string integerHex(const ASN1_INTEGER* value) {
    BIGNUM* number = value != nullptr ? ASN1_INTEGER_to_BN(value, nullptr) : nullptr;
    char* hex = number != nullptr ? BN_bn2hex(number) : nullptr;
    const std::string text = hex != nullptr ? hex : "?";
    OPENSSL_free(hex);
    BN_free(number);
    return text;
}

}  // namespace kivocrypto
