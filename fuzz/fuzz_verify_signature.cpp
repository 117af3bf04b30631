// CVerifyMsg::CheckSignDetached on arbitrary bytes as the signed container,
// over fixed detached content, with the signature, signer validity and
// revocation checks (an empty CRL directory) at a fixed time. The result
// holds only the failure bits the checks define.
#include "fuzz/FuzzInput.h"

#include "VerifyMsg.h"

#include <sys/timeb.h>

namespace {

constexpr unsigned int kKnownBits = 0x80000001u | 0x80000004u | 0x80000200u | 0x80004000u | 0x80008000u |
                                    0x80010000u | 0x80080000u;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kivo::fuzz::ExactCopy signature(data, size);
    unsigned char content[] = "kivo fuzz content";
    char crlDirectory[] = "/nonexistent-kivo-fuzz-crls";
    timeb at{};
    at.time = 1767225600;  // 2026-01-01T00:00:00Z
    CVerifyMsg verifier;
    const auto result = static_cast<unsigned int>(
        verifier.CheckSignDetached(signature.data(), signature.size(), 0, content, sizeof content - 1, 0x19, 0x04,
                                   crlDirectory, nullptr, &at, 0, 0, nullptr, nullptr));
    if ((result & ~kKnownBits) != 0) __builtin_trap();
    return 0;
}
