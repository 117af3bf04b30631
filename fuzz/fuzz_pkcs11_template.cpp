// The attribute templates of the PKCS#11 module: a caller's template built
// from the input (types, lengths, value pointers that may be null, value
// buffers in heap blocks of exactly their length), read as a search
// template and filled as C_GetAttributeValue does. Whatever the input,
// nothing is read or written outside the caller's buffers (as long as they
// are as long as the caller says), and what is copied out is the object's
// value.
#include "pkcs11/Attributes.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const kivo::p11::AttributeSet& object() {
    static const kivo::p11::AttributeSet attributes = [] {
        kivo::p11::AttributeSet set;
        set.setNumber(CKA_CLASS, CKO_PRIVATE_KEY);
        set.setBool(CKA_TOKEN, true);
        set.set(CKA_LABEL, {'k', 'e', 'y'});
        set.set(CKA_ID, {});
        set.set(CKA_MODULUS, std::vector<std::uint8_t>(256, 0xA5));
        set.setSensitive(CKA_PRIVATE_EXPONENT);
        return set;
    }();
    return attributes;
}

const CK_ATTRIBUTE_TYPE kTypes[] = {CKA_CLASS, CKA_TOKEN, CKA_LABEL, CKA_ID, CKA_MODULUS, CKA_PRIVATE_EXPONENT,
                                    CKA_VALUE, CKA_SIGN};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Records of three octets (type, flags, length) and the value octets.
    std::vector<CK_ATTRIBUTE> caller;
    std::vector<std::unique_ptr<std::uint8_t[]>> buffers;
    std::size_t at = 0;
    while (at + 3 <= size && caller.size() < 16) {
        const std::uint8_t flags = data[at + 1];
        CK_ULONG length = data[at + 2];
        const CK_ATTRIBUTE_TYPE type = kTypes[data[at] % (sizeof kTypes / sizeof kTypes[0])];
        at += 3;
        const std::size_t present = std::min<std::size_t>(length, size - at);
        std::unique_ptr<std::uint8_t[]> value;
        if ((flags & 1) == 0) {
            value = std::make_unique<std::uint8_t[]>(present == 0 ? 1 : present);
            if (present != 0) std::memcpy(value.get(), data + at, present);
            length = present;
        }
        at += present;
        // A length without a buffer (refused as a template) may be any size.
        if (!value && (flags & 2) != 0) length += 0x100000000ULL;
        caller.push_back({type, value.get(), length});
        buffers.push_back(std::move(value));
    }
    const auto search = kivo::p11::readTemplate(caller.data(), caller.size());
    if (search) object().matches(*search);
    if (object().copyInto(caller.data(), caller.size()) == CKR_ARGUMENTS_BAD) std::abort();
    for (const CK_ATTRIBUTE& filled : caller) {
        const kivo::p11::Bytes* value = object().find(filled.type);
        if (filled.ulValueLen == CK_UNAVAILABLE_INFORMATION) continue;
        if (value == nullptr || filled.ulValueLen != value->size()) std::abort();
        if (filled.pValue != nullptr && !value->empty() && std::memcmp(filled.pValue, value->data(), value->size()) != 0) {
            std::abort();
        }
    }
    return 0;
}
