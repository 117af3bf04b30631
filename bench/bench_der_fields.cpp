// Reading three fields out of DER certificates: the issuer as one line of
// text, the serial number as hex and notAfter (as a date text and as
// seconds since 1970).
//
// BM_Kivo_CertFields walks the DER in place (CertFieldLocate, then
// Asn1NameToText, Asn1ContentHex, Asn1DateText and ParseUtcTimeText).
// BM_OpenSSL_CertFields_* parse the certificate with d2i_X509 and read the
// same fields with X509_get_issuer_name (rendered by X509_NAME_oneline, or
// by X509_NAME_print_ex into a memory BIO), X509_get_serialNumber (content
// octets to hex) and X509_get0_notAfter (ASN1_TIME_to_tm, timegm).
//
// Every iteration takes the next certificate of /etc/ssl/certs (sorted by
// file name), so both sides see the same mix of names, key types and sizes.
#include <benchmark/benchmark.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "asn1/Asn1Der.h"

namespace {

using Der = std::vector<unsigned char>;

const std::vector<Der>& systemCertificates() {
    static const std::vector<Der> certificates = [] {
        std::vector<std::filesystem::path> paths;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/etc/ssl/certs", error)) {
            if (entry.path().extension() == ".pem") paths.push_back(entry.path());
        }
        std::sort(paths.begin(), paths.end());
        std::vector<Der> out;
        for (const auto& path : paths) {
            FILE* file = std::fopen(path.c_str(), "r");
            if (file == nullptr) continue;
            X509* x509 = PEM_read_X509(file, nullptr, nullptr, nullptr);
            std::fclose(file);
            if (x509 == nullptr) continue;
            unsigned char* der = nullptr;
            const int length = i2d_X509(x509, &der);
            if (length > 0) out.emplace_back(der, der + length);
            OPENSSL_free(der);
            X509_free(x509);
        }
        return out;
    }();
    return certificates;
}

void hexInto(const unsigned char* octets, int count, char* out) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        out[2 * i] = kDigits[octets[i] >> 4];
        out[2 * i + 1] = kDigits[octets[i] & 0x0F];
    }
    out[2 * count] = '\0';
}

void BM_Kivo_CertFields(benchmark::State& state) {
    const auto& certificates = systemCertificates();
    if (certificates.empty()) {
        state.SkipWithError("no certificates in /etc/ssl/certs");
        return;
    }
    std::size_t index = 0;
    for (auto _ : state) {
        const Der& der = certificates[index];
        index = index + 1 == certificates.size() ? 0 : index + 1;
        const auto length = static_cast<std::uint32_t>(der.size());
        Asn1Cursor c;
        if (!CertFieldLocate(der.data(), length, 103, &c)) state.SkipWithError("issuer");
        benchmark::DoNotOptimize(Asn1NameToText(c.ptr, c.size));
        if (!CertFieldLocate(der.data(), length, 105, &c)) state.SkipWithError("serial");
        benchmark::DoNotOptimize(Asn1ContentHex(c.ptr, c.size));
        if (!CertFieldLocate(der.data(), length, 106, &c) || !Asn1Enter(c.ptr, &c) ||
            !Asn1Next(c.ptr, &c)) {
            state.SkipWithError("validity");
        }
        benchmark::DoNotOptimize(Asn1DateText(c.ptr, c.size));
        std::uint32_t offset = 0;
        const std::uint32_t textLength = Asn1GetLength(c.ptr, &offset, c.size);
        std::int64_t seconds = 0;
        if (Asn1Tag(c.ptr) == kivo::asn1::tagNumber(kivo::asn1::Id::UtcTime)) {
            seconds = ParseUtcTimeText(
                std::string_view(reinterpret_cast<const char*>(c.ptr + offset), textLength));
        }
        benchmark::DoNotOptimize(seconds);
    }
    state.SetItemsProcessed(state.iterations());
}

template <bool kPrintEx>
void BM_OpenSSL_CertFields(benchmark::State& state) {
    const auto& certificates = systemCertificates();
    if (certificates.empty()) {
        state.SkipWithError("no certificates in /etc/ssl/certs");
        return;
    }
    BIO* bio = BIO_new(BIO_s_mem());
    char issuer[5000];
    char serial[5000];
    std::size_t index = 0;
    for (auto _ : state) {
        const Der& der = certificates[index];
        index = index + 1 == certificates.size() ? 0 : index + 1;
        const unsigned char* p = der.data();
        X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        if (x509 == nullptr) {
            state.SkipWithError("d2i_X509");
            break;
        }
        if (kPrintEx) {
            (void)BIO_reset(bio);
            X509_NAME_print_ex(bio, X509_get_issuer_name(x509), 0, XN_FLAG_ONELINE);
            const int n = BIO_read(bio, issuer, sizeof issuer - 1);
            issuer[n > 0 ? n : 0] = '\0';
        } else {
            X509_NAME_oneline(X509_get_issuer_name(x509), issuer, sizeof issuer);
        }
        benchmark::DoNotOptimize(issuer);
        const ASN1_INTEGER* number = X509_get0_serialNumber(x509);
        const int count = std::min(ASN1_STRING_length(number), 2499);
        hexInto(ASN1_STRING_get0_data(number), count, serial);
        benchmark::DoNotOptimize(serial);
        std::tm tm{};
        ASN1_TIME_to_tm(X509_get0_notAfter(x509), &tm);
        char date[48];
        std::snprintf(date, sizeof date, "%02d.%02d.%04d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
        benchmark::DoNotOptimize(date);
        benchmark::DoNotOptimize(timegm(&tm));
        X509_free(x509);
    }
    BIO_free(bio);
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_Kivo_CertFields);
BENCHMARK(BM_OpenSSL_CertFields<false>)->Name("BM_OpenSSL_CertFields_Oneline");
BENCHMARK(BM_OpenSSL_CertFields<true>)->Name("BM_OpenSSL_CertFields_PrintEx");
