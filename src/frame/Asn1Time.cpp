#include "src/frame/Asn1Time.h"

#include <openssl/asn1.h>

#include <ctime>

namespace kivo {
namespace {

constexpr std::size_t kCenturyLength = 2;                 // the "YY" of "YYYY"
constexpr std::size_t kGeneralizedTimeLength = 15;        // YYYYMMDDhhmmssZ
constexpr std::size_t kFieldsLength = 12;                 // YYMMDDhhmmss
constexpr std::size_t kOffsetLength = 5;                  // +hhmm

// Two decimal digits at `pos`, or -1.
int twoDigits(std::string_view text, std::size_t pos) {
    const char high = text[pos];
    const char low = text[pos + 1];
    if (high < '0' || high > '9' || low < '0' || low > '9') return -1;
    return (high - '0') * 10 + (low - '0');
}

// Reads "YYMMDDhhmmss" followed by "Z" or "+hhmm"/"-hhmm" and converts the
// fields with the C library's local-time conversion (daylight saving off),
// the year being `century` * 100 + YY, or by the two-digit rule when
// `century` is negative. A date that time_t cannot hold gives
// kBeyondTimeRange.
std::optional<std::int64_t> fieldsToSeconds(std::string_view text, int century) {
    if (text.size() < kFieldsLength + 1) return std::nullopt;

    int field[6];
    for (int i = 0; i < 6; ++i) {
        field[i] = twoDigits(text, static_cast<std::size_t>(i) * 2);
        if (field[i] < 0) return std::nullopt;
    }

    const bool inRange = field[1] >= 1 && field[1] <= 12 && field[2] >= 1 &&
                         field[2] <= 31 && field[3] <= 23 && field[4] <= 59 &&
                         field[5] <= 60;
    if (!inRange) return std::nullopt;

    long offsetMinutes = 0;
    const char zone = text[kFieldsLength];
    if (zone == 'Z') {
        if (text.size() != kFieldsLength + 1) return std::nullopt;
    } else if (zone == '+' || zone == '-') {
        if (text.size() != kFieldsLength + kOffsetLength) return std::nullopt;
        const int hours = twoDigits(text, kFieldsLength + 1);
        const int minutes = twoDigits(text, kFieldsLength + 3);
        if (hours < 0 || minutes < 0) return std::nullopt;
        offsetMinutes = hours * 60 + minutes;
        if (zone == '-') offsetMinutes = -offsetMinutes;
    } else {
        return std::nullopt;
    }

    std::tm fields{};
    const int year = century >= 0 ? century * 100 + field[0] : (field[0] < 50 ? 2000 + field[0] : 1900 + field[0]);
    fields.tm_year = year - 1900;
    fields.tm_mon = field[1] - 1;
    fields.tm_mday = field[2];
    fields.tm_hour = field[3];
    fields.tm_min = field[4];
    fields.tm_sec = field[5];
    fields.tm_isdst = 0;
    const std::time_t local = std::mktime(&fields);
    // mktime's -1 is also a real moment (one second before 1970); only a
    // date it could not represent leaves the fields other than that.
    if (local == static_cast<std::time_t>(-1) && year > 1970) return kBeyondTimeRange;
    return static_cast<std::int64_t>(local) - offsetMinutes * 60;
}

std::optional<std::string_view> asn1Text(const asn1_string_st* time) {
    if (time == nullptr) return std::nullopt;
    const unsigned char* data = ASN1_STRING_get0_data(time);
    const int length = ASN1_STRING_length(time);
    if (data == nullptr || length <= 0) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
}

}  // namespace

std::optional<std::int64_t> asn1TimeTextToSeconds(std::string_view text) {
    if (text.size() == kGeneralizedTimeLength) text.remove_prefix(kCenturyLength);
    const auto seconds = fieldsToSeconds(text, -1);
    // Two-digit years stay within 1950..2049; no time_t of 64 bits overflows.
    if (seconds == kBeyondTimeRange) return std::nullopt;
    return seconds;
}

std::optional<std::int64_t> asn1TimeTextToSecondsAsWritten(std::string_view text, bool generalized) {
    if (!generalized) return asn1TimeTextToSeconds(text);
    if (text.size() < kCenturyLength) return std::nullopt;
    const int century = twoDigits(text, 0);
    if (century < 0) return std::nullopt;
    text.remove_prefix(kCenturyLength);
    return fieldsToSeconds(text, century);
}

std::optional<std::int64_t> readAsn1Time(const asn1_string_st* time) {
    const auto text = asn1Text(time);
    if (!text) return std::nullopt;
    return asn1TimeTextToSeconds(*text);
}

std::int64_t asn1TimeToSeconds(const asn1_string_st* time) { return readAsn1Time(time).value_or(0); }

std::optional<std::int64_t> asn1TimeToSecondsAsWritten(const asn1_string_st* time) {
    const auto text = asn1Text(time);
    if (!text) return std::nullopt;
    return asn1TimeTextToSecondsAsWritten(*text, ASN1_STRING_type(time) == V_ASN1_GENERALIZEDTIME);
}

}  // namespace kivo
