// The attributes of one token object and the two ways a caller meets them:
// C_GetAttributeValue (copied out under the size-query rules) and the
// search templates of C_FindObjectsInit (matched byte for byte).
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace kivo::p11 {

using Bytes = std::vector<std::uint8_t>;

// One attribute of a caller's template, copied out of the caller's memory.
struct Attribute {
    CK_ATTRIBUTE_TYPE type = 0;
    Bytes value;
};

// The caller's template as attributes; nothing (CKR_ARGUMENTS_BAD) for a
// null template with entries, or an entry whose value pointer is null
// although its length is not 0.
std::optional<std::vector<Attribute>> readTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count);

class AttributeSet {
public:
    void set(CK_ATTRIBUTE_TYPE type, Bytes value);
    void setBool(CK_ATTRIBUTE_TYPE type, bool value);
    void setNumber(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
    // An attribute the object has but never hands out (private key parts).
    void setSensitive(CK_ATTRIBUTE_TYPE type);

    // The value of `type`; null when the object has no such attribute or
    // it is sensitive.
    const Bytes* find(CK_ATTRIBUTE_TYPE type) const;
    std::optional<CK_ULONG> number(CK_ATTRIBUTE_TYPE type) const;

    // Fills the caller's template: a null value pointer asks for the
    // length; a value too small, a sensitive or an unknown attribute gets
    // the length CK_UNAVAILABLE_INFORMATION and its error, and the others
    // are still filled (the error of the last such entry is returned).
    CK_RV copyInto(CK_ATTRIBUTE* attributes, CK_ULONG count) const;
    // Whether every attribute of the template has exactly that value here.
    bool matches(const std::vector<Attribute>& search) const;

private:
    struct Entry {
        CK_ATTRIBUTE_TYPE type;
        Bytes value;
        bool sensitive;
    };
    const Entry* entry(CK_ATTRIBUTE_TYPE type) const;
    void put(Entry entry);

    std::vector<Entry> m_entries;
};

}  // namespace kivo::p11
