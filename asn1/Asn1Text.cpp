// DER values as text, conversions between hex and octets, UTCTime text.
//
// Every text result is written into a buffer of kTextBufferSize octets that
// belongs to the function and the calling thread. A result that would not
// fit, including its terminating zero, is refused: the function returns an
// empty text rather than a shortened one, so that a caller never mistakes a
// cut value for the whole value.

#include <cstring>

#include "asn1/Asn1Der.h"
#include "asn1/Asn1TextInternal.h"
#include "asn1/OidRegistry.h"

using kivo::asn1::Id;

namespace kivo::asn1 {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

thread_local char tContentHex[kTextBufferSize];
thread_local char tBitStringHex[kTextBufferSize];
thread_local char tContentString[kTextBufferSize];
thread_local char16_t tBmpWide[kTextBufferSize / sizeof(char16_t)];
thread_local char tOidText[kTextBufferSize];
thread_local char tDateText[kTextBufferSize];
thread_local char tNameText[kTextBufferSize];

// Writes `count` octets as upper-case hex followed by a zero into `out`,
// which holds kTextBufferSize octets; empty when they would not fit.
const char* hexInto(char* out, const unsigned char* octets, std::uint32_t count) {
    out[0] = '\0';
    if (std::size_t{count} * 2 + 1 > kTextBufferSize) return out;
    char* q = out;
    for (std::uint32_t i = 0; i < count; ++i) {
        *q++ = kHexDigits[octets[i] >> 4];
        *q++ = kHexDigits[octets[i] & 0x0F];
    }
    *q = '\0';
    return out;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Value of the two decimal digits at `text`, or -1.
int twoDigits(const char* text) {
    if (!isDigit(text[0]) || !isDigit(text[1])) return -1;
    return (text[0] - '0') * 10 + (text[1] - '0');
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t daysFromCivil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const int yearOfEra = year - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return std::int64_t{era} * 146097 + dayOfEra - 719468;
}

// Appends the decimal digits of `value`; false when `capacity` is reached.
bool appendDecimal(std::uint64_t value, char* out, std::size_t capacity, std::size_t* used) {
    char digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (*used + count >= capacity) return false;
    while (count > 0) out[(*used)++] = digits[--count];
    return true;
}

// Bounded text assembly for Asn1NameToText.
class LineWriter {
public:
    LineWriter(char* buffer, std::size_t capacity) : m_buffer(buffer), m_capacity(capacity) {
        m_buffer[0] = '\0';
    }

    bool append(const char* text, std::size_t length) {
        if (m_used + length >= m_capacity) return false;  // keep room for the zero
        std::memcpy(m_buffer + m_used, text, length);
        m_used += length;
        return true;
    }
    bool append(const char* text) { return append(text, std::strlen(text)); }
    bool appendChar(char c) { return append(&c, 1); }
    bool separator() {
        if (m_first) {
            m_first = false;
            return true;
        }
        return append(", ", 2);
    }
    const char* finish() {
        m_buffer[m_used] = '\0';
        return m_buffer;
    }
    const char* fail() {
        m_buffer[0] = '\0';
        return m_buffer;
    }

private:
    char* m_buffer;
    std::size_t m_capacity;
    std::size_t m_used = 0;
    bool m_first = true;
};

constexpr std::uint32_t kMaxValueOctets = kTextBufferSize - 1;

bool isTextValue(unsigned char identifier) {
    return identifier == Id::Utf8String || identifier == Id::PrintableString ||
           identifier == Id::T61String || identifier == Id::Ia5String || identifier == Id::BmpString;
}

// Appends a string value: the content byte for byte, a BMPString's 16-bit
// units as Latin-1 octets ('?' for units from U+0100 on).
bool appendValue(LineWriter& line, const Element& value) {
    if (value.contentLength > kMaxValueOctets) return false;
    if (value.identifier() != Id::BmpString) {
        return line.append(reinterpret_cast<const char*>(value.content), value.contentLength);
    }
    if (value.contentLength % 2 != 0) return false;
    for (std::uint32_t i = 0; i < value.contentLength; i += 2) {
        const char c = value.content[i] == 0 ? static_cast<char>(value.content[i + 1]) : '?';
        if (!line.appendChar(c)) return false;
    }
    return true;
}

enum class Rendering { kGoOn, kStop, kMalformed };

// One RelativeDistinguishedName: "type=value" per AttributeTypeAndValue.
Rendering renderRdn(LineWriter& line, const Element& rdn) {
    ChildWalker attributes(rdn);
    Element atv;
    while (attributes.next(&atv)) {
        if (atv.identifier() != Id::Sequence) return Rendering::kMalformed;
        ChildWalker parts(atv);
        Element type;
        if (!parts.next(&type)) return Rendering::kMalformed;
        char dotted[kTextBufferSize];
        const char* typeName = "unknownOID";
        if (type.identifier() == Id::Oid &&
            formatOid(type.content, type.contentLength, dotted, sizeof dotted)) {
            typeName = OidToNameOrSelf(dotted);
        }
        if (!line.separator() || !line.append(typeName) || !line.appendChar('=')) {
            return Rendering::kMalformed;
        }
        Element value;
        bool firstValue = true;
        while (parts.next(&value)) {
            if (!isTextValue(value.identifier())) return Rendering::kStop;
            if (!firstValue && !line.append(", ", 2)) return Rendering::kMalformed;
            if (!appendValue(line, value)) return Rendering::kMalformed;
            firstValue = false;
        }
        if (parts.malformed()) return Rendering::kMalformed;
    }
    return attributes.malformed() ? Rendering::kMalformed : Rendering::kGoOn;
}

Rendering renderNameList(LineWriter& line, ChildWalker& items, bool directoryNameAllowed);

// One GeneralName: a primitive choice as its content, a directoryName as
// the Name inside it; other constructed choices add nothing.
Rendering renderGeneralName(LineWriter& line, const Element& name, bool directoryNameAllowed) {
    const bool constructed = (name.identifier() & 0x20) != 0;
    if (!constructed) {
        if (name.contentLength > kMaxValueOctets) return Rendering::kMalformed;
        if (!line.separator() ||
            !line.append(reinterpret_cast<const char*>(name.content), name.contentLength)) {
            return Rendering::kMalformed;
        }
        return Rendering::kGoOn;
    }
    if ((name.identifier() & 0x1F) != 4 || !directoryNameAllowed) return Rendering::kGoOn;
    ChildWalker inner(name);
    Element directoryName;
    if (!inner.next(&directoryName)) return inner.malformed() ? Rendering::kMalformed : Rendering::kGoOn;
    if (directoryName.identifier() != Id::Sequence) return Rendering::kMalformed;
    ChildWalker rdns(directoryName);
    return renderNameList(line, rdns, false);
}

// The items of a Name (RDN SETs) or of GeneralNames (context elements).
Rendering renderNameList(LineWriter& line, ChildWalker& items, bool directoryNameAllowed) {
    Element item;
    while (items.next(&item)) {
        Rendering r = Rendering::kStop;
        if (item.identifier() == Id::Set) {
            r = renderRdn(line, item);
        } else if ((item.identifier() & 0xC0) == 0x80) {
            r = renderGeneralName(line, item, directoryNameAllowed);
        }
        if (r != Rendering::kGoOn) return r;
    }
    return items.malformed() ? Rendering::kMalformed : Rendering::kGoOn;
}

}  // namespace

bool readElement(const unsigned char* p, std::size_t available, Element* element) {
    std::uint32_t header = 0;
    std::uint32_t content = 0;
    if (!parseHeader(p, available, &header, &content)) return false;
    element->start = p;
    element->content = p + header;
    element->contentLength = content;
    element->size = header + content;
    // The closing end-of-contents pair of an indefinite length is no value.
    if (p[1] == 0x80) element->contentLength -= 2;
    return true;
}

ChildWalker::ChildWalker(const Element& parent)
    : m_position(parent.content), m_end(parent.content + parent.contentLength) {}

bool ChildWalker::next(Element* child) {
    if (m_position == m_end || m_malformed) return false;
    if (!readElement(m_position, static_cast<std::size_t>(m_end - m_position), child)) {
        m_malformed = true;
        return false;
    }
    m_position += child->size;
    return true;
}

namespace {

bool formatOidUnchecked(const unsigned char* content, std::uint32_t length, char* out,
                        std::size_t capacity) {
    std::size_t used = 0;
    std::uint64_t value = 0;
    bool firstSubidentifier = true;
    for (std::uint32_t i = 0; i < length; ++i) {
        value = (value << 7) | (content[i] & 0x7Fu);
        // An arc beyond 32 bits is refused (the first subidentifier holds
        // two arcs and may exceed that by the 80 it carries).
        if (value > 0xFFFFFFFFull + 80) return false;
        if ((content[i] & 0x80) != 0) continue;
        if (firstSubidentifier) {
            const std::uint64_t first = value < 40 ? 0 : value < 80 ? 1 : 2;
            const std::uint64_t second = value - first * 40;
            if (!appendDecimal(first, out, capacity, &used) || used + 1 >= capacity) return false;
            out[used++] = '.';
            if (!appendDecimal(second, out, capacity, &used)) return false;
            firstSubidentifier = false;
        } else {
            if (value > 0xFFFFFFFFull || used + 1 >= capacity) return false;
            out[used++] = '.';
            if (!appendDecimal(value, out, capacity, &used)) return false;
        }
        value = 0;
    }
    if ((content[length - 1] & 0x80) != 0) return false;  // last subidentifier cut short
    out[used] = '\0';
    return true;
}

}  // namespace

bool formatOid(const unsigned char* content, std::uint32_t length, char* out, std::size_t capacity) {
    if (capacity == 0) return false;
    out[0] = '\0';
    if (content == nullptr || length == 0) return false;
    if (formatOidUnchecked(content, length, out, capacity)) return true;
    out[0] = '\0';
    return false;
}

}  // namespace kivo::asn1

using namespace kivo::asn1;

const char* Asn1ContentHex(const unsigned char* p, std::uint32_t size) {
    Element e;
    tContentHex[0] = '\0';
    if (!readElement(p, size, &e)) return tContentHex;
    return hexInto(tContentHex, e.content, e.contentLength);
}

const char* Asn1BitStringHex(const unsigned char* p, std::uint32_t size) {
    Element e;
    tBitStringHex[0] = '\0';
    if (!readElement(p, size, &e) || e.contentLength == 0) return tBitStringHex;
    return hexInto(tBitStringHex, e.content + 1, e.contentLength - 1);
}

const char* Asn1ContentString(const unsigned char* p, std::uint32_t size) {
    Element e;
    tContentString[0] = '\0';
    if (!readElement(p, size, &e) || e.contentLength >= kTextBufferSize) return tContentString;
    std::memcpy(tContentString, e.content, e.contentLength);
    tContentString[e.contentLength] = '\0';
    return tContentString;
}

const char16_t* Asn1BmpToWide(const unsigned char* p, std::uint32_t size) {
    constexpr std::size_t kUnits = sizeof tBmpWide / sizeof tBmpWide[0];
    Element e;
    tBmpWide[0] = u'\0';
    if (!readElement(p, size, &e) || e.contentLength % 2 != 0 || e.contentLength / 2 >= kUnits) {
        return tBmpWide;
    }
    const std::uint32_t units = e.contentLength / 2;
    for (std::uint32_t i = 0; i < units; ++i) {
        tBmpWide[i] = static_cast<char16_t>((e.content[2 * i] << 8) | e.content[2 * i + 1]);
    }
    tBmpWide[units] = u'\0';
    return tBmpWide;
}

bool Asn1Bool(const unsigned char* p, std::uint32_t size) {
    Element e;
    return readElement(p, size, &e) && e.contentLength > 0 && e.content[0] != 0;
}

std::uint32_t Asn1SmallInt(const unsigned char* p, std::uint32_t size) {
    Element e;
    if (!readElement(p, size, &e)) return 0;
    std::uint32_t value = 0;
    for (std::uint32_t i = 0; i < e.contentLength; ++i) value = (value << 8) | e.content[i];
    return value;
}

const char* Asn1OidToText(const unsigned char* p, std::uint32_t length, bool contentOnly) {
    tOidText[0] = '\0';
    if (p == nullptr) return tOidText;
    if (contentOnly) {
        formatOid(p, length, tOidText, kTextBufferSize);
        return tOidText;
    }
    Element e;
    if (readElement(p, length, &e)) formatOid(e.content, e.contentLength, tOidText, kTextBufferSize);
    return tOidText;
}

const char* Asn1DateText(const unsigned char* p, std::uint32_t size) {
    tDateText[0] = '\0';
    Element e;
    if (!readElement(p, size, &e)) return tDateText;
    // The identifier tells the two time types apart; for others a total
    // size of 15 octets (a UTCTime with seconds) means two-digit years.
    const bool utc = e.identifier() == Id::UtcTime ||
                     (e.identifier() != Id::GeneralizedTime && e.size == 15);
    const char* text = reinterpret_cast<const char*>(e.content);
    const std::uint32_t yearDigits = utc ? 2 : 4;
    if (e.contentLength < yearDigits + 4) return tDateText;
    int year = 0;
    for (std::uint32_t i = 0; i < yearDigits; ++i) {
        if (!isDigit(text[i])) return tDateText;
        year = year * 10 + (text[i] - '0');
    }
    if (utc) year += year > 49 ? 1900 : 2000;
    const int month = twoDigits(text + yearDigits);
    const int day = twoDigits(text + yearDigits + 2);
    if (month < 1 || month > 12 || day < 1 || day > 31) return tDateText;
    char* q = tDateText;
    *q++ = text[yearDigits + 2];
    *q++ = text[yearDigits + 3];
    *q++ = '.';
    *q++ = text[yearDigits];
    *q++ = text[yearDigits + 1];
    *q++ = '.';
    *q++ = static_cast<char>('0' + year / 1000);
    *q++ = static_cast<char>('0' + year / 100 % 10);
    *q++ = static_cast<char>('0' + year / 10 % 10);
    *q++ = static_cast<char>('0' + year % 10);
    *q = '\0';
    return tDateText;
}

const char* Asn1NameToText(const unsigned char* p, std::uint32_t size) {
    LineWriter line(tNameText, kTextBufferSize);
    Element outer;
    if (!readElement(p, size, &outer)) return line.fail();
    Rendering r;
    if (outer.identifier() == Id::Sequence) {
        ChildWalker items(outer);
        r = renderNameList(line, items, true);
    } else {
        // Not wrapped in a SEQUENCE: the element is the first item itself,
        // followed by its siblings within `size`.
        Element region{p, p, size, size};
        ChildWalker items(region);
        r = renderNameList(line, items, true);
    }
    return r == Rendering::kMalformed ? line.fail() : line.finish();
}

std::uint32_t Asn1CountSequences(const unsigned char* p, std::uint32_t size) {
    Element e;
    if (!readElement(p, size, &e)) return 0;
    ChildWalker children(e);
    Element child;
    std::uint32_t count = 0;
    while (children.next(&child)) {
        if (child.identifier() == Id::Sequence) ++count;
    }
    return children.malformed() ? 0 : count;
}

bool HexToBytes(std::string_view hex, std::vector<unsigned char>* octets) {
    if (octets != nullptr) octets->clear();
    std::vector<unsigned char> result;
    result.reserve(hex.size() / 2);
    int pending = -1;
    for (char c : hex) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ':') continue;
        int nibble;
        if (c >= '0' && c <= '9') {
            nibble = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            nibble = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            nibble = c - 'A' + 10;
        } else {
            return false;
        }
        if (pending < 0) {
            pending = nibble;
        } else {
            result.push_back(static_cast<unsigned char>(pending << 4 | nibble));
            pending = -1;
        }
    }
    if (pending >= 0) return false;
    if (octets != nullptr) *octets = std::move(result);
    return true;
}

void BytesToHex(const unsigned char* octets, std::size_t count, std::string* hex) {
    if (hex == nullptr) return;
    hex->clear();
    if (octets == nullptr) return;
    hex->resize(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        (*hex)[2 * i] = kHexDigits[octets[i] >> 4];
        (*hex)[2 * i + 1] = kHexDigits[octets[i] & 0x0F];
    }
}

std::int64_t ParseUtcTimeText(std::string_view text) {
    if (text.size() < 11 || text.size() > 19) return 0;
    const char* t = text.data();
    const int yy = twoDigits(t);
    const int month = twoDigits(t + 2);
    const int day = twoDigits(t + 4);
    const int hour = twoDigits(t + 6);
    const int minute = twoDigits(t + 8);
    if (yy < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59) {
        return 0;
    }
    const int year = yy > 49 ? 1900 + yy : 2000 + yy;
    if (day > daysInMonth(year, month)) return 0;

    std::size_t position = 10;
    int second = 0;
    if (isDigit(t[position])) {
        if (text.size() < 13) return 0;
        second = twoDigits(t + position);
        if (second < 0 || second > 59) return 0;
        position += 2;
    }
    // A UTC time ends in 'Z'; a local time with its offset from UTC ends
    // in "+hhmm" or "-hhmm" and is moved back to UTC by that offset.
    std::int64_t offsetSeconds = 0;
    if (t[position] == 'Z') {
        position += 1;
    } else if (t[position] == '+' || t[position] == '-') {
        if (text.size() < position + 5) return 0;
        const int offsetHours = twoDigits(t + position + 1);
        const int offsetMinutes = twoDigits(t + position + 3);
        if (offsetHours < 0 || offsetHours > 23 || offsetMinutes < 0 || offsetMinutes > 59) return 0;
        offsetSeconds = (offsetHours * 60 + offsetMinutes) * 60;
        if (t[position] == '-') offsetSeconds = -offsetSeconds;
        position += 5;
    } else {
        return 0;
    }
    if (position != text.size()) return 0;
    const std::int64_t days = daysFromCivil(year, month, day);
    return days * 86400 + hour * 3600 + minute * 60 + second - offsetSeconds;
}

std::vector<std::string> SplitString(std::string_view text, std::string_view delimiters) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t stop = delimiters.empty() ? std::string_view::npos
                                                    : text.find_first_of(delimiters, start);
        if (stop == std::string_view::npos) {
            pieces.emplace_back(text.substr(start));
            return pieces;
        }
        pieces.emplace_back(text.substr(start, stop - start));
        start = stop + 1;
    }
}
