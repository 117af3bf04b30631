// Throughput of CSHA against OpenSSL's EVP digests on 64-octet, 4 KiB and
// 1 MiB messages. SHA-1 and SHA-256 are measured on the SHA extensions
// (BM_Kivo_SHA*) and on the portable code (BM_Kivo_SHA*_Portable); SHA-384
// and SHA-512 with the AVX schedule and BMI2 rounds (BM_Kivo_SHA*) and on
// the portable code (BM_Kivo_SHA*_Portable). Each iteration hashes one
// whole message, as EVP_DigestInit/Update/Final does for OpenSSL.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <cstdint>
#include <vector>

#include "digest/Sha.h"
#include "digest/ShaHardware.h"

namespace {

std::vector<unsigned char> ShaBenchInput(std::size_t length) {
    std::vector<unsigned char> data(length);
    std::uint32_t x = 0x9e3779b9u;
    for (auto& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(x >> 24);
    }
    return data;
}

void RunKivoSha(benchmark::State& state, int variant, bool hardware) {
    const bool saved = kivo::sha_detail::ActivePaths() != 0;
    kivo::SetShaHardwareAllowed(hardware);
    const unsigned wanted = variant <= 1 ? kivo::sha_detail::kPathShaExtensions
                                         : kivo::sha_detail::kPathSha512Vector;
    if (hardware && (kivo::sha_detail::ActivePaths() & wanted) == 0) {
        state.SkipWithError("processor lacks the instructions of this path");
        kivo::SetShaHardwareAllowed(saved);
        return;
    }
    const auto data = ShaBenchInput(static_cast<std::size_t>(state.range(0)));
    CSHA sha(variant);
    unsigned char out[64];
    for (auto _ : state) {
        sha.Reset();
        sha.Update(data.data(), static_cast<std::uint32_t>(data.size()));
        sha.Final(out);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
    kivo::SetShaHardwareAllowed(saved);
}

void RunOpenSslSha(benchmark::State& state, const char* name) {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (md == nullptr || ctx == nullptr) {
        state.SkipWithError("OpenSSL digest unavailable");
        EVP_MD_CTX_free(ctx);
        EVP_MD_free(md);
        return;
    }
    const auto data = ShaBenchInput(static_cast<std::size_t>(state.range(0)));
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLen = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, out, &outLen);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
}

void BM_Kivo_SHA1(benchmark::State& state) { RunKivoSha(state, 0, true); }
void BM_Kivo_SHA1_Portable(benchmark::State& state) { RunKivoSha(state, 0, false); }
void BM_OpenSSL_SHA1(benchmark::State& state) { RunOpenSslSha(state, "SHA1"); }
void BM_Kivo_SHA256(benchmark::State& state) { RunKivoSha(state, 1, true); }
void BM_Kivo_SHA256_Portable(benchmark::State& state) { RunKivoSha(state, 1, false); }
void BM_OpenSSL_SHA256(benchmark::State& state) { RunOpenSslSha(state, "SHA256"); }
void BM_Kivo_SHA384(benchmark::State& state) { RunKivoSha(state, 2, true); }
void BM_Kivo_SHA384_Portable(benchmark::State& state) { RunKivoSha(state, 2, false); }
void BM_OpenSSL_SHA384(benchmark::State& state) { RunOpenSslSha(state, "SHA384"); }
void BM_Kivo_SHA512(benchmark::State& state) { RunKivoSha(state, 3, true); }
void BM_Kivo_SHA512_Portable(benchmark::State& state) { RunKivoSha(state, 3, false); }
void BM_OpenSSL_SHA512(benchmark::State& state) { RunOpenSslSha(state, "SHA512"); }

}  // namespace

#define KIVO_SHA_SIZES Arg(64)->Arg(4096)->Arg(1 << 20)
BENCHMARK(BM_Kivo_SHA1)->KIVO_SHA_SIZES;
BENCHMARK(BM_Kivo_SHA1_Portable)->KIVO_SHA_SIZES;
BENCHMARK(BM_OpenSSL_SHA1)->KIVO_SHA_SIZES;
BENCHMARK(BM_Kivo_SHA256)->KIVO_SHA_SIZES;
BENCHMARK(BM_Kivo_SHA256_Portable)->KIVO_SHA_SIZES;
BENCHMARK(BM_OpenSSL_SHA256)->KIVO_SHA_SIZES;
BENCHMARK(BM_Kivo_SHA384)->KIVO_SHA_SIZES;
BENCHMARK(BM_Kivo_SHA384_Portable)->KIVO_SHA_SIZES;
BENCHMARK(BM_OpenSSL_SHA384)->KIVO_SHA_SIZES;
BENCHMARK(BM_Kivo_SHA512)->KIVO_SHA_SIZES;
BENCHMARK(BM_Kivo_SHA512_Portable)->KIVO_SHA_SIZES;
BENCHMARK(BM_OpenSSL_SHA512)->KIVO_SHA_SIZES;
