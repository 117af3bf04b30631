// Verification against a large trust file and a CRL directory, with
// OpenSSL doing the same work in this process.
//
// The trust file is the system CA bundle with the benchmark's own CA
// appended (about 145 certificates); the signature is a detached CMS
// signature of 1 KiB by an EC P-256 signer under that CA, made by OpenSSL.
//
// BM_Kivo_VerifyBundle: CheckSignDetached with the signature and chain
// checks (0x05) and the bundle as CA file; from the second call on the
// bundle's certificates come from the file cache, and a call's store takes
// only those of the names its chain asks for. BM_Kivo_VerifyBundleCold:
// the same with the cache emptied before each call (the first call's cost).
// BM_OpenSSL_CmsVerifyBundle: what a host does with OpenSSL alone: the
// container parsed, a store loaded from the bundle, CMS_verify.
//
// BM_Kivo_CrlDirectory50 / ...Cold / ...Strict (the strict policy, which
// also checks each CRL's signature with the CA's key): CheckSignDetached with the revocation
// check against a directory of 50 DER CRLs of the CA (none lists the
// signer) and the CA alone as CA file. BM_OpenSSL_CrlDirectory50: the
// container parsed for the signer's certificate, then each CRL file read
// with d2i_X509_CRL_bio and searched for the signer's serial number.
//
// The library's log is switched off first, so that only verification is
// timed.
#include <benchmark/benchmark.h>

#include <log4cxx/level.h>
#include <log4cxx/logger.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <unistd.h>

#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "VerifyMsg.h"
#include "src/verify/VerifyFileCache.h"
#include "tools/testpki/Pki.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using kivo::test::CertOptions;
using kivo::test::KeyKind;

constexpr int kCrlCount = 50;
constexpr const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";

Bytes bioBytes(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return Bytes(data, data + (length > 0 ? length : 0));
}

void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

class VerifySetup {
public:
    static VerifySetup& get() {
        static VerifySetup setup;
        return setup;
    }
    bool ready() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }

    Bytes signature, content;
    std::string bundle, caOnly, emptyDir, crlDir;
    std::vector<std::string> crlFiles;
    long signerSerial = 4242;

private:
    VerifySetup() {
        log4cxx::Logger::getRootLogger()->setLevel(log4cxx::Level::getOff());
        try {
            make();
        } catch (const std::exception& e) {
            m_error = e.what();
        }
    }
    ~VerifySetup() {
        std::error_code ignored;
        if (!m_folder.empty()) fs::remove_all(m_folder, ignored);
    }

    void make() {
        if (!fs::exists(kSystemBundle)) throw std::runtime_error("no system CA bundle");
        m_folder = fs::temp_directory_path() / ("kivo-bench-verify-" + std::to_string(::getpid()));
        fs::create_directories(m_folder / "empty");
        fs::create_directories(m_folder / "crls");
        emptyDir = (m_folder / "empty").string();
        crlDir = (m_folder / "crls").string();

        const auto caKey = kivo::test::generateKey(KeyKind::EcP256);
        CertOptions ca;
        ca.subject = "/CN=Kivo Bench CA";
        ca.subjectKey = caKey.get();
        ca.isCa = true;
        const auto caCert = kivo::test::makeCertificate(ca);
        const auto signerKey = kivo::test::generateKey(KeyKind::EcP256);
        CertOptions signer;
        signer.subject = "/CN=Kivo Bench Signer";
        signer.subjectKey = signerKey.get();
        signer.issuerCert = caCert.get();
        signer.issuerKey = caKey.get();
        signer.serial = signerSerial;
        const auto signerCert = kivo::test::makeCertificate(signer);

        caOnly = (m_folder / "ca.pem").string();
        bundle = (m_folder / "bundle.pem").string();
        fs::copy_file(kSystemBundle, bundle);
        for (const std::string& path : {caOnly, bundle}) {
            BIO* out = BIO_new_file(path.c_str(), "a");
            PEM_write_bio_X509(out, caCert.get());
            BIO_free(out);
        }

        content.assign(1024, 'k');
        BIO* data = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
        CMS_ContentInfo* cms = CMS_sign(signerCert.get(), signerKey.get(), nullptr, data, CMS_BINARY | CMS_DETACHED);
        BIO_free(data);
        if (cms == nullptr) throw std::runtime_error("CMS_sign failed");
        BIO* der = BIO_new(BIO_s_mem());
        i2d_CMS_bio(der, cms);
        signature = bioBytes(der);
        BIO_free(der);
        CMS_ContentInfo_free(cms);

        for (int i = 0; i < kCrlCount; ++i) crlFiles.push_back(writeCrl(caCert.get(), caKey.get(), i));
    }

    // A CRL of the CA listing 20 serial numbers other than the signer's.
    std::string writeCrl(X509* ca, EVP_PKEY* key, int index) {
        X509_CRL* crl = X509_CRL_new();
        ASN1_TIME* now = ASN1_TIME_set(nullptr, std::time(nullptr));
        X509_CRL_set_version(crl, 1);
        X509_CRL_set_issuer_name(crl, X509_get_subject_name(ca));
        X509_CRL_set1_lastUpdate(crl, now);
        for (int n = 0; n < 20; ++n) {
            X509_REVOKED* entry = X509_REVOKED_new();
            ASN1_INTEGER* serial = ASN1_INTEGER_new();
            ASN1_INTEGER_set(serial, 100000 + index * 100 + n);
            X509_REVOKED_set_serialNumber(entry, serial);
            X509_REVOKED_set_revocationDate(entry, now);
            X509_CRL_add0_revoked(crl, entry);
            ASN1_INTEGER_free(serial);
        }
        ASN1_TIME_free(now);
        X509_CRL_sort(crl);
        X509_CRL_sign(crl, key, EVP_sha256());
        unsigned char* der = nullptr;
        const int length = i2d_X509_CRL(crl, &der);
        X509_CRL_free(crl);
        const std::string path = crlDir + "/crl-" + std::to_string(index) + ".crl";
        writeBytes(path, Bytes(der, der + length));
        OPENSSL_free(der);
        return path;
    }

    std::string m_error;
    fs::path m_folder;
};

// The shared set-up, or null after marking the benchmark skipped.
VerifySetup* readySetup(benchmark::State& state) {
    VerifySetup& setup = VerifySetup::get();
    if (setup.ready()) return &setup;
    state.SkipWithError(setup.error().c_str());
    return nullptr;
}

int check(VerifySetup& setup, unsigned int checks, unsigned int crlMode, const std::string& caFile) {
    CVerifyMsg verifier;
    Bytes signature = setup.signature;
    Bytes content = setup.content;
    std::string crlSource = setup.crlDir;
    timeb now{};
    now.time = std::time(nullptr);
    return verifier.CheckSignDetached(signature.data(), static_cast<unsigned int>(signature.size()), 0, content.data(),
                                      static_cast<unsigned int>(content.size()), checks, crlMode, crlSource.data(),
                                      nullptr, &now, 0, 0, caFile.c_str(), setup.emptyDir.c_str());
}

void runKivo(benchmark::State& state, unsigned int checks, unsigned int crlMode, bool cold) {
    VerifySetup* ready = readySetup(state);
    if (ready == nullptr) return;
    VerifySetup& setup = *ready;
    const std::string& caFile = checks == 0x05 ? setup.bundle : setup.caOnly;
    if (check(setup, checks, crlMode, caFile) != 0) {
        state.SkipWithError("the signature does not verify");
        return;
    }
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            kivo::verify::clearFileCache();
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(check(setup, checks, crlMode, caFile));
    }
}

void BM_Kivo_VerifyBundle(benchmark::State& state) { runKivo(state, 0x05, 0, false); }
void BM_Kivo_VerifyBundleCold(benchmark::State& state) { runKivo(state, 0x05, 0, true); }
void BM_Kivo_CrlDirectory50(benchmark::State& state) { runKivo(state, 0x10, 0x04, false); }
void BM_Kivo_CrlDirectory50Cold(benchmark::State& state) { runKivo(state, 0x10, 0x04, true); }
void BM_Kivo_CrlDirectory50Strict(benchmark::State& state) {
    CVerifyMsg::SetStrictPolicy(true);
    runKivo(state, 0x10, 0x04, false);
    CVerifyMsg::SetStrictPolicy(false);
}

// The signature parsed as a host parses it, once per call.
CMS_ContentInfo* parseSignature(const VerifySetup& setup) {
    BIO* in = BIO_new_mem_buf(setup.signature.data(), static_cast<int>(setup.signature.size()));
    CMS_ContentInfo* cms = d2i_CMS_bio(in, nullptr);
    BIO_free(in);
    return cms;
}

void BM_OpenSSL_CmsVerifyBundle(benchmark::State& state) {
    VerifySetup* ready = readySetup(state);
    if (ready == nullptr) return;
    VerifySetup& setup = *ready;
    for (auto _ : state) {
        CMS_ContentInfo* cms = parseSignature(setup);
        X509_STORE* store = X509_STORE_new();
        X509_STORE_load_file(store, setup.bundle.c_str());
        BIO* data = BIO_new_mem_buf(setup.content.data(), static_cast<int>(setup.content.size()));
        const int ok = CMS_verify(cms, nullptr, store, data, nullptr, CMS_BINARY);
        if (ok != 1) state.SkipWithError("CMS_verify failed");
        BIO_free(data);
        X509_STORE_free(store);
        CMS_ContentInfo_free(cms);
    }
}

void BM_OpenSSL_CrlDirectory50(benchmark::State& state) {
    VerifySetup* ready = readySetup(state);
    if (ready == nullptr) return;
    VerifySetup& setup = *ready;
    for (auto _ : state) {
        // The signer's certificate from the container, as the library's call starts.
        CMS_ContentInfo* cms = parseSignature(setup);
        STACK_OF(X509)* certificates = cms != nullptr ? CMS_get1_certs(cms) : nullptr;
        if (certificates == nullptr || sk_X509_num(certificates) < 1) {
            state.SkipWithError("no signer certificate");
            break;
        }
        const ASN1_INTEGER* serial = X509_get0_serialNumber(sk_X509_value(certificates, 0));
        int listed = 0;
        for (const auto& entry : fs::directory_iterator(setup.crlDir)) {
            BIO* file = BIO_new_file(entry.path().c_str(), "rb");
            X509_CRL* crl = d2i_X509_CRL_bio(file, nullptr);
            X509_REVOKED* revoked = nullptr;
            listed += crl != nullptr && X509_CRL_get0_by_serial(crl, &revoked, serial) == 1;
            X509_CRL_free(crl);
            BIO_free(file);
        }
        benchmark::DoNotOptimize(listed);
        sk_X509_pop_free(certificates, X509_free);
        CMS_ContentInfo_free(cms);
    }
}

BENCHMARK(BM_Kivo_VerifyBundle)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Kivo_VerifyBundleCold)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSSL_CmsVerifyBundle)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Kivo_CrlDirectory50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Kivo_CrlDirectory50Cold)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Kivo_CrlDirectory50Strict)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSSL_CrlDirectory50)->Unit(benchmark::kMicrosecond);

}  // namespace
