// Conversions between raw r‖s and the DER ECDSA-Sig-Value.

#include "asn1/EcdsaSignature.h"

#include "asn1/Asn1Der.h"

#include <algorithm>
#include <cstdint>

using kivo::asn1::Id;

namespace kivo::asn1 {
namespace {
constexpr std::size_t kMaxHeader = 1 + 5;

// Half sizes of r‖s, in octets, for curves of 256 bits and above; smaller
// curves share the 32-octet form.
constexpr std::size_t kHalfSizes[] = {32, 40, 48, 64, 66};

std::span<const unsigned char> withoutLeadingZeros(std::span<const unsigned char> value) {
    while (value.size() > 1 && value[0] == 0) value = value.subspan(1);
    return value;
}

void appendHeader(std::vector<unsigned char>& out, Id identifier, std::size_t length) {
    unsigned char header[kMaxHeader];
    header[0] = octet(identifier);
    const std::uint32_t count = 1 + writeLength(header + 1, static_cast<std::uint32_t>(length));
    out.insert(out.end(), header, header + count);
}

// INTEGER content of a non-negative value given without sign octet.
std::vector<unsigned char> integerContent(std::span<const unsigned char> magnitude) {
    const auto value = withoutLeadingZeros(magnitude);
    const std::size_t sign = value[0] >= 0x80 ? 1 : 0;
    std::vector<unsigned char> content(sign + value.size(), 0x00);
    std::copy(value.begin(), value.end(), content.begin() + static_cast<std::ptrdiff_t>(sign));
    return content;
}

// The INTEGER element at `p` within `available` octets: its content.
bool readInteger(const unsigned char* p, std::size_t available, std::span<const unsigned char>* content,
                 std::uint32_t* size) {
    std::uint32_t header = 0;
    std::uint32_t length = 0;
    if (available < 2 || p[0] != Id::Integer || p[1] == 0x80) return false;
    if (!parseHeader(p, available, &header, &length) || length == 0) return false;
    *content = {p + header, length};
    *size = header + length;
    return true;
}

}  // namespace

std::vector<unsigned char> ecdsaDerFromRaw(std::span<const unsigned char> raw) {
    if (raw.empty() || raw.size() % 2 != 0) return {};
    const std::size_t half = raw.size() / 2;
    const std::vector<unsigned char> r = integerContent(raw.first(half));
    const std::vector<unsigned char> s = integerContent(raw.subspan(half));

    std::vector<unsigned char> integers;
    appendHeader(integers, Id::Integer, r.size());
    integers.insert(integers.end(), r.begin(), r.end());
    appendHeader(integers, Id::Integer, s.size());
    integers.insert(integers.end(), s.begin(), s.end());

    std::vector<unsigned char> der;
    appendHeader(der, Id::Sequence, integers.size());
    der.insert(der.end(), integers.begin(), integers.end());
    return der;
}

RawSignatureForm ecdsaRawFromDer(std::span<const unsigned char> signature,
                                 std::vector<unsigned char>* raw) {
    raw->clear();
    std::uint32_t header = 0;
    std::uint32_t length = 0;
    if (signature.size() < 2 || signature[0] != Id::Sequence ||
        !parseHeader(signature.data(), signature.size(), &header, &length) || length < 2 ||
        signature[header] != Id::Integer) {
        return RawSignatureForm::kCopy;
    }
    if (signature[1] == 0x80) return RawSignatureForm::kNone;  // DER has no indefinite form

    const unsigned char* p = signature.data() + header;
    const unsigned char* end = p + length;
    std::span<const unsigned char> r;
    std::span<const unsigned char> s;
    std::uint32_t size = 0;
    if (!readInteger(p, static_cast<std::size_t>(end - p), &r, &size)) return RawSignatureForm::kNone;
    p += size;
    if (p >= end || !readInteger(p, static_cast<std::size_t>(end - p), &s, &size)) {
        return RawSignatureForm::kNone;
    }
    if (p + size != end) return RawSignatureForm::kNone;  // exactly two INTEGERs

    r = withoutLeadingZeros(r);
    s = withoutLeadingZeros(s);
    const std::size_t longest = std::max(r.size(), s.size());
    const auto* fit = std::find_if(std::begin(kHalfSizes), std::end(kHalfSizes),
                                   [&](std::size_t half) { return longest <= half; });
    if (fit == std::end(kHalfSizes)) return RawSignatureForm::kNone;
    const std::size_t half = *fit;

    raw->assign(2 * half, 0x00);
    std::copy(r.begin(), r.end(), raw->begin() + static_cast<std::ptrdiff_t>(half - r.size()));
    std::copy(s.begin(), s.end(), raw->end() - static_cast<std::ptrdiff_t>(s.size()));
    return RawSignatureForm::kRaw;
}

}  // namespace kivo::asn1
