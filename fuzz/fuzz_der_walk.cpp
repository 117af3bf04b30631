// Walks arbitrary bytes as DER: every element, entered and stepped over,
// with lengths, sizes and tags read on the way.
#include "fuzz/FuzzInput.h"

#include "asn1/Asn1Der.h"

namespace {

constexpr int kMaxDepth = 64;

void walk(Asn1Cursor cursor, int depth) {
    if (depth > kMaxDepth) return;
    int siblings = 0;
    do {
        const unsigned char* element = cursor.ptr;
        const std::size_t available = static_cast<std::size_t>(cursor.limit - element);
        std::uint32_t offset = 0;
        const std::uint32_t length = Asn1GetLength(element, &offset, available);
        (void)length;
        (void)Asn1Tag(element);
        (void)Asn1TagClass(element);
        (void)Asn1TagNumber(element);
        Asn1Cursor child = cursor;
        if (Asn1Enter(element, &child) && child.size != 0) walk(child, depth + 1);
    } while (++siblings < 100000 && Asn1Next(cursor.ptr, &cursor));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kivo::fuzz::ExactCopy input(data, size);
    const Asn1Cursor start = Asn1Begin(input.data(), input.size());
    if (start.size != 0) walk(start, 0);
    (void)kivo::asn1::elementSize(input.data(), input.size());
    return 0;
}
