// CCrlSSL::FindCertInCrl with a fixed certificate and arbitrary bytes as
// the CRL. The certificate is made once at start: a self-signed P-256
// certificate with serial number 0x1002, the serial the seed CRLs list.
#include "fuzz/FuzzInput.h"

#include "CrlSSL.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <vector>

namespace {

std::vector<unsigned char> makeCertificate() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 0x1002);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Fuzz CA"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_set_pubkey(certificate, key);
    X509_sign(certificate, key, EVP_sha256());
    std::vector<unsigned char> der(static_cast<std::size_t>(i2d_X509(certificate, nullptr)));
    unsigned char* out = der.data();
    i2d_X509(certificate, &out);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return der;
}

std::vector<unsigned char>& certificate() {
    static std::vector<unsigned char> der = makeCertificate();
    return der;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kivo::fuzz::ExactCopy crl(data, size);
    std::vector<unsigned char>& cert = certificate();
    __int64 revocationTime = 0;
    const int found = CCrlSSL::FindCertInCrl(cert.data(), static_cast<unsigned int>(cert.size()),
                                             crl.data(), crl.size(), &revocationTime);
    if (found < -1 || found > 1) __builtin_trap();
    return 0;
}
