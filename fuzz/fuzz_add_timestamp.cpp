// Time-stamp insertion into arbitrary containers: the first two octets
// give the token length and the room left after the token, the token is
// taken from the end of the input and the container is the rest. The
// buffer is a heap block of exactly the room given, so that AddressSanitizer
// sees any write past it; a result longer than the room, or one that no
// longer reads as a SignedData that could take another token, aborts.
#include "fuzz/FuzzInput.h"

#include "PKCS7SSL.h"
#include "src/container/Pkcs7Layout.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t tokenLength = data[0] * 16u;
    const std::size_t slack = data[1];
    data += 2;
    size -= 2;
    if (tokenLength > size) return 0;
    const std::size_t length = size - tokenLength;
    const std::vector<unsigned char> token(data + length, data + size);
    const std::size_t capacity = length + tokenLength + slack;

    std::vector<unsigned char> initial(capacity, 0xEE);
    if (length > 0) std::memcpy(initial.data(), data, length);
    kivo::fuzz::ExactCopy buffer(initial.data(), capacity);
    std::size_t newLength = 0;
    const auto expected = kivo::pkcs7::timeStampedLength({buffer.data(), length}, token.size());
    if (kivo::pkcs7::appendTimeStampToken(buffer.data(), length, capacity, token, &newLength)) {
        if (!expected || newLength != *expected || newLength > capacity) std::abort();
        if (!kivo::pkcs7::timeStampedLength({buffer.data(), newLength}, 1)) std::abort();
    }

    // The exported member with the room it promises to need.
    initial.resize(length + 25 + tokenLength, 0xEE);
    kivo::fuzz::ExactCopy room(initial.data(), initial.size());
    std::vector<unsigned char> tokenCopy = token;
    unsigned long stampedLength = static_cast<unsigned long>(length);
    if (CPKCS7SSL::AddTimeStamp(room.data(), &stampedLength, tokenCopy.empty() ? nullptr : tokenCopy.data(),
                                static_cast<unsigned long>(tokenCopy.size())) == 0 &&
        stampedLength > length + 25 + tokenLength) {
        std::abort();
    }
    return 0;
}
