// ASN.1 time values (UTCTime, GeneralizedTime) to seconds since 1970.
#pragma once

#include <cstdint>
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

// The same for an OpenSSL ASN1_TIME; 0 for a null or malformed time.
std::int64_t asn1TimeToSeconds(const asn1_string_st* time);

}  // namespace kivo
