// CCertInfo's static getters on a DER public-key certificate, and the
// entry points of the family that always return 0.
//
// Every getter logs its entry, walks the certificate with the bounded DER
// toolkit and answers in its own per-thread result buffer. A failure, an
// exception included, gives the getter's failure value.

#include "CertInfoSSL.h"

#include "src/cert/CertInfoGetterSupport.h"
#include "src/frame/Logging.h"

#include <cstdio>
#include <string>


using kivo::asn1::Field;
using namespace kivo::certinfo;

namespace {

bool locate(const unsigned char* cert, unsigned long len, Field id, Asn1Cursor* field) {
    return kivo::asn1::certField(cert, walkLength(len), id, field);
}

char* nameText(ResultText& buffer, const unsigned char* cert, unsigned long len, Field id) {
    Asn1Cursor name;
    if (!usable(cert, len) || !locate(cert, len, id, &name)) return buffer.clear();
    return buffer.assign(Asn1NameToText(name.ptr, name.size));
}

char* serialText(ResultText& buffer, const unsigned char* cert, unsigned long len) {
    Asn1Cursor serial;
    if (!usable(cert, len) || !locate(cert, len, Field::SerialNumber, &serial) ||
        !isAt(serial, Id::Integer)) {
        return buffer.clear();
    }
    return buffer.assign(Asn1ContentHex(serial.ptr, serial.size));
}

// The algorithm OID of the AlgorithmIdentifier at the cursor.
char* algorithmOidText(ResultText& buffer, Asn1Cursor algorithm) {
    if (!isAt(algorithm, Id::Sequence) || !enter(&algorithm)) return buffer.clear();
    return buffer.assign(dottedOid(algorithm));
}

// The cursor on the n-th element (0-based) of the outer Certificate:
// tbsCertificate, signatureAlgorithm, signatureValue.
bool certificatePart(const unsigned char* cert, unsigned long len, int n, Asn1Cursor* part) {
    Asn1Cursor c = Asn1Begin(cert, walkLength(len));
    if (!enter(&c)) return false;
    for (int i = 0; i < n; ++i) {
        if (!advance(&c)) return false;
    }
    *part = c;
    return true;
}

__int64 validityTimeOf(const unsigned char* cert, unsigned long len, bool notAfter) {
    Asn1Cursor validity;
    Asn1Cursor time;
    if (!usable(cert, len) || !locate(cert, len, Field::Validity, &validity) ||
        !validityTime(validity, notAfter, &time)) {
        return 0;
    }
    return timeOfElement(time, DaylightSaving::kStandardTime);
}

}  // namespace

char* CCertInfo::getVersion(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "getVersion");
        Asn1Cursor version;
        // A version 1 certificate has no [0] field: empty.
        if (!usable(cert, len) || !locate(cert, len, Field::Version, &version) || !enter(&version) ||
            !isAt(version, Id::Integer)) {
            return buffer.clear();
        }
        char text[16];
        std::snprintf(text, sizeof text, "%d", static_cast<int>(Asn1SmallInt(version.ptr, version.size)));
        return buffer.assign(text);
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::getSignaturOID(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "getSignaturOID");
        Asn1Cursor signature;
        if (!usable(cert, len) || !locate(cert, len, Field::Signature, &signature)) return buffer.clear();
        return algorithmOidText(buffer, signature);
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::getCertSigOID(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "getCertSigOID");
        Asn1Cursor algorithm;
        if (!usable(cert, len) || !certificatePart(cert, len, 1, &algorithm)) return buffer.clear();
        return algorithmOidText(buffer, algorithm);
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::getCertSigValue(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "getCertSigValue");
        Asn1Cursor value;
        if (!usable(cert, len) || !certificatePart(cert, len, 2, &value) || !isAt(value, Id::BitString)) {
            return buffer.clear();
        }
        return buffer.assign(Asn1BitStringHex(value.ptr, value.size));
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::getIssuer(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "getIssuer");
        return nameText(buffer, cert, len, Field::Issuer);
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::S_getIssuerName(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "S_getIssuerName");
        char* result = nameText(buffer, cert, len, Field::Issuer);
        KIVO_LOG_LEAVE(m_logger, "S_getIssuerName", result);
        return result;
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::getSubject(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "getSubject");
        return nameText(buffer, cert, len, Field::Subject);
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::getSerialNum(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "getSerialNum");
        return serialText(buffer, cert, len);
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::S_getSerial(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "S_getSerial");
        char* result = serialText(buffer, cert, len);
        KIVO_LOG_LEAVE(m_logger, "S_getSerial", result);
        return result;
    } catch (...) {
        return buffer.clear();
    }
}

__int64 CCertInfo::getNotBefore(unsigned char* cert, unsigned long len) {
    try {
        KIVO_LOG_ENTER(m_logger, "getNotBefore");
        const __int64 result = validityTimeOf(cert, len, false);
        KIVO_LOG_LEAVE(m_logger, "getNotBefore", result);
        return result;
    } catch (...) {
        return 0;
    }
}

__int64 CCertInfo::getNotAfter(unsigned char* cert, unsigned long len) {
    try {
        KIVO_LOG_ENTER(m_logger, "getNotAfter");
        const __int64 result = validityTimeOf(cert, len, true);
        KIVO_LOG_LEAVE(m_logger, "getNotAfter", result);
        return result;
    } catch (...) {
        return 0;
    }
}

// ---- the public key ---------------------------------------------------------------

char* CCertInfo::getPkOID(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "getPkOID");
        Asn1Cursor algorithm;
        if (!usable(cert, len) || !locate(cert, len, Field::SubjectPublicKeyInfo, &algorithm) ||
            !enter(&algorithm)) {
            return buffer.clear();
        }
        return algorithmOidText(buffer, algorithm);
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::getPkMod(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "getPkMod");
        std::string hex;
        if (!usable(cert, len) || !publicKeyModulusHex(cert, len, &hex)) return buffer.clear();
        return buffer.assign(hex);
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::getPkExp(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "getPkExp");
        PublicKeyParts parts;
        if (!usable(cert, len) || !readPublicKey(cert, len, &parts)) return buffer.clear();
        if (parts.algorithm == KeyAlgorithm::kEc) return buffer.assign(dottedOid(parts.parameters));
        Asn1Cursor exponent;
        if (!rsaInteger(parts, true, &exponent)) return buffer.clear();
        return buffer.assign(lowerHexValue(exponent));
    } catch (...) {
        return buffer.clear();
    }
}

int CCertInfo::getPkLen(unsigned char* cert, unsigned long len) {
    try {
        KIVO_LOG_ENTER(m_logger, "getPkLen");
        std::string hex;
        if (!usable(cert, len) || !publicKeyModulusHex(cert, len, &hex)) return 0;
        return static_cast<int>(hex.size() * 4);
    } catch (...) {
        return 0;
    }
}

unsigned char* CCertInfo::getPublicKey(unsigned char* cert, unsigned long len) {
    try {
        KIVO_LOG_ENTER(m_logger, "getPublicKey");
        PublicKeyParts parts;
        if (!usable(cert, len) || !readPublicKey(cert, len, &parts)) return nullptr;
        return mutableStart(parts.key);
    } catch (...) {
        return nullptr;
    }
}

int CCertInfo::getPublicKeySize(unsigned char* cert, unsigned long len) {
    try {
        KIVO_LOG_ENTER(m_logger, "getPublicKeySize");
        PublicKeyParts parts;
        if (!usable(cert, len) || !readPublicKey(cert, len, &parts)) return -1;
        return static_cast<int>(parts.key.size);
    } catch (...) {
        return -1;
    }
}

void CCertInfo::SetModulusSignOctetOnly(bool onlySignOctet) {
    setModulusSignOctetOnly(onlySignOctet);
}

int CCertInfo::getPublicKeyBits(unsigned char* cert, unsigned long len) {
    try {
        KIVO_LOG_ENTER(m_logger, "getPublicKeyBits");
        PublicKeyParts parts;
        if (!usable(cert, len) || !readPublicKey(cert, len, &parts)) return -1;
        // EC: the size of the whole BIT STRING element.
        if (parts.algorithm == KeyAlgorithm::kEc) return static_cast<int>(parts.key.size);
        // RSA: the modulus octets after the first one.
        return rsaModulusOctetsShown(parts);
    } catch (...) {
        return -1;
    }
}

// ---- extensions ---------------------------------------------------------------------

int CCertInfo::getExtensionNum(unsigned char* cert, unsigned long len) {
    try {
        KIVO_LOG_ENTER(m_logger, "getExtensionNum");
        if (!usable(cert, len)) return 0;
        return countListEntries(cert, len, ListKind::kCertificateExtensions);
    } catch (...) {
        return 0;
    }
}

char* CCertInfo::getExtensionOID(unsigned char* cert, unsigned long len, int index) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "getExtensionOID");
        Asn1Cursor oid;
        if (!usable(cert, len) ||
            !locateListEntry(cert, len, ListKind::kCertificateExtensions, index, &oid)) {
            return buffer.clear();
        }
        // The OID text buffer itself: valid until an OID is rendered again.
        return const_cast<char*>(Asn1OidToText(oid.ptr, oid.size, false));
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::getExtensionValue(unsigned char* cert, unsigned long len, int index) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "getExtensionValue");
        if (!usable(cert, len)) return buffer.clear();
        return listEntryValue(buffer, cert, len, ListKind::kCertificateExtensions, index,
                              &certificateExtensionRenderer);
    } catch (...) {
        return buffer.clear();
    }
}

// ---- entry points that always return 0 ------------------------------------------

char* CCertInfo::S_getHash(unsigned char*, unsigned long) { return nullptr; }
unsigned char* CCertInfo::S_getPublicKey(unsigned char*, unsigned long) { return nullptr; }
char* CCertInfo::getDisplayname(unsigned char*, unsigned long) { return nullptr; }
char* CCertInfo::getFingerprint(unsigned char*, unsigned long) { return nullptr; }
int CCertInfo::getKeyUsage(unsigned char*, unsigned long) { return 0; }
char* CCertInfo::getSignatur(unsigned char*, unsigned long) { return nullptr; }
