// The judging of a proxy's answer to CONNECT on arbitrary bytes: the
// status line verdict at once, and the header scan both at once and in
// pieces whose sizes the input's first byte picks; both must agree.
#include "fuzz/FuzzInput.h"

#include "src/revocation/ProxyTunnel.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = 1 + data[0];
    kivo::fuzz::ExactCopy input(data + 1, size - 1);
    const std::size_t length = size - 1;

    const kivo::proxy::Reply reply = kivo::proxy::judgeReply(input.data(), length);
    if (reply.headerLength > length) __builtin_trap();
    if (reply.verdict != kivo::proxy::Verdict::Insufficient && length < 12) __builtin_trap();

    kivo::proxy::HeaderScanner scanner;
    std::size_t used = 0;
    for (std::size_t at = 0; at < length && !scanner.complete(); at += piece) {
        const std::size_t count = std::min(piece, length - at);
        const std::size_t taken = scanner.feed(input.data() + at, count);
        if (taken > count) __builtin_trap();
        used += taken;
    }
    if (scanner.complete() != reply.headerComplete) __builtin_trap();
    if (reply.headerComplete && used != reply.headerLength) __builtin_trap();
    return 0;
}
