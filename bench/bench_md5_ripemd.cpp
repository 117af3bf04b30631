// Throughput of CMD5 and CRIPEMD (RIPEMD-160) against OpenSSL's EVP digests
// on short, medium and long messages.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <vector>

#include "digest/Md5.h"
#include "digest/Ripemd.h"

namespace {

std::vector<unsigned char> BenchInput(std::size_t length) {
    std::vector<unsigned char> data(length);
    std::uint32_t x = 0x12345678u;
    for (auto& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(x >> 24);
    }
    return data;
}

// RIPEMD-160 sits in the default provider of current OpenSSL 3.0 releases
// and only in the legacy provider of older ones.
EVP_MD* FetchDigest(const char* name) {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md == nullptr) {
        OSSL_PROVIDER_load(nullptr, "legacy");
        OSSL_PROVIDER_load(nullptr, "default");
        md = EVP_MD_fetch(nullptr, name, nullptr);
    }
    return md;
}

void RunKivo(benchmark::State& state, IMessageDigest& md) {
    const auto data = BenchInput(static_cast<std::size_t>(state.range(0)));
    unsigned char out[64];
    for (auto _ : state) {
        md.Reset();
        md.Update(data.data(), static_cast<std::uint32_t>(data.size()));
        md.Final(out);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            state.range(0));
}

void RunOpenSsl(benchmark::State& state, const char* name) {
    EVP_MD* md = FetchDigest(name);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (md == nullptr || ctx == nullptr) {
        state.SkipWithError("OpenSSL digest unavailable");
        EVP_MD_CTX_free(ctx);
        EVP_MD_free(md);
        return;
    }
    const auto data = BenchInput(static_cast<std::size_t>(state.range(0)));
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLen = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, out, &outLen);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            state.range(0));
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
}

void BM_Kivo_MD5(benchmark::State& state) {
    CMD5 md;
    RunKivo(state, md);
}

void BM_OpenSSL_MD5(benchmark::State& state) { RunOpenSsl(state, "MD5"); }

void BM_Kivo_RIPEMD160(benchmark::State& state) {
    CRIPEMD md(1);
    RunKivo(state, md);
}

void BM_OpenSSL_RIPEMD160(benchmark::State& state) { RunOpenSsl(state, "RIPEMD160"); }

}  // namespace

BENCHMARK(BM_Kivo_MD5)->Arg(64)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_OpenSSL_MD5)->Arg(64)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_Kivo_RIPEMD160)->Arg(64)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_OpenSSL_RIPEMD160)->Arg(64)->Arg(4096)->Arg(1 << 20);
