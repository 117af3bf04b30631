// Shared machinery of CCertInfo's static field getters.

#include "src/cert/CertInfoGetterSupport.h"

#include "ExtensionSSL.h"
#include "RestrictionSSL.h"
#include "asn1/Asn1TextInternal.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>


namespace kivo::certinfo {
namespace {


constexpr const char* kRsaEncryption = "1.2.840.113549.1.1.1";
constexpr const char* kEcPublicKey = "1.2.840.10045.2.1";


// The element at the cursor with its content; false when it is malformed.
bool elementAt(const Asn1Cursor& cursor, asn1::Element* element) {
    return cursor.ptr != nullptr && cursor.size != 0 &&
           asn1::readElement(cursor.ptr, cursor.size, element);
}

// Hex of `count` octets when the text fits a result buffer.
bool hexIfItFits(const unsigned char* octets, std::uint32_t count, std::string* hex) {
    if (std::size_t{count} * 2 + 1 > kResultSize) return false;
    BytesToHex(octets, count, hex);
    return true;
}

// The element that holds the list: the SEQUENCE inside a certificate's [3],
// or an attribute certificate's attributes or extensions SEQUENCE.
bool locateListContainer(const unsigned char* cert, unsigned long len, ListKind kind,
                         Asn1Cursor* list) {
    const std::uint32_t length = walkLength(len);
    switch (kind) {
        case ListKind::kCertificateExtensions:
            return asn1::certField(cert, length, asn1::Field::Extensions, list) &&
                   isAt(*list, Id::Context3) && enter(list);
        case ListKind::kAttrCertAttributes:
            return asn1::attrCertField(cert, length, asn1::Field::Attributes, list);
        case ListKind::kAttrCertExtensions:
            return asn1::attrCertField(cert, length, asn1::Field::Extensions, list);
    }
    return false;
}

// Extension kinds as ClassifyExtensionOid numbers them.
enum ExtensionKind : int {
    kAuthorityKeyIdentifier = 1,
    kSubjectKeyIdentifier = 2,
    kKeyUsage = 3,
    kCrlDistributionPoints = 4,
    kAuthorityInfoAccess = 5,
    kCertificatePolicies = 6,
    kQcStatements = 7,
    kRestrictionOrAdditionalInformation = 10,
    kSubjectAltName = 12,
    kIssuerAltName = 13,
    kOcspNoCheck = 16,  // shown without a value
    kNetscapeBaseUrl = 17,
    kNetscapeCaPolicyUrl = 18,
    kExtendedKeyUsage = 19,
    kAdmission = 20,
    kIccsn = 21,
};

// Attribute kinds as ClassifyAttributeOid numbers them.
enum AttributeKind : int {
    kDateOfCertGen = 1,  // shown without a value
    kMonetaryLimit = 2,
    kProcuration = 3,
    kAdmissionAttribute = 4,
    kDeclarationOfMajority = 5,
    kIccsnAttribute = 7,
    kRestrictionAttribute = 8,
    kSubjectDirectoryAttributes = 9,
};

struct KindRenderer {
    int kind;
    Renderer renderer;
};

// qcStatements name each statement's OID in a certificate, not in an
// attribute certificate.
char* qcStatementsWithNames(unsigned char* element, unsigned long length) {
    return CExtensionSSL::getQCStatements(element, length, true);
}
char* qcStatementsWithoutNames(unsigned char* element, unsigned long length) {
    return CExtensionSSL::getQCStatements(element, length, false);
}

const KindRenderer kCertificateExtensionRenderers[] = {
    {kAuthorityKeyIdentifier, &CExtensionSSL::getAuthorityKeyIdent},
    {kSubjectKeyIdentifier, &CExtensionSSL::getSubjectKeyIdent},
    {kKeyUsage, &CExtensionSSL::getKeyUsage},
    {kCrlDistributionPoints, &CExtensionSSL::getCRLDistrbutionPoints},
    {kAuthorityInfoAccess, &CExtensionSSL::getAuthorityInfoAccess},
    {kCertificatePolicies, &CExtensionSSL::getCertPolicies},
    {kQcStatements, &qcStatementsWithNames},
    {kRestrictionOrAdditionalInformation, &CExtensionSSL::getRestriction},
    {kSubjectAltName, &CExtensionSSL::getSubjectAltName},
    {kIssuerAltName, &CExtensionSSL::getIssuerAltName},
    {kNetscapeBaseUrl, &CExtensionSSL::getCertBaseURL},
    {kNetscapeCaPolicyUrl, &CExtensionSSL::getCAPolicyURL},
    {kExtendedKeyUsage, &CExtensionSSL::getExtendedKeyUsage},
    {kAdmission, &CExtensionSSL::getIdIsismmtAtAsmission},
    {kIccsn, &CExtensionSSL::getIdIsismmtAtIccsn},
};

const KindRenderer kAttrCertExtensionRenderers[] = {
    {kAuthorityKeyIdentifier, &CExtensionSSL::getAuthorityKeyIdent},
    {kCrlDistributionPoints, &CExtensionSSL::getCRLDistrbutionPoints},
    {kAuthorityInfoAccess, &CExtensionSSL::getAuthorityInfoAccess},
    {kCertificatePolicies, &CExtensionSSL::getCertPolicies},
    {kQcStatements, &qcStatementsWithoutNames},
};

const KindRenderer kAttributeRenderers[] = {
    {kMonetaryLimit, &CRestrictionSSL::getRestrictionMonetary},
    {kProcuration, &CRestrictionSSL::getRestrictionProkura},
    {kAdmissionAttribute, &CRestrictionSSL::getRestrictionAdmission},
    {kDeclarationOfMajority, &CRestrictionSSL::getRestrictionMajority},
    {kIccsnAttribute, &CRestrictionSSL::getRestrictionAdditional},
    {kRestrictionAttribute, &CRestrictionSSL::getRestriction},
    {kSubjectDirectoryAttributes, &CRestrictionSSL::getRestrictionIdentity},
};

template <std::size_t N>
Renderer findRenderer(const KindRenderer (&table)[N], int kind) {
    if (kind == 0) return nullptr;
    for (const KindRenderer& entry : table) {
        if (entry.kind == kind) return entry.renderer;
    }
    return nullptr;
}

}  // namespace

// ---- result texts ---------------------------------------------------------------

char* ResultText::assign(const char* text) {
    if (text == nullptr) return clear();
    const std::size_t length = strnlen(text, kResultSize);
    if (length >= kResultSize) return clear();
    std::memcpy(m_text, text, length + 1);
    return m_text;
}

// ---- input and cursor moves -------------------------------------------------

std::uint32_t walkLength(unsigned long len) {
    constexpr unsigned long kMax = std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(len > kMax ? kMax : len);
}

std::string dottedOid(const Asn1Cursor& cursor) {
    if (!isAt(cursor, Id::Oid)) return {};
    return Asn1OidToText(cursor.ptr, cursor.size, false);
}

std::string smallIntHex(const Asn1Cursor& cursor) {
    asn1::Element integer;
    if (!isAt(cursor, Id::Integer) || !elementAt(cursor, &integer) || integer.contentLength == 0) {
        return {};
    }
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(Asn1SmallInt(cursor.ptr, cursor.size)));
    return text;
}

std::string lowerHexValue(const Asn1Cursor& cursor) {
    asn1::Element integer;
    if (!isAt(cursor, Id::Integer) || !elementAt(cursor, &integer) || integer.contentLength == 0) {
        return {};
    }
    std::string hex;
    BytesToHex(integer.content, integer.contentLength, &hex);
    const std::size_t first = hex.find_first_not_of('0');
    if (first == std::string::npos) return "0";
    hex.erase(0, first);
    for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return hex;
}

int contentLength(const Asn1Cursor& cursor) {
    asn1::Element element;
    constexpr std::uint32_t kMaxLength = std::numeric_limits<int>::max();
    if (!elementAt(cursor, &element) || element.contentLength > kMaxLength) return -1;
    return static_cast<int>(element.contentLength);
}

unsigned char* mutableStart(const Asn1Cursor& cursor) {
    // The getters receive the certificate as a writable pointer; renderers
    // take it in the same form.
    return const_cast<unsigned char*>(cursor.ptr);
}

unsigned long remainingOctets(const Asn1Cursor& cursor) {
    if (cursor.ptr == nullptr || cursor.limit == nullptr || cursor.limit < cursor.ptr) return 0;
    return static_cast<unsigned long>(cursor.limit - cursor.ptr);
}

// ---- indexed lists ------------------------------------------------------------

int countListEntries(const unsigned char* cert, unsigned long len, ListKind kind) {
    Asn1Cursor list;
    if (!locateListContainer(cert, len, kind, &list) || !isAt(list, Id::Sequence)) return 0;
    const std::uint32_t count = Asn1CountSequences(list.ptr, list.size);
    constexpr std::uint32_t kMaxCount = std::numeric_limits<int>::max();
    return static_cast<int>(count > kMaxCount ? kMaxCount : count);
}

bool locateListEntry(const unsigned char* cert, unsigned long len, ListKind kind, int index,
                     Asn1Cursor* oid) {
    Asn1Cursor c;
    if (!locateListContainer(cert, len, kind, &c)) return false;
    if (isAt(c, Id::Sequence) && !enter(&c)) return false;
    // Entries are SEQUENCEs; a walk that meets anything else stands still.
    for (int i = 0; i < index && isAt(c, Id::Sequence); ++i) {
        if (!advance(&c)) return false;
    }
    if (isAt(c, Id::Sequence) && !enter(&c)) return false;
    if (!isAt(c, Id::Oid)) return false;
    *oid = c;
    return true;
}

// ---- validity ---------------------------------------------------------------------

__int64 timeOfElement(const Asn1Cursor& time, DaylightSaving daylightSaving) {
    const bool utc = isAt(time, Id::UtcTime);
    if (!utc && !isAt(time, Id::GeneralizedTime)) return 0;
    if (time.size < 2) return 0;

    // The text starts two octets after the identifier, where the content of
    // an element with a one-octet length begins.
    char text[64];
    const std::size_t count = std::min<std::size_t>(time.size - 2, sizeof text - 1);
    std::memcpy(text, time.ptr + 2, count);
    text[count] = '\0';

    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    const int read = std::sscanf(text, utc ? "%2d%2d%2d%2d%2d%2dZ" : "%4d%2d%2d%2d%2d%2dZ",
                                 &year, &month, &day, &hour, &minute, &second);
    // Seconds may be missing (a minute-precision time); the rest must be there.
    if (read < 5) return 0;
    if (utc) year += year > 49 ? 1900 : 2000;

    const std::time_t now = std::time(nullptr);
    std::tm fields{};
    if (localtime_r(&now, &fields) == nullptr) return 0;
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    if (daylightSaving == DaylightSaving::kStandardTime) fields.tm_isdst = 0;
    return static_cast<__int64>(std::mktime(&fields));
}

bool validityTime(const Asn1Cursor& validity, bool notAfter, Asn1Cursor* time) {
    Asn1Cursor c = validity;
    if (!isAt(c, Id::Sequence) || !enter(&c)) return false;
    if (notAfter && !advance(&c)) return false;
    *time = c;
    return true;
}

bool locateValidityByCertificateOrder(const unsigned char* cert, unsigned long len,
                                      Asn1Cursor* validity) {
    const std::uint32_t length = walkLength(len);
    if (asn1::certField(cert, length, asn1::Field::Validity, validity)) return true;
    // CertFieldLocate also checks each field's type, which an attribute
    // certificate does not match: in the older layout the [0] holder stands
    // where the version would and the issuer's GeneralNames where the serial
    // would. Counting the fields in the same order reaches its validity; in
    // the RFC 3281 layout the same place holds the signature algorithm.
    Asn1Cursor c = Asn1Begin(cert, length);
    if (!isAt(c, Id::Sequence) || !enter(&c) || !isAt(c, Id::Sequence) || !enter(&c)) {
        return false;
    }
    if (isAt(c, Id::Context0) && !advance(&c)) return false;  // version
    for (int field = 0; field < 3; ++field) {                 // serial, signature, issuer
        if (!advance(&c)) return false;
    }
    *validity = c;
    return true;
}

// ---- the public key ---------------------------------------------------------------

bool readPublicKey(const unsigned char* cert, unsigned long len, PublicKeyParts* parts) {
    Asn1Cursor spki;
    if (!asn1::certField(cert, walkLength(len), asn1::Field::SubjectPublicKeyInfo, &spki)) return false;
    Asn1Cursor algorithm = spki;
    if (!enter(&algorithm) || !isAt(algorithm, Id::Sequence)) return false;
    Asn1Cursor oid = algorithm;
    if (!enter(&oid)) return false;
    const std::string dotted = dottedOid(oid);

    // The subjectPublicKey BIT STRING follows the AlgorithmIdentifier.
    Asn1Cursor key = algorithm;
    if (dotted == kEcPublicKey) {
        parts->algorithm = KeyAlgorithm::kEc;
        parts->parameters = oid;
        if (!advance(&parts->parameters)) parts->parameters = Asn1Cursor{};
        if (!advance(&key) || !isAt(key, Id::BitString)) return false;
        parts->key = key;
        return true;
    }
    if (dotted == kRsaEncryption) {
        parts->algorithm = KeyAlgorithm::kRsa;
        if (!advance(&key)) return false;
        if (isAt(key, Id::BitString) && !enter(&key)) return false;  // past the unused-bits octet
        if (!isAt(key, Id::Sequence)) return false;                       // RSAPublicKey
        parts->key = key;
        return true;
    }
    return false;
}

bool rsaInteger(const PublicKeyParts& parts, bool exponent, Asn1Cursor* integer) {
    if (parts.algorithm != KeyAlgorithm::kRsa) return false;
    Asn1Cursor c = parts.key;
    if (!enter(&c) || !isAt(c, Id::Integer)) return false;
    if (exponent && (!advance(&c) || !isAt(c, Id::Integer))) return false;
    *integer = c;
    return true;
}

bool publicKeyModulusHex(const unsigned char* cert, unsigned long len, std::string* hex) {
    PublicKeyParts parts;
    if (!readPublicKey(cert, len, &parts)) return false;
    asn1::Element element;
    if (parts.algorithm == KeyAlgorithm::kEc) {
        // The encoded point: the content after the unused-bits octet.
        if (!elementAt(parts.key, &element) || element.contentLength == 0) return false;
        return hexIfItFits(element.content + 1, element.contentLength - 1, hex);
    }
    Asn1Cursor modulus;
    if (!rsaInteger(parts, false, &modulus) || !elementAt(modulus, &element) ||
        element.contentLength == 0) {
        return false;
    }
    const std::size_t skipped = modulusOctetsSkipped(element.content, element.contentLength);
    return hexIfItFits(element.content + skipped, element.contentLength - skipped, hex);
}

namespace {
std::atomic<bool> g_modulusSignOctetOnly{false};
}  // namespace

void setModulusSignOctetOnly(bool onlySignOctet) { g_modulusSignOctetOnly = onlySignOctet; }

// The first octet is the 00 that keeps a modulus with its top bit set
// positive; it is not shown.
std::size_t modulusOctetsSkipped(const unsigned char* content, std::size_t length) {
    if (length == 0) return 0;
    return !g_modulusSignOctetOnly || content[0] == 0x00 ? 1 : 0;
}

int rsaModulusOctetsShown(const PublicKeyParts& parts) {
    Asn1Cursor modulus;
    asn1::Element element;
    if (!rsaInteger(parts, false, &modulus) || !elementAt(modulus, &element) ||
        element.contentLength == 0) {
        return -1;
    }
    const std::size_t shown =
        element.contentLength - modulusOctetsSkipped(element.content, element.contentLength);
    return static_cast<int>(shown);
}

// ---- renderer dispatch --------------------------------------------------------------

Renderer certificateExtensionRenderer(const char* dotted) {
    return findRenderer(kCertificateExtensionRenderers, ClassifyExtensionOid(dotted));
}

Renderer attrCertExtensionRenderer(const char* dotted) {
    return findRenderer(kAttrCertExtensionRenderers, ClassifyExtensionOid(dotted));
}

Renderer attributeRenderer(const char* dotted) {
    return findRenderer(kAttributeRenderers, ClassifyAttributeOid(dotted));
}

std::string renderValue(Renderer renderer, unsigned char* element, unsigned long length) {
    static constexpr const char* kRendererFailed = "---";
    try {
        const char* text = renderer(element, length);
        return text != nullptr ? std::string(text) : std::string(kRendererFailed);
    } catch (...) {
        return kRendererFailed;
    }
}

char* listEntryValue(ResultText& buffer, const unsigned char* cert, unsigned long len,
                     ListKind kind, int index, RendererSelector select) {
    Asn1Cursor oid;
    if (!locateListEntry(cert, len, kind, index, &oid)) return buffer.clear();
    // A copy: renderers write OIDs into the same per-thread text buffer.
    const std::string dotted = dottedOid(oid);
    Asn1Cursor value = oid;  // critical flag or extnValue; the attribute's values
    if (!advance(&value)) return buffer.clear();
    const Renderer renderer = select(dotted.c_str());
    if (renderer == nullptr) return buffer.clear();
    return buffer.assign(renderValue(renderer, mutableStart(value), remainingOctets(value)));
}

}  // namespace kivo::certinfo
