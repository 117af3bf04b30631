// Validity periods for CVerifyMsg: broken-down moments compared field by
// field, the chain validity check (shell and chain model) and the signer
// validity check.
//
// A certificate time is read the library's way: its fields go through the
// ASN.1 time conversion (UTC fields taken as local standard time) and the
// result is broken down with localtime. A reference time (seconds since
// 1970) is broken down with localtime as it is. Under TZ=UTC both are plain
// UTC.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <compare>
#include <cstdint>
#include <optional>

struct timeb;

namespace kivo::verify {

// Year (e.g. 2026), month 1..12, day, hour, minute, second. Ordered field
// by field from the year down to the second.
struct Moment {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    auto operator<=>(const Moment&) const = default;
};

// The local broken-down time of `seconds`; nothing when localtime refuses.
std::optional<Moment> localMoment(std::int64_t seconds);

// An ASN.1 time converted with the library's conversion and broken down;
// nothing for a null or malformed time.
std::optional<Moment> asn1Moment(const ASN1_TIME* time);

// The verification time in seconds: the whole seconds of `verifyTime`, or
// the current time when it is null.
std::int64_t referenceSeconds(const struct timeb* verifyTime);

// True when `at` lies within the certificate's validity (both ends
// included). A certificate whose times cannot be read is not valid.
bool validAt(X509* certificate, const Moment& at);

// The chain validity check over the chain the context verified, from the
// signer up to the root: -1 when a certificate is not valid at the
// reference moment, else 0 (also for an empty chain). In the chain model
// (validityModel 1) the reference moves to each certificate's notBefore
// before its issuer is checked; in the shell model it stays.
int Check_TimeNested_CA(X509_STORE_CTX* context, std::int64_t referenceTime, int validityModel);

// The signer validity check: 0 at once when `store` is not null;
// otherwise -1 when the certificate of the container's first signer is
// missing or not valid at the local broken-down `verifyTime` (which must
// not be null), else 0. `validityModel` is not used.
int Check_TimeNested(PKCS7* container, X509_STORE* store, const struct timeb* verifyTime,
                     int validityModel);

// The certificate of the container's first signer (borrowed from the
// container); null when the container is not signedData, has no signer or
// does not carry that signer's certificate.
X509* firstSignerCertificate(PKCS7* container);

// The reference time of the chain check when no verification time is
// given: the first signed attribute of the first signer whose value is a
// UTCTime (the signing time), converted the library's way; the current
// time when the signer has signed attributes but none is a UTCTime;
// nothing when it has no signed attributes (the check is skipped).
std::optional<std::int64_t> signingTimeReference(PKCS7* container);

}  // namespace kivo::verify
