#include "pkcs11/Attributes.h"

#include <algorithm>
#include <cstring>

namespace kivo::p11 {

std::optional<std::vector<Attribute>> readTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    if (attributes == nullptr && count != 0) return std::nullopt;
    std::vector<Attribute> search;
    search.reserve(count);
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& given = attributes[i];
        if (given.pValue == nullptr && given.ulValueLen != 0) return std::nullopt;
        // A length no real attribute has is refused before anything is read.
        if (given.ulValueLen > (CK_ULONG{1} << 20)) return std::nullopt;
        const auto* value = static_cast<const std::uint8_t*>(given.pValue);
        search.push_back({given.type, value == nullptr ? Bytes{} : Bytes(value, value + given.ulValueLen)});
    }
    return search;
}

void AttributeSet::put(Entry entry) {
    const auto same = [&](const Entry& kept) { return kept.type == entry.type; };
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(), same), m_entries.end());
    m_entries.push_back(std::move(entry));
}

void AttributeSet::set(CK_ATTRIBUTE_TYPE type, Bytes value) { put({type, std::move(value), false}); }

void AttributeSet::setBool(CK_ATTRIBUTE_TYPE type, bool value) {
    set(type, Bytes{static_cast<std::uint8_t>(value ? CK_TRUE : CK_FALSE)});
}

void AttributeSet::setNumber(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    set(type, std::move(bytes));
}

void AttributeSet::setSensitive(CK_ATTRIBUTE_TYPE type) { put({type, {}, true}); }

const AttributeSet::Entry* AttributeSet::entry(CK_ATTRIBUTE_TYPE type) const {
    const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                    [&](const Entry& kept) { return kept.type == type; });
    return found == m_entries.end() ? nullptr : &*found;
}

const Bytes* AttributeSet::find(CK_ATTRIBUTE_TYPE type) const {
    const Entry* found = entry(type);
    return found == nullptr || found->sensitive ? nullptr : &found->value;
}

std::optional<CK_ULONG> AttributeSet::number(CK_ATTRIBUTE_TYPE type) const {
    const Bytes* value = find(type);
    if (value == nullptr || value->size() != sizeof(CK_ULONG)) return std::nullopt;
    CK_ULONG number = 0;
    std::memcpy(&number, value->data(), sizeof number);
    return number;
}

CK_RV AttributeSet::copyInto(CK_ATTRIBUTE* attributes, CK_ULONG count) const {
    if (attributes == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
    CK_RV result = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& wanted = attributes[i];
        const Entry* found = entry(wanted.type);
        if (found == nullptr || found->sensitive) {
            wanted.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = found == nullptr ? CKR_ATTRIBUTE_TYPE_INVALID : CKR_ATTRIBUTE_SENSITIVE;
        } else if (wanted.pValue == nullptr) {
            wanted.ulValueLen = found->value.size();
        } else if (wanted.ulValueLen < found->value.size()) {
            wanted.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!found->value.empty()) std::memcpy(wanted.pValue, found->value.data(), found->value.size());
            wanted.ulValueLen = found->value.size();
        }
    }
    return result;
}

bool AttributeSet::matches(const std::vector<Attribute>& search) const {
    return std::all_of(search.begin(), search.end(), [&](const Attribute& wanted) {
        const Bytes* value = find(wanted.type);
        return value != nullptr && *value == wanted.value;
    });
}

}  // namespace kivo::p11
