#include "src/verify/VerifyValidity.h"

#include "src/frame/Asn1Time.h"
#include "src/verify/VerifyPolicy.h"

#include <openssl/asn1.h>

#include <sys/timeb.h>

#include <climits>
#include <ctime>
#include <string_view>

namespace kivo::verify {

std::optional<Moment> localMoment(std::int64_t seconds) {
    const std::time_t value = static_cast<std::time_t>(seconds);
    std::tm fields{};
    if (localtime_r(&value, &fields) == nullptr) return std::nullopt;
    return Moment{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                  fields.tm_hour,        fields.tm_min,     fields.tm_sec};
}

std::optional<Moment> asn1Moment(const ASN1_TIME* time) {
    const auto seconds = policySeconds(time);
    if (!seconds) return std::nullopt;
    // A date past what time_t holds is later than any reference time.
    if (*seconds == kBeyondTimeRange) return Moment{INT_MAX, 12, 31, 23, 59, 59};
    return localMoment(*seconds);
}

std::int64_t referenceSeconds(const struct timeb* verifyTime) {
    if (verifyTime != nullptr) return static_cast<std::int64_t>(verifyTime->time);
    return static_cast<std::int64_t>(std::time(nullptr));
}

bool validAt(X509* certificate, const Moment& at) {
    if (certificate == nullptr) return false;
    const auto notBefore = asn1Moment(X509_get0_notBefore(certificate));
    const auto notAfter = asn1Moment(X509_get0_notAfter(certificate));
    if (!notBefore || !notAfter) return false;
    return !(at < *notBefore) && !(at > *notAfter);
}

int Check_TimeNested_CA(X509_STORE_CTX* context, std::int64_t referenceTime, int validityModel) {
    if (context == nullptr) return -1;
    auto reference = localMoment(referenceTime);
    if (!reference) return -1;
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context);
    const int count = chain != nullptr ? sk_X509_num(chain) : 0;
    for (int i = 0; i < count; ++i) {
        X509* certificate = sk_X509_value(chain, i);
        if (!validAt(certificate, *reference)) return -1;
        if (validityModel == 1) {
            // validAt has read the time already, so it is well formed.
            reference = asn1Moment(X509_get0_notBefore(certificate));
        }
    }
    return 0;
}

int Check_TimeNested(PKCS7* container, X509_STORE* store, const struct timeb* verifyTime,
                     int /*validityModel*/) {
    if (store != nullptr) return 0;
    if (verifyTime == nullptr) return -1;
    const auto at = localMoment(static_cast<std::int64_t>(verifyTime->time));
    if (!at) return -1;
    return validAt(firstSignerCertificate(container), *at) ? 0 : -1;
}

X509* firstSignerCertificate(PKCS7* container) {
    if (container == nullptr || !PKCS7_type_is_signed(container) || container->d.sign == nullptr) {
        return nullptr;
    }
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(container);
    if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) < 1) return nullptr;
    return PKCS7_cert_from_signer_info(container, sk_PKCS7_SIGNER_INFO_value(signers, 0));
}

std::optional<std::int64_t> signingTimeReference(PKCS7* container) {
    if (container == nullptr || !PKCS7_type_is_signed(container) || container->d.sign == nullptr) {
        return std::nullopt;
    }
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(container);
    if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) < 1) return std::nullopt;
    const PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    const STACK_OF(X509_ATTRIBUTE)* attributes = signer->auth_attr;
    const int count = attributes != nullptr ? sk_X509_ATTRIBUTE_num(attributes) : 0;
    if (count < 1) return std::nullopt;
    for (int i = 0; i < count; ++i) {
        X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(attributes, i);
        const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
        if (value == nullptr || value->type != V_ASN1_UTCTIME) continue;
        // A UTCTime of another shape cannot be read; the current time
        // stands in for it as for a signer without one.
        if (const auto seconds = policySeconds(value->value.utctime)) return seconds;
        break;
    }
    return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace kivo::verify
