// The time conversion of CPKCS7SSL::getTimeFromASN1.
//
// Unlike the shared converter of Asn1Time.h it accepts the looser shapes
// that time-stamp tokens and signing times use: UTCTime without seconds,
// GeneralizedTime with a fraction of a second, and offsets on both.
#pragma once

#include <cstdint>
#include <string_view>

namespace kivo::pkcs7 {

// UTCTime text: 11 to 17 characters, "YYMMDDhhmm", optional "ss", then "Z"
// or a sign and "hhmm"; a year below 50 is 20YY, otherwise 19YY.
// GeneralizedTime text: at least 13 characters, "YYYYMMDDhhmm", optional
// "ss" with an optional fraction ("." and digits, ignored), then "Z" or a
// sign and "hhmm". Missing seconds count as 0.
//
// The fields go to mktime as local time with the daylight-saving flag 0;
// when mktime then reports daylight-saving time for that moment, 3600
// seconds are subtracted. An offset is subtracted for "+" and added for
// "-". Any other shape gives 0.
std::int64_t utcTimeTextToSeconds(std::string_view text);
std::int64_t generalizedTimeTextToSeconds(std::string_view text);

}  // namespace kivo::pkcs7
