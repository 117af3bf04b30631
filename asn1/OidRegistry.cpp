// OID registry, OID names and the classification of attribute and
// extension OIDs.

#include "asn1/OidRegistry.h"

#include <cstring>

#include "asn1/Asn1Der.h"

using kivo::asn1::Id;
using kivo::asn1::octet;

namespace kivo::asn1 {
namespace {

// DER of a dotted OID, computed while compiling. A malformed dotted text
// reaches a throw, which stops the compilation of the constant table.
constexpr OidRegistryEntry entry(const char* dotted, const char* name) {
    std::uint64_t arcs[kOidRegistryDerCapacity] = {};
    std::size_t arcCount = 0;
    std::uint64_t value = 0;
    bool haveDigit = false;
    for (const char* c = dotted;; ++c) {
        if (*c >= '0' && *c <= '9') {
            value = value * 10 + static_cast<std::uint64_t>(*c - '0');
            if (value > 0xFFFFFFFFu) throw "arc does not fit 32 bits";
            haveDigit = true;
            continue;
        }
        if (*c != '.' && *c != '\0') throw "character other than a digit or '.'";
        if (!haveDigit) throw "empty arc";
        if (arcCount == kOidRegistryDerCapacity) throw "too many arcs";
        arcs[arcCount++] = value;
        value = 0;
        haveDigit = false;
        if (*c == '\0') break;
    }
    if (arcCount < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) throw "bad first arcs";

    OidRegistryEntry result{0, {}, dotted, name};
    std::size_t out = 2;
    auto putArc = [&](std::uint64_t arc) {
        unsigned char groups[10] = {};
        std::size_t count = 0;
        do {
            groups[count++] = static_cast<unsigned char>(arc & 0x7F);
            arc >>= 7;
        } while (arc != 0);
        while (count > 0) {
            if (out == kOidRegistryDerCapacity) throw "encoding too long";
            --count;
            result.der[out++] = static_cast<unsigned char>(groups[count] | (count > 0 ? 0x80 : 0));
        }
    };
    putArc(arcs[0] * 40 + arcs[1]);
    for (std::size_t i = 2; i < arcCount; ++i) putArc(arcs[i]);
    result.der[0] = octet(Id::Oid);
    result.der[1] = static_cast<unsigned char>(out - 2);
    result.derLength = static_cast<std::uint32_t>(out);
    return result;
}

// Table order matters: lookups return the first entry whose dotted text
// matches, so 1.3.36.8.3.14 and 0.4.0.1862.1.2 keep their first names.
constexpr OidRegistryEntry kRegistry[] = {
    entry("1.2.840.10045.2.1", "ecPublicKey"),
    entry("1.2.840.10045.3.1.1", "prime192v1"),
    entry("1.2.840.10045.3.1.2", "prime192v2"),
    entry("1.2.840.10045.3.1.3", "prime192v3"),
    entry("1.2.840.113549.1.1.1", "rsaEncryption"),
    entry("1.2.840.113549.1.1.4", "md5withRSAEncryption"),
    entry("1.2.840.113549.1.1.5", "sha1withRSAEncryption"),
    entry("1.2.840.113549.1.1.10", "RSASSA-PSS"),
    entry("1.2.840.113549.1.1.11", "sha256withRSAEncryption"),
    entry("1.2.840.113549.1.1.12", "sha384withRSAEncryption"),
    entry("1.2.840.113549.1.1.13", "sha512withRSAEncryption"),
    entry("1.2.840.113549.1.9.1", "emailAddress"),
    entry("1.3.36.8.1.1", "id-isismtt-cp-sigconform"),
    entry("1.3.36.8.3.1", "id-isismtt-at-dateOfCertGen"),
    entry("1.3.36.8.3.2", "id-isismtt-at-procuration"),
    entry("1.3.36.8.3.3", "id-isismtt-at-admission"),
    entry("1.3.36.8.3.4", "id-isismtt-at-monetaryLimit"),
    entry("1.3.36.8.3.5", "id-isismtt-at-declarationOfMajority"),
    entry("1.3.36.8.3.6", "id-isismtt-at-ICCSN"),
    entry("1.3.36.8.3.7", "id-isismtt-at-pKReference"),
    entry("1.3.36.8.3.8", "id-isismtt-at-restriction"),
    entry("1.3.36.8.3.9", "id-isismtt-at-retrieveIfAllowed"),
    entry("1.3.36.8.3.10", "id-isismtt-at-requestedCertificate"),
    entry("1.3.36.8.3.11", "id-isismtt-at-namingAuthorities"),
    entry("1.3.36.8.3.12", "id-isismtt-at-certInDirSince"),
    entry("1.3.36.8.3.13", "id-isismtt-at-certHash"),
    entry("1.3.36.8.3.14", "id-isismtt-at-nameAtBirth"),
    entry("1.3.36.8.3.15", "id-isismtt-at-additionalInformation"),
    entry("1.3.36.3.3.1.2", "ripemd160withRSAEncryption"),
    entry("1.3.36.3.3.2.2.1", "sha1withECSIEEncryption"),
    entry("1.3.36.3.3.2.2.2", "ripemd160withECSIEEncryption"),
    entry("1.3.36.8.3.14", "nameAtBirth"),
    entry("1.3.6.1.5.5.7.1.1", "authorityInfoAccess"),
    entry("1.3.6.1.5.5.7.1.3", "qcStatements"),
    entry("1.3.6.1.5.5.7.9.1", "dateOfBirth"),
    entry("1.3.6.1.5.5.7.9.2", "placeOfBirth"),
    entry("1.3.6.1.5.5.7.9.4", "countryOfCitizenship"),
    entry("1.3.6.1.4.1.8301.3.5", "validityModel"),
    entry("2.16.840.1.113730.1.13", "netscapeCertificateComment"),
    entry("2.16.840.1.113730.1.2", "base-url"),
    entry("2.16.840.1.113730.1.8", "ca-policy-url"),
    entry("0.4.0.1862.1.2", "QcEuLimitValue"),
    entry("2.5.4.1", "aliasedEntryName"),
    entry("2.5.4.2", "knowldgeinformation"),
    entry("2.5.4.3", "commonName"),
    entry("2.5.4.4", "surname"),
    entry("2.5.4.5", "serialNumber"),
    entry("2.5.4.6", "countryName"),
    entry("2.5.4.7", "localityName"),
    entry("2.5.4.8", "stateOrProvinceName"),
    entry("2.5.4.9", "streetAddress"),
    entry("2.5.4.10", "organizationName"),
    entry("2.5.4.11", "organizationalUnitName"),
    entry("2.5.4.12", "title"),
    entry("2.5.4.13", "description"),
    entry("2.5.4.16", "postalAddress"),
    entry("2.5.4.42", "givenname"),
    entry("2.5.4.65", "pseudonym"),
    entry("2.5.29.9", "subjectDirectoryAttributes"),
    entry("2.5.29.14", "subjectKeyIdentifier"),
    entry("2.5.29.15", "keyUsage"),
    entry("2.5.29.17", "subjectAltName"),
    entry("2.5.29.18", "issuerAltName"),
    entry("2.5.29.19", "basicConstraints"),
    entry("2.5.29.31", "cRLDistributionPoints"),
    entry("2.5.29.32", "certificatePolicies"),
    entry("2.5.29.35", "authorityKeyIdentifier"),
    entry("0.2.262.1.10.7.20", "nameDistinguisher"),
    entry("2.5.29.37", "extended key usage"),
    entry("1.2.840.10045.4.1", "ECDSA-with-SHA1"),
    entry("1.2.840.10045.4.3.1", "ECDSA-with-SHA224"),
    entry("1.2.840.10045.4.3.2", "ECDSA-with-SHA256"),
    entry("1.2.840.10045.4.3.3", "ECDSA-with-SHA384"),
    entry("1.2.840.10045.4.3.4", "ECDSA-with-SHA512"),
    entry("1.3.6.1.5.5.7.3.9", "OCSPSigning"),
    entry("1.3.6.1.5.5.7.3.8", "timeStamping"),
    entry("1.3.6.1.5.5.7.48.1.5", "OCSP-nocheck"),
    entry("0.4.0.1862.1.1", "id-etsi-qcs-QcCompliance"),
    entry("0.4.0.1862.1.2", "id-etsi-qcs-QcLimitValue"),
    entry("0.4.0.1862.1.3", "id-etsi-qcs-QcRetentionPeriod"),
    entry("0.4.0.1862.1.4", "id-etsi-qcs-QcSSCD"),
    entry("0.4.0.1862.1.5", "id-etsi-qcs-QcPDS"),
    entry("0.4.0.1862.1.6", "id-etsi-qcs-QcType"),
    entry("0.4.0.1862.1.6.1", "id-etsi-qct-esign"),
    entry("0.4.0.1862.1.6.2", "id-etsi-qct-eseal"),
    entry("0.4.0.1862.1.6.3", "id-etsi-qct-web"),
    entry("0.4.0.194121.1.1", "id-etsi-qcs-semanticsId-Natural"),
    entry("0.4.0.194121.1.2", "id-etsi-qcs-SemanticsId-Legal"),
};
static_assert(std::size(kRegistry) == 88, "the registry has 88 entries");

struct Classification {
    const char* dotted;
    int code;
};

constexpr Classification kAttributeClasses[] = {
    {"1.3.36.8.3.1", 1},  {"1.3.36.8.3.4", 2}, {"0.4.0.1862.1.2", 2}, {"1.3.36.8.3.2", 3},
    {"1.3.36.8.3.3", 4},  {"1.3.36.8.3.5", 5}, {"1.3.36.8.3.6", 7},   {"1.3.36.8.3.8", 8},
    {"1.3.36.8.3.15", 8}, {"2.5.29.9", 9},
};

constexpr Classification kExtensionClasses[] = {
    {"2.5.29.35", 1},
    {"2.5.29.14", 2},
    {"2.5.29.15", 3},
    {"2.5.29.31", 4},
    {"1.3.6.1.5.5.7.1.1", 5},
    {"2.5.29.32", 6},
    {"1.3.6.1.5.5.7.1.3", 7},
    {"1.3.36.8.3.8", 10},
    {"1.3.36.8.3.15", 10},
    {"2.5.29.17", 12},
    {"2.5.29.18", 13},
    {"1.3.6.1.5.5.7.48.1.5", 16},
    {"2.16.840.1.113730.1.2", 17},
    {"2.16.840.1.113730.1.8", 18},
    {"2.5.29.37", 19},
    {"1.3.36.8.3.3", 20},
    {"1.3.36.8.3.6", 21},
};

template <std::size_t N>
int classify(const Classification (&table)[N], const char* dotted) {
    if (dotted == nullptr) return 0;
    for (const Classification& c : table) {
        if (std::strcmp(c.dotted, dotted) == 0) return c.code;
    }
    return 0;
}

}  // namespace

std::span<const OidRegistryEntry> oidRegistry() { return kRegistry; }

}  // namespace kivo::asn1

const char* OidToName(const char* dotted) {
    if (dotted == nullptr) return nullptr;
    for (const kivo::asn1::OidRegistryEntry& e : kivo::asn1::kRegistry) {
        if (std::strcmp(e.dotted, dotted) == 0) return e.name;
    }
    return nullptr;
}

const char* OidToNameOrSelf(const char* dotted) {
    const char* name = OidToName(dotted);
    return name != nullptr ? name : dotted;
}

int ClassifyAttributeOid(const char* dotted) {
    return kivo::asn1::classify(kivo::asn1::kAttributeClasses, dotted);
}

int ClassifyExtensionOid(const char* dotted) {
    return kivo::asn1::classify(kivo::asn1::kExtensionClasses, dotted);
}
