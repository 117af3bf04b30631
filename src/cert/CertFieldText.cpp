#include "src/cert/CertFieldText.h"

#include "CertHandlerSSL.h"
#include "CertInfoSSL.h"

#include <cctype>
#include <cstdio>
#include <iterator>

namespace kivo::cert {
namespace {

// Room the certificate-object texts have, terminator included.
constexpr std::size_t kTextCapacity = 2048;
constexpr int kShortFormat = 1;
constexpr int kLongFormat = 0;

int storedVersion(x509_st* cert, char* out) {
    std::snprintf(out, kTextCapacity, "%lu", CCertHandler::GetCertVersionSSL(cert));
    return 0;
}
int namedVersion(x509_st* cert, char* out) {
    std::snprintf(out, kTextCapacity, "%0d", static_cast<int>(CCertHandler::GetCertVersionSSL(cert)));
    return 0;
}
int notBeforeLong(x509_st* cert, char* out) { return CCertHandler::GetNotBeforeSSL(cert, out, kLongFormat); }
int notAfterLong(x509_st* cert, char* out) { return CCertHandler::GetNotAfterSSL(cert, out, kLongFormat); }
int notBeforeShort(x509_st* cert, char* out) { return CCertHandler::GetNotBeforeSSL(cert, out, kShortFormat); }
int notAfterShort(x509_st* cert, char* out) { return CCertHandler::GetNotAfterSSL(cert, out, kShortFormat); }

constexpr CertFieldText kFields[] = {
    {nullptr, storedVersion, &CCertInfo::SetCertVersion, false},
    {"VERSION", namedVersion, nullptr, false},
    {"SERIALNUMBER", CCertHandler::GetSerialNumberSSL, &CCertInfo::SetSerialNumber, false},
    {nullptr, CCertHandler::GetSignatureAlgSSL, &CCertInfo::SetSignatureAlg, false},
    {nullptr, notBeforeLong, &CCertInfo::NotBefore, false},
    {nullptr, notAfterLong, &CCertInfo::NotAfter, false},
    {"VALIDFROM", notBeforeShort, &CCertInfo::NotBeforeRaw, false},
    {"VALIDUNTIL", notAfterShort, &CCertInfo::NotAfterRaw, false},
    {"USER", CCertHandler::GetSubjectSSL, &CCertInfo::SetSubject, false},
    {"DISPLAYNAME", CCertHandler::GetSubjectsNameSSL, &CCertInfo::DisplayName, false},
    {"ISSUER", CCertHandler::GetIssuerSSL, &CCertInfo::SetIssuer, false},
    {"FINGERPRINT", CCertHandler::GetFingerPrintSSL, &CCertInfo::SetFingerPrint, true},
    {"KEYUSAGE", CCertHandler::GetKeyUsageSSL, nullptr, false},
};

bool equalIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::toupper(static_cast<unsigned char>(*a)) != std::toupper(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

}  // namespace

std::span<const CertFieldText> certFieldTexts() { return kFields; }

const CertFieldText* certFieldNamed(const char* name) {
    for (const CertFieldText& field : kFields) {
        if (field.name != nullptr && equalIgnoringCase(name, field.name)) return &field;
    }
    return nullptr;
}

}  // namespace kivo::cert
