// The CCertInfo object: one certificate and the display texts a certificate
// viewer asks for, by name or as a fixed list of fields with detail lines.
//
// All texts live in one heap block of fixed-size slots. Copies get a block
// and a certificate of their own, so that source and copy can be destroyed
// in any order. No exception leaves a member: each body runs guarded and
// answers with the member's failure value.

#include "CertInfoSSL.h"

#include "src/cert/CertFieldText.h"
#include "src/frame/Guarded.h"
#include "src/frame/Logging.h"

#include <openssl/x509.h>

#include <cstdio>
#include <climits>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

std::string CCertInfo::m_storePath = "unset";

namespace {

using kivo::guarded;

constexpr int kFieldCount = 11;
constexpr int kPublicKeyField = 8;
constexpr int kDetailCharactersPerLine = 32;

constexpr const char* kFieldNames[kFieldCount] = {
    "Subject",       "Issuer",              "Not After",            "Not Before",
    "Serial Number", "Signature Algorithm", "Public Key Algorithm", "Fingerprint",
    "Public Key",    "CSP",                 "Version",
};

// Components a viewer shows for the subject (field 0) and the issuer
// (field 1); the issuer list has no locality.
constexpr const char* kSubjectKeys[] = {"C=", "S=", "L=", "O=", "OU=", "CN=", "E="};
constexpr const char* kIssuerKeys[] = {"C=", "S=", "O=", "OU=", "CN=", "E="};

// Handed out instead of a text slot when the object has no text storage.
thread_local char t_noText[1] = {'\0'};

char* newTextBlock(std::size_t bytes) {
    char* block = new (std::nothrow) char[bytes];
    if (block != nullptr) std::memset(block, 0, bytes);
    return block;
}

}  // namespace

// ---- construction, copies --------------------------------------------------------

CCertInfo::CCertInfo()
    : m_texts(newTextBlock(kSlotCount * kTextCapacity)), m_cert(nullptr) {}

CCertInfo::CCertInfo(const CCertInfo& other)
    : m_texts(newTextBlock(kSlotCount * kTextCapacity)), m_cert(nullptr) {
    if (m_texts != nullptr && other.m_texts != nullptr) {
        std::memcpy(m_texts, other.m_texts, kSlotCount * kTextCapacity);
    }
    if (other.m_cert != nullptr) m_cert = X509_dup(other.m_cert);
}

CCertInfo& CCertInfo::operator=(const CCertInfo& other) {
    if (this == &other) return *this;
    // Build the copy first, then exchange: the object stays whole when an
    // allocation fails.
    CCertInfo copy(other);
    std::swap(m_texts, copy.m_texts);
    std::swap(m_cert, copy.m_cert);
    return *this;
}

CCertInfo::~CCertInfo() {
    X509_free(m_cert);
    delete[] m_texts;
}

char* CCertInfo::text(TextSlot slot) {
    if (m_texts == nullptr) {
        t_noText[0] = '\0';
        return t_noText;
    }
    return m_texts + static_cast<std::size_t>(slot) * kTextCapacity;
}

int CCertInfo::setText(TextSlot slot, const char* value) {
    if (m_texts == nullptr) return -1;
    char* target = text(slot);
    const std::size_t length = value == nullptr ? 0 : strnlen(value, kTextCapacity - 1);
    std::memcpy(target, value == nullptr ? "" : value, length);
    target[length] = '\0';
    return 0;
}

// ---- setters ---------------------------------------------------------------------

#define KIVO_TEXT_SETTER(method, slot)                                    \
    int CCertInfo::method(const char* value) {                            \
        return guarded(-1, [&] {                                          \
            KIVO_LOG_ENTER(m_logger, #method);                            \
            return setText(slot, value);                                  \
        });                                                               \
    }

KIVO_TEXT_SETTER(SetFingerPrint, kFingerprint)
KIVO_TEXT_SETTER(SetSubPubKey, kSubjectPublicKey)
KIVO_TEXT_SETTER(SetSubPubKeyAlg, kSubjectPublicKeyAlgorithm)
KIVO_TEXT_SETTER(SetSubject, kSubject)
KIVO_TEXT_SETTER(SetIssuer, kIssuer)
KIVO_TEXT_SETTER(NotAfter, kNotAfterLong)
KIVO_TEXT_SETTER(NotBefore, kNotBeforeLong)
KIVO_TEXT_SETTER(SetSignatureAlg, kSignatureAlgorithm)
KIVO_TEXT_SETTER(SetCertVersion, kCertVersion)
KIVO_TEXT_SETTER(SetSerialNumber, kSerialNumber)
KIVO_TEXT_SETTER(NotAfterRaw, kNotAfterShort)
KIVO_TEXT_SETTER(NotBeforeRaw, kNotBeforeShort)
KIVO_TEXT_SETTER(DisplayName, kDisplayName)
KIVO_TEXT_SETTER(SSLprefix, kKeyFilePrefix)
KIVO_TEXT_SETTER(SSLdir, kKeyFileDirectory)
KIVO_TEXT_SETTER(SSLcertfilename, kCertFileName)
KIVO_TEXT_SETTER(SSLpkeyfilename, kKeyFileName)
KIVO_TEXT_SETTER(SetCertID, kCertId)

#undef KIVO_TEXT_SETTER

// ---- the certificate -------------------------------------------------------------

int CCertInfo::SetX509Cert(unsigned char** der, unsigned long len) {
    return guarded(-56, [&] {
        KIVO_LOG_ENTER(m_logger, "SetX509Cert");
        X509_free(m_cert);
        m_cert = nullptr;
        if (der == nullptr || *der == nullptr || len == 0 || len > LONG_MAX) {
            LOG4CXX_ERROR(m_logger, "SetX509Cert: no DER certificate given");
            KIVO_LOG_LEAVE(m_logger, "SetX509Cert", -56);
            return -56;
        }
        const unsigned char* cursor = *der;
        m_cert = d2i_X509(nullptr, &cursor, static_cast<long>(len));
        if (m_cert == nullptr) {
            openSSL_LogError(m_logger, "SetX509Cert: d2i_X509 failed");
            KIVO_LOG_LEAVE(m_logger, "SetX509Cert", -56);
            return -56;
        }
        *der += cursor - *der;
        KIVO_LOG_LEAVE(m_logger, "SetX509Cert", 0);
        return 0;
    });
}

int CCertInfo::SetX509Cert(x509_st* cert) {
    return guarded(-56, [&] {
        KIVO_LOG_ENTER(m_logger, "SetX509Cert");
        X509_free(m_cert);
        m_cert = cert != nullptr ? X509_dup(cert) : nullptr;
        const int result = m_cert != nullptr ? 0 : -56;
        if (result != 0) LOG4CXX_ERROR(m_logger, "SetX509Cert: no certificate to duplicate");
        KIVO_LOG_LEAVE(m_logger, "SetX509Cert", result);
        return result;
    });
}

x509_st* CCertInfo::GetX509Cert() {
    return guarded<x509_st*>(nullptr, [&] {
        KIVO_LOG_ENTER(m_logger, "GetX509Cert");
        return m_cert;
    });
}

// ---- text getters ----------------------------------------------------------------

char* CCertInfo::GetIssuer() {
    return guarded<char*>(t_noText, [&] {
        KIVO_LOG_ENTER(m_logger, "GetIssuer");
        return text(kIssuer);
    });
}

char* CCertInfo::GetSerialNumber() {
    return guarded<char*>(t_noText, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSerialNumber");
        return text(kSerialNumber);
    });
}

char* CCertInfo::GetSignatureAlg() {
    return guarded<char*>(t_noText, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSignatureAlg");
        return text(kSignatureAlgorithm);
    });
}

char* CCertInfo::GetSubPubKeyAlg() {
    return guarded<char*>(t_noText, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSubPubKeyAlg");
        return text(kSubjectPublicKeyAlgorithm);
    });
}

// ---- the viewer's field list -----------------------------------------------------

int CCertInfo::GetNumberOfFields() {
    return guarded(kFieldCount, [&] {
        KIVO_LOG_ENTER(m_logger, "GetNumberOfFields");
        return kFieldCount;
    });
}

const char* CCertInfo::GetFieldName(int field) {
    return guarded<const char*>("", [&] {
        KIVO_LOG_ENTER(m_logger, "GetFieldName");
        return field >= 0 && field < kFieldCount ? kFieldNames[field] : "";
    });
}

int CCertInfo::GetNumberOfDetails(int field) {
    return guarded(1, [&] {
        KIVO_LOG_ENTER(m_logger, "GetNumberOfDetails");
        switch (field) {
            case 0: return static_cast<int>(std::size(kSubjectKeys));
            case 1: return static_cast<int>(std::size(kIssuerKeys));
            case kPublicKeyField:
                return static_cast<int>(std::strlen(text(kSubjectPublicKey)) / kDetailCharactersPerLine) + 1;
            default: return 1;
        }
    });
}

const char* CCertInfo::GetDetails(int field, int index) {
    return guarded<const char*>("", [&]() -> const char* {
        KIVO_LOG_ENTER(m_logger, "GetDetails");
        // The text behind each field of the list.
        static constexpr TextSlot kWholeText[kFieldCount] = {
            kSubject,          kIssuer,  kNotAfterLong, kNotBeforeLong,
            kSerialNumber,     kSignatureAlgorithm,     kSubjectPublicKeyAlgorithm,
            kFingerprint,      kSubjectPublicKey,       kCspName,
            kCertVersion,
        };
        if (m_texts == nullptr || field < 0 || field >= kFieldCount) return "";
        // Fields 2 to 10 are whole texts: the index plays no part.
        if (field >= 2) return text(kWholeText[field]);
        if (index < 0) return "";

        const auto keyCount = static_cast<int>(field == 0 ? std::size(kSubjectKeys) : std::size(kIssuerKeys));
        if (index >= keyCount) return "";
        const char* key = field == 0 ? kSubjectKeys[index] : kIssuerKeys[index];
        const char* name = text(kWholeText[field]);
        const char* start = std::strstr(name, key);
        // A component that does not occur gives an empty line. (A plain
        // search-and-cut on a string would raise an out-of-range error here;
        // a viewer is better served by an empty detail line.)
        if (start == nullptr) return "";
        const char* end = std::strchr(start, ',');
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - start) : std::strlen(start);
        // The component is part of a text of at most 2047 characters, so it
        // fits the result slot.
        char* result = text(kDetailsResult);
        std::memcpy(result, start, length);
        result[length] = '\0';
        return result;
    });
}

// ---- fields by name --------------------------------------------------------------

int CCertInfo::GetCertFieldSSL(const char* name, char* out, int* outLen) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "GetCertFieldSSL");
        static constexpr struct {
            const char* name;
            TextSlot slot;
        } kNamedTexts[] = {
            {"VERSION", kCertVersion},      {"SERIALNUMBER", kSerialNumber}, {"VALIDFROM", kNotBeforeShort},
            {"VALIDUNTIL", kNotAfterShort}, {"USER", kSubject},              {"ISSUER", kIssuer},
            {"DISPLAYNAME", kDisplayName},  {"CERTID", kCertId},             {"FINGERPRINT", kFingerprint},
        };
        if (name == nullptr || out == nullptr || outLen == nullptr) return 0;
        for (const auto& entry : kNamedTexts) {
            if (std::strcmp(name, entry.name) != 0) continue;
            const char* value = text(entry.slot);
            const std::size_t length = std::strlen(value);
            std::memcpy(out, value, length + 1);
            *outLen = static_cast<int>(length);
        }
        KIVO_LOG_LEAVE(m_logger, "GetCertFieldSSL", 0);
        return 0;
    });
}

int CCertInfo::GetCertFieldX509(x509_st* cert, const char* name, char* out, int*) {
    return guarded(-1, [&] {
        KIVO_LOG_ENTER(m_logger, "GetCertFieldX509");
        if (cert == nullptr || name == nullptr || out == nullptr) {
            KIVO_LOG_LEAVE(m_logger, "GetCertFieldX509", -1);
            return -1;
        }
        if (const kivo::cert::CertFieldText* field = kivo::cert::certFieldNamed(name)) {
            field->write(cert, out);
        }
        KIVO_LOG_LEAVE(m_logger, "GetCertFieldX509", 0);
        return 0;
    });
}

// ---- entry points kept for the interface -----------------------------------------

int CCertInfo::CheckCertSignature(unsigned char*, unsigned long, unsigned char*, unsigned long) {
    return guarded(0, [] {
        KIVO_LOG_ENTER(m_logger, "CheckCertSignature");
        return 0;
    });
}

int CCertInfo::GetChainSize(unsigned char*, unsigned long) {
    return guarded(0, [] {
        KIVO_LOG_ENTER(m_logger, "GetChainSize");
        return 0;
    });
}

int CCertInfo::GetNextChainCert(unsigned char*, unsigned long, unsigned char**, unsigned long*) {
    return guarded(0, [] {
        KIVO_LOG_ENTER(m_logger, "GetNextChainCert");
        return 0;
    });
}

unsigned char* CCertInfo::GetCertRaw() {
    return guarded<unsigned char*>(nullptr, [] {
        KIVO_LOG_ENTER(m_logger, "GetCertRaw");
        return static_cast<unsigned char*>(nullptr);
    });
}

unsigned long CCertInfo::GetCertRawLength() {
    return guarded(0UL, [] {
        KIVO_LOG_ENTER(m_logger, "GetCertRawLength");
        return 0UL;
    });
}
