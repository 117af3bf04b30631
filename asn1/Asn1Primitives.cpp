// The leaf classes: decode and encode of the universal types the CMS
// structures are built from.

#include "asn1/Asn1Primitives.h"

#include <charconv>
#include <cstring>
#include <ctime>
#include <vector>

using kivo::asn1::Id;
using kivo::asn1::tagNumber;

namespace {


std::string hexOf(std::span<const unsigned char> octets) {
    std::string text;
    BytesToHex(octets.data(), octets.size(), &text);
    return text;
}

// Big-endian two's-complement content as a 32-bit value; false when it
// does not fit. Leading octets that only repeat the sign are skipped.
bool twosComplementValue(std::span<const unsigned char> content, std::int32_t* value) {
    std::size_t first = 0;
    while (content.size() - first > 1) {
        const unsigned char lead = content[first];
        const bool nextNegative = (content[first + 1] & 0x80) != 0;
        if ((lead == 0x00 && !nextNegative) || (lead == 0xFF && nextNegative)) {
            ++first;
        } else {
            break;
        }
    }
    const std::size_t count = content.size() - first;
    if (count > 4) return false;
    std::uint32_t bits = (content[first] & 0x80) != 0 ? 0xFFFFFFFFu : 0u;
    for (std::size_t i = first; i < content.size(); ++i) bits = (bits << 8) | content[i];
    *value = static_cast<std::int32_t>(bits);
    return true;
}

// One OID arc: decimal digits only, fitting 32 bits.
bool parseArc(const std::string& piece, std::uint32_t* arc) {
    if (piece.empty()) return false;
    for (const char c : piece) {
        if (c < '0' || c > '9') return false;
    }
    const char* end = piece.data() + piece.size();
    const auto [stop, status] = std::from_chars(piece.data(), end, *arc);
    return status == std::errc() && stop == end;
}

void appendBase128(std::vector<unsigned char>& out, std::uint32_t arc) {
    unsigned char groups[5];
    int count = 0;
    do {
        groups[count++] = static_cast<unsigned char>(arc & 0x7F);
        arc >>= 7;
    } while (arc != 0);
    while (count > 1) out.push_back(static_cast<unsigned char>(groups[--count] | 0x80));
    out.push_back(groups[0]);
}

constexpr std::size_t kMaxOidContent = 127;  // one short-form length octet

// ParseUtcTimeText gives 0 both for unusable text and for the first second
// of 1970; only the latter is a time.
bool readUtcTime(std::string_view text, std::int64_t* seconds) {
    *seconds = ParseUtcTimeText(text);
    return *seconds != 0 || text.starts_with("7001010000");
}

}  // namespace

// ---- INTEGER -----------------------------------------------------------------

CAsn1_Int::CAsn1_Int(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Integer);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_Int::CAsn1_Int(std::int32_t value) : m_value(value) {
    tag = tagNumber(Id::Integer);
    encode();
}

bool CAsn1_Int::decode() {
    return guarded([&] {
        std::span<const unsigned char> content;
        if (!ownElement(Id::Integer, &content) || content.empty()) return false;
        m_text = hexOf(content);
        if (!twosComplementValue(content, &m_value)) m_value = 0;
        return true;
    });
}

bool CAsn1_Int::encode() {
    return guarded([&] {
        const auto bits = static_cast<std::uint32_t>(m_value);
        unsigned char octets[4] = {static_cast<unsigned char>(bits >> 24),
                                   static_cast<unsigned char>(bits >> 16),
                                   static_cast<unsigned char>(bits >> 8),
                                   static_cast<unsigned char>(bits)};
        std::size_t first = 0;
        while (first < 3) {
            const bool nextNegative = (octets[first + 1] & 0x80) != 0;
            if ((octets[first] == 0x00 && !nextNegative) || (octets[first] == 0xFF && nextNegative)) {
                ++first;
            } else {
                break;
            }
        }
        const std::span<const unsigned char> content(octets + first, 4 - first);
        if (!storeElement(Id::Integer, content)) return false;
        m_text = hexOf(content);
        return true;
    });
}

// ---- OBJECT IDENTIFIER -------------------------------------------------------

CAsn1_Oid::CAsn1_Oid(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Oid);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_Oid::CAsn1_Oid(const CAsn1_Oid& other) : CAsn1Base() {
    tag = tagNumber(Id::Oid);
    if (!guarded([&] {
            m_dotted = other.m_dotted;
            m_name = other.m_name;
            return true;
        })) {
        return;
    }
    encode();
}

CAsn1_Oid::CAsn1_Oid(std::string_view dotted, std::string_view name) {
    tag = tagNumber(Id::Oid);
    if (!guarded([&] {
            m_dotted = dotted;
            m_name = name;
            return true;
        })) {
        return;
    }
    encode();
}

bool CAsn1_Oid::decode() {
    return guarded([&] {
        std::span<const unsigned char> content;
        if (!ownElement(Id::Oid, &content) || content.empty()) return false;
        elementSize = static_cast<std::uint32_t>(content.size());
        const char* text =
            Asn1OidToText(content.data(), static_cast<std::uint32_t>(content.size()), true);
        if (text == nullptr || text[0] == '\0') return false;
        m_dotted = text;
        const char* registered = OidToName(m_dotted.c_str());
        m_name = registered != nullptr ? registered : "";
        return true;
    });
}

bool CAsn1_Oid::encode() {
    // A refused OID leaves the previous encoding in place, so the work is
    // done on locals first.
    return guarded([&] {
        const std::vector<std::string> pieces = SplitString(m_dotted, ".");
        if (pieces.size() < 3) return false;
        std::vector<std::uint32_t> arcs(pieces.size());
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (!parseArc(pieces[i], &arcs[i])) return false;
        }
        if (arcs[0] >= 3 || arcs[1] >= 40) return false;
        std::vector<unsigned char> content;
        content.push_back(static_cast<unsigned char>(40 * arcs[0] + arcs[1]));
        for (std::size_t i = 2; i < arcs.size(); ++i) appendBase128(content, arcs[i]);
        if (content.size() > kMaxOidContent) return false;
        if (!storeElement(Id::Oid, content)) return false;
        elementSize = static_cast<std::uint32_t>(content.size());
        return true;
    });
}

// ---- OCTET STRING ------------------------------------------------------------

CAsn1_OctetString::CAsn1_OctetString(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::OctetString);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_OctetString::CAsn1_OctetString(std::string_view hex) {
    tag = tagNumber(Id::OctetString);
    if (!guarded([&] {
            m_text = hex;
            return true;
        })) {
        return;
    }
    encode();
}

std::unique_ptr<CAsn1_OctetString> CAsn1_OctetString::fromOctets(const unsigned char* octets,
                                                                 std::size_t length) {
    try {
        std::unique_ptr<CAsn1_OctetString> object(new CAsn1_OctetString());
        object->tag = tagNumber(Id::OctetString);
        object->guarded([&] {
            if (octets == nullptr && length != 0) return false;
            const std::span<const unsigned char> content(octets, length);
            if (!object->storeElement(Id::OctetString, content)) return false;
            object->m_text = hexOf(content);
            return true;
        });
        return object;
    } catch (...) {
        return nullptr;
    }
}

std::span<const unsigned char> CAsn1_OctetString::content() const {
    std::uint32_t header = 0;
    std::uint32_t length = 0;
    if (!pb || !kivo::asn1::parseHeader(pb.get(), cb, &header, &length)) return {};
    return {pb.get() + header, length};
}

bool CAsn1_OctetString::decode() {
    return guarded([&] {
        std::span<const unsigned char> content;
        if (!ownElement(Id::OctetString, &content)) return false;
        m_text = hexOf(content);
        return true;
    });
}

bool CAsn1_OctetString::encode() {
    return guarded([&] {
        std::vector<unsigned char> octets;
        if (!HexToBytes(m_text, &octets)) return false;
        if (!storeElement(Id::OctetString, octets)) return false;
        m_text = hexOf(octets);  // the canonical form: upper case, no separators
        return true;
    });
}

// ---- BIT STRING --------------------------------------------------------------

CAsn1_BitString::CAsn1_BitString(const unsigned char* der, std::size_t length) {
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_BitString::decode() {
    return guarded([&] {
        std::span<const unsigned char> content;
        if (!ownElement(Id::BitString, &content) || content.empty()) return false;
        m_text = hexOf(content.subspan(1));
        return true;
    });
}

bool CAsn1_BitString::encode() { return true; }

// ---- BMPString ---------------------------------------------------------------

CAsn1_BmpString::CAsn1_BmpString(const unsigned char* der, std::size_t length) {
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_BmpString::decode() {
    return guarded([&] {
        std::span<const unsigned char> content;
        if (!ownElement(Id::BmpString, &content) || content.size() % 2 != 0) return false;
        const std::size_t units = content.size() / 2;
        if (units >= kivo::asn1::kTextBufferSize / sizeof(char16_t)) return false;
        const char16_t* wide = Asn1BmpToWide(pb.get(), elementSize);
        if (wide == nullptr) return false;
        // One octet per UTF-16 unit, as the name renderer does: Latin-1
        // characters as they are, anything beyond U+00FF as '?'.
        std::string text;
        text.reserve(units);
        for (std::size_t i = 0; i < units; ++i) {
            const char16_t unit = wide[i];
            text.push_back(unit < 0x100 ? static_cast<char>(unit) : '?');
        }
        m_text = std::move(text);
        return true;
    });
}

bool CAsn1_BmpString::encode() { return true; }

// ---- UTCTime -----------------------------------------------------------------

CAsn1_UtcTime::CAsn1_UtcTime(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::UtcTime);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_UtcTime::CAsn1_UtcTime(std::int64_t seconds) : m_time(seconds) {
    tag = tagNumber(Id::UtcTime);
    encode();
}

CAsn1_UtcTime::CAsn1_UtcTime(const std::int64_t* seconds) {
    tag = tagNumber(Id::UtcTime);
    if (seconds == nullptr) {
        fail();
        return;
    }
    m_time = *seconds;
    encode();
}

CAsn1_UtcTime::CAsn1_UtcTime(std::string_view text) {
    tag = tagNumber(Id::UtcTime);
    if (!readUtcTime(text, &m_time)) {
        fail();
        return;
    }
    encode();
}

bool CAsn1_UtcTime::decode() {
    return guarded([&] {
        std::span<const unsigned char> content;
        if (!ownElement(Id::UtcTime, &content)) return false;
        return readUtcTime(
            std::string_view(reinterpret_cast<const char*>(content.data()), content.size()),
            &m_time);
    });
}

bool CAsn1_UtcTime::encode() {
    constexpr std::size_t kTextLength = 13;  // YYMMDDhhmmssZ
    return guarded([&] {
        const auto seconds = static_cast<std::time_t>(m_time);
        if (static_cast<std::int64_t>(seconds) != m_time) return false;
        std::tm fields{};
        if (gmtime_r(&seconds, &fields) == nullptr) return false;
        if (fields.tm_year < -1900 || fields.tm_year > 9999 - 1900) return false;
        char text[kTextLength + 1];
        if (std::strftime(text, sizeof text, "%y%m%d%H%M%SZ", &fields) != kTextLength) return false;
        if (!storeElement(Id::UtcTime, std::span<const unsigned char>(
                                        reinterpret_cast<const unsigned char*>(text), kTextLength))) {
            return false;
        }
        return decode();
    });
}

// ---- NULL --------------------------------------------------------------------

CAsn1_NullTag::CAsn1_NullTag() {
    tag = tagNumber(Id::Null);
    guarded([&] { return storeElement(Id::Null, {}); });
}

bool CAsn1_NullTag::decode() { return true; }
bool CAsn1_NullTag::encode() { return true; }

// ---- any element -------------------------------------------------------------

CAsn1_Universal::CAsn1_Universal(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    guarded([&] { return copyBytes(der, length); });
}

bool CAsn1_Universal::decode() { return true; }
bool CAsn1_Universal::encode() { return true; }
