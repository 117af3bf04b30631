// Signing with CSignMessage next to OpenSSL doing the same work in this
// process, with an RSA-2048 key and SHA-256.
//
// A 256 MiB file of random octets is written once into a temporary folder
// (and flushed to disk, so it stays in the page cache as clean pages); the
// folder is removed when the program ends.
//
// BM_Kivo_SignDetachedFile: CSignMessage::SignDetached of the file with the
// key opened once from a PKCS#12 file by OpenSSLKey_P12.
// BM_OpenSSL_DgstSignFile: what `openssl dgst -sha256 -sign key.pem -out sig
// file` does once the key is loaded: a file BIO under a BIO_f_md whose
// context EVP_DigestSignInit_ex set up, read through in 8 KiB pieces (the
// BUFSIZE of openssl dgst), then EVP_DigestSignFinal (asked for the length
// first, as openssl dgst does) and the signature written to a file.
//
// BM_*_PeakRss: the same signing once in a forked child; peak_rss_mib is the
// child's ru_maxrss as wait4 reports it (pages of the mapped input count in
// it), file_mib the size of the signed file. The child starts with a few MiB
// resident (the pages of the benchmark process whose page tables the fork
// copied), the same for both sides.
//
// BM_Kivo_SignBlob1K_*: a SignedData of 1 KiB by SignBlobSSL, either as
// callers usually do it (SignBlobSSLForLength, a buffer of that length,
// SignBlobSSL) or into a buffer allocated once. BM_OpenSSL_CmsSign1K: CMS_sign
// of the same content with the same key and certificate and the same signed
// attributes (contentType, signingTime, messageDigest, signingCertificateV2:
// CMS_CADES, CMS_NOSMIMECAP), then i2d_CMS_ContentInfo. The argument selects
// detached (0) or embedded (1) content on both sides.
//
// The library's log is switched off before anything is measured, so that
// only the signing is timed.
#include <benchmark/benchmark.h>

#include <log4cxx/level.h>
#include <log4cxx/logger.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "SignMessageSSLM.h"
#include "tools/testpki/Pki.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kFileSize = 256 * kMiB;
constexpr std::size_t kBlobSize = 1024;
constexpr int kSha256 = 1;  // hash code of the CSignMessage calls
constexpr const char* kP12Password = "kivo-bench-password";
// openssl dgst reads its input in pieces of this size (BUFSIZE in dgst.c).
constexpr int kDgstBufferSize = 1024 * 8;

// Logging off before any benchmark runs: the library logs every call at
// debug level, and the root logger's level decides whether that is built.
[[maybe_unused]] const bool kLoggingOff = [] {
    log4cxx::Logger::getRootLogger()->setLevel(log4cxx::Level::getOff());
    return true;
}();

void writeAll(int descriptor, const unsigned char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(descriptor, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("cannot write the input file");
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

// The key, certificate, key files and the large input, made on first use and
// removed when the program ends.
class SigningSetup {
public:
    static SigningSetup& get() {
        static SigningSetup setup;
        return setup;
    }

    bool ready() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }

    X509* certificate() const { return m_certificate.get(); }
    // The key as openssl dgst -sign key.pem loads it.
    EVP_PKEY* pemKey() const { return m_pemKey.get(); }
    // The key handle OpenSSLKey_P12 gave; marks the file key as the one in use.
    unsigned long* p12Key() const {
        CSignMessage::m_isP12 = true;
        return m_p12Key;
    }
    const std::string& input() const { return m_input; }
    std::string file(const char* name) const { return (m_folder / name).string(); }
    const std::vector<unsigned char>& blob() const { return m_blob; }

    SigningSetup(const SigningSetup&) = delete;
    SigningSetup& operator=(const SigningSetup&) = delete;

private:
    SigningSetup() {
        log4cxx::Logger::getRootLogger()->setLevel(log4cxx::Level::getOff());
        try {
            make();
        } catch (const std::exception& e) {
            m_error = e.what();
        }
    }

    ~SigningSetup() {
        if (m_p12Key != nullptr) {
            CSignMessage::m_isP12 = true;
            CSignMessage::CloseSSLKey(m_p12Key);
        }
        if (!m_folder.empty()) {
            std::error_code ignored;
            fs::remove_all(m_folder, ignored);
        }
    }

    void make() {
        m_folder = fs::temp_directory_path() / ("kivo-bench-signing-" + std::to_string(::getpid()));
        fs::create_directories(m_folder);

        kivo::test::EvpKeyPtr key = kivo::test::generateKey(kivo::test::KeyKind::Rsa2048);
        kivo::test::CertOptions options;
        options.subject = "/C=DE/O=Kivo Bench/CN=Kivo Bench Signer";
        options.subjectKey = key.get();
        options.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
        m_certificate = kivo::test::makeCertificate(options);

        const std::string p12 = file("signer.p12");
        kivo::test::writePkcs12(p12, key.get(), m_certificate.get(), kP12Password);
        m_p12Key = CSignMessage::OpenSSLKey_P12(p12.c_str(), kP12Password, nullptr, 0, 0, nullptr);
        if (m_p12Key == nullptr) throw std::runtime_error("OpenSSLKey_P12 refused the PKCS#12 file");

        const std::string pem = file("key.pem");
        {
            std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new_file(pem.c_str(), "wb"), BIO_free);
            if (!out || PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                                 nullptr) != 1) {
                throw std::runtime_error("cannot write key.pem");
            }
        }
        std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(pem.c_str(), "rb"), BIO_free);
        if (in) m_pemKey.reset(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
        if (!m_pemKey) throw std::runtime_error("cannot read key.pem");

        m_blob.resize(kBlobSize);
        if (RAND_bytes(m_blob.data(), static_cast<int>(m_blob.size())) != 1) {
            throw std::runtime_error("RAND_bytes failed");
        }

        // The input is written once and flushed, so every run reads the same
        // clean pages from the page cache and no later fsync has to wait for
        // it to reach the disk.
        m_input = file("input.bin");
        const int descriptor = ::open(m_input.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (descriptor < 0) throw std::runtime_error("cannot create the input file");
        std::vector<unsigned char> chunk(kMiB);
        try {
            for (std::size_t done = 0; done < kFileSize; done += chunk.size()) {
                if (RAND_bytes(chunk.data(), static_cast<int>(chunk.size())) != 1) {
                    throw std::runtime_error("RAND_bytes failed");
                }
                writeAll(descriptor, chunk.data(), chunk.size());
            }
            if (::fsync(descriptor) != 0) throw std::runtime_error("cannot flush the input file");
        } catch (...) {
            ::close(descriptor);
            throw;
        }
        ::close(descriptor);
    }

    fs::path m_folder;
    std::string m_input;
    std::string m_error;
    kivo::test::X509Ptr m_certificate;
    kivo::test::EvpKeyPtr m_pemKey;
    unsigned long* m_p12Key = nullptr;
    std::vector<unsigned char> m_blob;
};

// The set-up, or null after marking the benchmark skipped.
SigningSetup* setupOrSkip(benchmark::State& state) {
    SigningSetup& setup = SigningSetup::get();
    if (!setup.ready()) {
        state.SkipWithError(setup.error().c_str());
        return nullptr;
    }
    return &setup;
}

// ---- the two ways of signing the file -------------------------------------

bool kivoSignFile(const SigningSetup& setup, const std::string& outFile) {
    std::string in = setup.input();
    std::string out = outFile;
    return CSignMessage::SignDetached(in.data(), out.data(), setup.certificate(), setup.p12Key(),
                                      kSha256, nullptr, 0) == 0;
}

// openssl dgst -sha256 -sign: the digest BIO's context becomes a signing
// context, reading through the chain feeds it, the final call signs.
bool opensslDgstSignFile(const SigningSetup& setup, const std::string& outFile) {
    BIO* out = BIO_new_file(outFile.c_str(), "wb");
    BIO* md = BIO_new(BIO_f_md());
    BIO* in = BIO_new_file(setup.input().c_str(), "rb");
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kDgstBufferSize]);
    bool ok = out != nullptr && md != nullptr && in != nullptr;
    EVP_MD_CTX* context = nullptr;
    ok = ok && BIO_get_md_ctx(md, &context) == 1 &&
         EVP_DigestSignInit_ex(context, nullptr, "SHA256", nullptr, nullptr, setup.pemKey(),
                               nullptr) == 1;
    BIO* chain = ok ? BIO_push(md, in) : nullptr;
    if (chain == nullptr) {
        BIO_free(md);
        BIO_free(in);
    }
    while (ok) {
        const int read = BIO_read(chain, buffer.get(), kDgstBufferSize);
        if (read < 0) ok = false;
        if (read <= 0) break;
    }
    std::size_t length = 0;
    ok = ok && BIO_get_md_ctx(chain, &context) == 1 &&
         EVP_DigestSignFinal(context, nullptr, &length) == 1;
    // The signature goes into the read buffer when it fits, as in openssl dgst.
    std::unique_ptr<unsigned char[]> larger;
    unsigned char* signature = buffer.get();
    if (ok && length > static_cast<std::size_t>(kDgstBufferSize)) {
        larger.reset(new unsigned char[length]);
        signature = larger.get();
    }
    ok = ok && EVP_DigestSignFinal(context, signature, &length) == 1;
    ok = ok && BIO_write(out, signature, static_cast<int>(length)) == static_cast<int>(length);
    BIO_free_all(chain);
    BIO_free(out);
    return ok;
}

void setFileBytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(kFileSize));
}

void BM_Kivo_SignDetachedFile(benchmark::State& state) {
    SigningSetup* setup = setupOrSkip(state);
    if (setup == nullptr) return;
    const std::string out = setup->file("kivo.p7s");
    for (auto _ : state) {
        if (!kivoSignFile(*setup, out)) {
            state.SkipWithError("SignDetached failed");
            break;
        }
    }
    setFileBytes(state);
}

void BM_OpenSSL_DgstSignFile(benchmark::State& state) {
    SigningSetup* setup = setupOrSkip(state);
    if (setup == nullptr) return;
    const std::string out = setup->file("openssl.sig");
    for (auto _ : state) {
        if (!opensslDgstSignFile(*setup, out)) {
            state.SkipWithError("openssl dgst signing failed");
            break;
        }
    }
    setFileBytes(state);
}

// ---- peak memory ----------------------------------------------------------

// Runs `sign` in a forked child; the child's peak resident set in KiB
// (ru_maxrss from wait4), or -1 when the child failed.
template <class Sign>
long childPeakRssKiB(Sign sign) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) ::_exit(sign() ? 0 : 1);
    int status = 0;
    rusage usage{};
    pid_t waited = -1;
    do {
        waited = ::wait4(child, &status, 0, &usage);
    } while (waited < 0 && errno == EINTR);
    if (waited != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;
}

template <class Sign>
void runPeakRss(benchmark::State& state, Sign sign) {
    SigningSetup* setup = setupOrSkip(state);
    if (setup == nullptr) return;
    long peakKiB = 0;
    for (auto _ : state) {
        const long peak = childPeakRssKiB([&] { return sign(*setup); });
        if (peak < 0) {
            state.SkipWithError("signing in the child process failed");
            return;
        }
        peakKiB = std::max(peakKiB, peak);
    }
    state.counters["peak_rss_mib"] = static_cast<double>(peakKiB) / 1024.0;
    state.counters["file_mib"] = static_cast<double>(kFileSize) / static_cast<double>(kMiB);
}

void BM_Kivo_SignDetachedFile_PeakRss(benchmark::State& state) {
    runPeakRss(state, [](const SigningSetup& setup) {
        return kivoSignFile(setup, setup.file("kivo-child.p7s"));
    });
}

void BM_OpenSSL_DgstSignFile_PeakRss(benchmark::State& state) {
    runPeakRss(state, [](const SigningSetup& setup) {
        return opensslDgstSignFile(setup, setup.file("openssl-child.sig"));
    });
}

// ---- 1 KiB in memory --------------------------------------------------------

void BM_Kivo_SignBlob1K_WithLength(benchmark::State& state) {
    SigningSetup* setup = setupOrSkip(state);
    if (setup == nullptr) return;
    const bool embed = state.range(0) != 0;
    std::vector<unsigned char> data = setup->blob();
    const int length = static_cast<int>(data.size());
    for (auto _ : state) {
        unsigned long needed = 0;
        if (CSignMessage::SignBlobSSLForLength(data.data(), length, nullptr, &needed, nullptr,
                                               setup->certificate(), setup->p12Key(), kSha256,
                                               embed, nullptr, 0) != 0) {
            state.SkipWithError("SignBlobSSLForLength failed");
            break;
        }
        std::unique_ptr<unsigned char[]> out(new unsigned char[needed]);
        unsigned long written = needed;
        if (CSignMessage::SignBlobSSL(data.data(), length, out.get(), &written, nullptr,
                                      setup->certificate(), setup->p12Key(), kSha256, embed,
                                      nullptr, 0) != 0) {
            state.SkipWithError("SignBlobSSL failed");
            break;
        }
        benchmark::DoNotOptimize(out.get());
        benchmark::DoNotOptimize(written);
    }
}

void BM_Kivo_SignBlob1K_Preallocated(benchmark::State& state) {
    SigningSetup* setup = setupOrSkip(state);
    if (setup == nullptr) return;
    const bool embed = state.range(0) != 0;
    std::vector<unsigned char> data = setup->blob();
    const int length = static_cast<int>(data.size());
    unsigned long needed = 0;
    if (CSignMessage::SignBlobSSLForLength(data.data(), length, nullptr, &needed, nullptr,
                                           setup->certificate(), setup->p12Key(), kSha256, embed,
                                           nullptr, 0) != 0) {
        state.SkipWithError("SignBlobSSLForLength failed");
        return;
    }
    std::vector<unsigned char> out(needed);
    for (auto _ : state) {
        unsigned long written = needed;
        if (CSignMessage::SignBlobSSL(data.data(), length, out.data(), &written, nullptr,
                                      setup->certificate(), setup->p12Key(), kSha256, embed,
                                      nullptr, 0) != 0) {
            state.SkipWithError("SignBlobSSL failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(written);
    }
}

void BM_OpenSSL_CmsSign1K(benchmark::State& state) {
    SigningSetup* setup = setupOrSkip(state);
    if (setup == nullptr) return;
    const bool embed = state.range(0) != 0;
    const std::vector<unsigned char>& data = setup->blob();
    const unsigned int flags =
        CMS_BINARY | CMS_NOSMIMECAP | CMS_CADES | (embed ? 0u : static_cast<unsigned>(CMS_DETACHED));
    for (auto _ : state) {
        BIO* in = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
        CMS_ContentInfo* cms = in == nullptr ? nullptr
                                             : CMS_sign(setup->certificate(), setup->pemKey(),
                                                        nullptr, in, flags);
        unsigned char* der = nullptr;
        const int derLength = cms == nullptr ? -1 : i2d_CMS_ContentInfo(cms, &der);
        benchmark::DoNotOptimize(der);
        OPENSSL_free(der);
        CMS_ContentInfo_free(cms);
        BIO_free(in);
        if (derLength <= 0) {
            state.SkipWithError("CMS_sign failed");
            break;
        }
    }
}

}  // namespace

BENCHMARK(BM_Kivo_SignDetachedFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_OpenSSL_DgstSignFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_Kivo_SignDetachedFile_PeakRss)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_OpenSSL_DgstSignFile_PeakRss)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_Kivo_SignBlob1K_WithLength)->Unit(benchmark::kMicrosecond)->Arg(0)->Arg(1);
BENCHMARK(BM_Kivo_SignBlob1K_Preallocated)->Unit(benchmark::kMicrosecond)->Arg(0)->Arg(1);
BENCHMARK(BM_OpenSSL_CmsSign1K)->Unit(benchmark::kMicrosecond)->Arg(0)->Arg(1);
