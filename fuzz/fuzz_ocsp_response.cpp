// The judging of a DER OCSPResponse, as the OCSP exchange runs it on what
// a responder sent, on arbitrary bytes: a fixed request (one certificate
// ID and a nonce) for a fixed certificate and issuer made once at start.
#include "fuzz/FuzzInput.h"

#include "CrlSSL.h"
#include "src/revocation/OcspExchange.h"

#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/x509.h>

namespace {

X509* makeCertificate(const char* subject, long serial, X509* issuer, EVP_PKEY* key,
                      EVP_PKEY* issuerKey) {
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(subject), -1, -1, 0);
    X509_set_issuer_name(certificate, X509_get_subject_name(issuer != nullptr ? issuer : certificate));
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_set_pubkey(certificate, key);
    X509_sign(certificate, issuerKey, EVP_sha256());
    return certificate;
}

// The request the exchange would send, and the ID it asks about.
struct Query {
    Query() {
        EVP_PKEY* caKey = EVP_EC_gen("P-256");
        EVP_PKEY* leafKey = EVP_EC_gen("P-256");
        X509* ca = makeCertificate("Fuzz CA", 1, nullptr, caKey, caKey);
        X509* leaf = makeCertificate("Fuzz Leaf", 0x1002, ca, leafKey, caKey);
        request = OCSP_REQUEST_new();
        id = OCSP_cert_to_id(nullptr, leaf, ca);
        OCSP_request_add0_id(request, id);
        OCSP_request_add1_nonce(request, nullptr, -1);
        X509_free(leaf);
        X509_free(ca);
        EVP_PKEY_free(leafKey);
        EVP_PKEY_free(caKey);
    }
    OCSP_REQUEST* request = nullptr;
    OCSP_CERTID* id = nullptr;  // owned by the request
};

volatile std::size_t g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Query query;
    kivo::fuzz::ExactCopy input(data, size);
    const kivo::ocsp::Answer answer =
        kivo::ocsp::judgeResponse(input.data(), size, query.request, query.id, CCrlSSL::m_logger);
    if (answer.failure == 0) {
        // Read every byte handed out so that a bad copy shows.
        for (unsigned char byte : answer.response) g_sink = g_sink + byte;
        for (unsigned char byte : answer.responderCertificate) g_sink = g_sink + byte;
        if (answer.response.empty()) __builtin_trap();
    } else if (!answer.response.empty()) {
        __builtin_trap();
    }
    return 0;
}
