// CCertInfo's static getters on a DER attribute certificate (the A_ family):
// the RFC 3281 layout and the older one whose holder is a [0] identifier of
// the holder's base certificate. Fields are found with AttrCertFieldLocate,
// except the validity (see A_getNotBefore).

#include "CertInfoSSL.h"

#include "src/cert/CertInfoGetterSupport.h"
#include "src/frame/Logging.h"

#include <string>


using kivo::asn1::Field;
using namespace kivo::certinfo;

namespace {

bool locate(const unsigned char* cert, unsigned long len, Field id, Asn1Cursor* field) {
    return usable(cert, len) && kivo::asn1::attrCertField(cert, walkLength(len), id, field);
}

char* serialText(ResultText& buffer, const unsigned char* cert, unsigned long len, Field id) {
    Asn1Cursor serial;
    if (!locate(cert, len, id, &serial)) return buffer.clear();
    return buffer.assign(smallIntHex(serial));
}

char* nameTextAt(ResultText& buffer, const Asn1Cursor& name) {
    return buffer.assign(Asn1NameToText(name.ptr, name.size));
}

__int64 validityTimeOf(const unsigned char* cert, unsigned long len, bool notAfter) {
    Asn1Cursor validity;
    Asn1Cursor time;
    if (!usable(cert, len) || !locateValidityByCertificateOrder(cert, len, &validity) ||
        !validityTime(validity, notAfter, &time)) {
        return 0;
    }
    return timeOfElement(time, DaylightSaving::kAsNow);
}

}  // namespace

char* CCertInfo::A_getSubject(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "A_getSubject");
        Asn1Cursor name;
        if (!locate(cert, len, Field::Subject, &name)) return buffer.clear();
        // Down to the Name through the wrappers that are there: a context
        // wrapper (an RFC 3281 holder's entityName is [1] GeneralNames), up
        // to two SEQUENCE levels, the directoryName [4].
        if ((isAt(name, Id::Context0) || isAt(name, Id::Context1)) && !enter(&name)) {
            return buffer.clear();
        }
        for (int level = 0; level < 2 && isAt(name, Id::Sequence); ++level) {
            Asn1Cursor inner = name;
            if (!enter(&inner)) return buffer.clear();
            // A Name is a SEQUENCE of SETs: stop on it rather than enter it.
            if (isAt(inner, Id::Set)) break;
            name = inner;
        }
        if (isAt(name, Id::Context4) && !enter(&name)) return buffer.clear();
        return nameTextAt(buffer, name);
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::A_getSubjectSerial(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "A_getSubjectSerial");
        return serialText(buffer, cert, len, Field::HolderSerial);
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::A_getIssuer(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "A_getIssuer");
        Asn1Cursor issuer;
        if (!locate(cert, len, Field::Issuer, &issuer)) return buffer.clear();
        if (isAt(issuer, Id::Sequence) && !enter(&issuer)) return buffer.clear();  // GeneralNames
        if (!isAt(issuer, Id::Context4) || !enter(&issuer)) return buffer.clear();
        return nameTextAt(buffer, issuer);
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::A_getSerial(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "A_getSerial");
        return serialText(buffer, cert, len, Field::SerialNumber);
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::A_getSignatureOID(unsigned char* cert, unsigned long len) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "A_getSignatureOID");
        Asn1Cursor algorithm;
        if (!locate(cert, len, Field::Signature, &algorithm) || !enter(&algorithm)) {
            return buffer.clear();
        }
        return buffer.assign(dottedOid(algorithm));
    } catch (...) {
        return buffer.clear();
    }
}

// The validity is found in the field order of a public-key certificate, and
// the daylight-saving flag is the one localtime() gives for now. An attribute
// certificate that starts with a version INTEGER has its signature algorithm
// at that place, so these two give 0 for it.
__int64 CCertInfo::A_getNotBefore(unsigned char* cert, unsigned long len) {
    try {
        KIVO_LOG_ENTER(m_logger, "A_getNotBefore");
        return validityTimeOf(cert, len, false);
    } catch (...) {
        return 0;
    }
}

__int64 CCertInfo::A_getNotAfter(unsigned char* cert, unsigned long len) {
    try {
        KIVO_LOG_ENTER(m_logger, "A_getNotAfter");
        return validityTimeOf(cert, len, true);
    } catch (...) {
        return 0;
    }
}

// ---- attributes ---------------------------------------------------------------------

int CCertInfo::A_getAttributeNum(unsigned char* cert, unsigned long len) {
    try {
        KIVO_LOG_ENTER(m_logger, "A_getAttributeNum");
        if (!usable(cert, len)) return 0;
        return countListEntries(cert, len, ListKind::kAttrCertAttributes);
    } catch (...) {
        return 0;
    }
}

char* CCertInfo::A_getAttributeOID(unsigned char* cert, unsigned long len, int index) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "A_getAttributeOID");
        Asn1Cursor oid;
        if (!usable(cert, len) ||
            !locateListEntry(cert, len, ListKind::kAttrCertAttributes, index, &oid)) {
            return buffer.clear();
        }
        // The OID text buffer itself: valid until an OID is rendered again.
        return const_cast<char*>(Asn1OidToText(oid.ptr, oid.size, false));
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::A_getAttributeValue(unsigned char* cert, unsigned long len, int index) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "A_getAttributeValue");
        if (!usable(cert, len)) return buffer.clear();
        return listEntryValue(buffer, cert, len, ListKind::kAttrCertAttributes, index,
                              &attributeRenderer);
    } catch (...) {
        return buffer.clear();
    }
}

// ---- extensions ---------------------------------------------------------------------

int CCertInfo::A_getExtensionNum(unsigned char* cert, unsigned long len) {
    try {
        KIVO_LOG_ENTER(m_logger, "A_getExtensionNum");
        if (!usable(cert, len)) return 0;
        return countListEntries(cert, len, ListKind::kAttrCertExtensions);
    } catch (...) {
        return 0;
    }
}

char* CCertInfo::A_getExtensionOID(unsigned char* cert, unsigned long len, int index) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "A_getExtensionOID");
        Asn1Cursor oid;
        if (!usable(cert, len) ||
            !locateListEntry(cert, len, ListKind::kAttrCertExtensions, index, &oid)) {
            return buffer.clear();
        }
        // The OID text buffer itself: valid until an OID is rendered again.
        return const_cast<char*>(Asn1OidToText(oid.ptr, oid.size, false));
    } catch (...) {
        return buffer.clear();
    }
}

char* CCertInfo::A_getExtensionValue(unsigned char* cert, unsigned long len, int index) {
    thread_local ResultText buffer;
    try {
        KIVO_LOG_ENTER(m_logger, "A_getExtensionValue");
        if (!usable(cert, len)) return buffer.clear();
        return listEntryValue(buffer, cert, len, ListKind::kAttrCertExtensions, index,
                              &attrCertExtensionRenderer);
    } catch (...) {
        return buffer.clear();
    }
}
