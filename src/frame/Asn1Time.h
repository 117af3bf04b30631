// ASN.1 time values (UTCTime, GeneralizedTime) to seconds since 1970.
#pragma once

#include <cstdint>
#include <climits>
#include <optional>
#include <string_view>

struct asn1_string_st;

namespace kivo {

// Converts the text of a UTCTime ("YYMMDDhhmmss" + "Z" or "+hhmm"/"-hhmm")
// or GeneralizedTime (the same with a four-digit year, whose century is
// dropped). A two-digit year below 50 is 20YY, otherwise 19YY. The fields
// are converted with the C library's local-time conversion (daylight saving
// off) and the offset is subtracted. Text of any other shape gives nothing.
std::optional<std::int64_t> asn1TimeTextToSeconds(std::string_view text);

// A time later than the platform's time_t can hold; reads as "no expiry".
inline constexpr std::int64_t kBeyondTimeRange = INT64_MAX;

// The same conversion, but a GeneralizedTime keeps its four-digit year as
// written (the two-digit rule above turns 2050 into 1950 and RFC 5280's
// 99991231235959Z into 1999). `generalized` tells which of the two kinds
// `text` is; a UTCTime is read as above. A date the platform's time_t
// cannot hold gives kBeyondTimeRange.
std::optional<std::int64_t> asn1TimeTextToSecondsAsWritten(std::string_view text, bool generalized);

// The same for an OpenSSL ASN1_TIME; nothing for a null or malformed time.
std::optional<std::int64_t> readAsn1Time(const asn1_string_st* time);

// As readAsn1Time, 0 for a null or malformed time.
std::int64_t asn1TimeToSeconds(const asn1_string_st* time);

// The as-written reading of an OpenSSL ASN1_TIME; nothing for a null or
// malformed time.
std::optional<std::int64_t> asn1TimeToSecondsAsWritten(const asn1_string_st* time);

}  // namespace kivo
