// Locating the fields of certificates, attribute certificates and
// ContentInfo, and the small finders used on card data.

#include "asn1/Asn1Der.h"
#include "asn1/DerCursor.h"

#include <optional>

using kivo::asn1::Id;

namespace kivo::asn1 {
namespace {


bool isContext(const unsigned char* p, unsigned number) {
    return (p[0] & 0xC0u) == 0x80u && (p[0] & 0x1Fu) == number;
}

// The cursor on the first child of the SEQUENCE that the region starts
// with, within `length` octets.
bool enterOuterSequence(const unsigned char* p, std::uint32_t length, Asn1Cursor* cursor) {
    *cursor = Asn1Begin(p, length);
    return cursor->size != 0 && p[0] == Id::Sequence && enter(cursor);
}

// Walks the fields of an X.509 TBSCertificate until `id` is reached.
bool locateCertField(Asn1Cursor c, Field id, Asn1Cursor* out) {
    if (c.ptr[0] == Id::Context0) {
        if (id == Field::Version) {
            *out = c;
            return true;
        }
        if (!advance(&c)) return false;
    } else if (id == Field::Version) {
        return false;
    }

    struct Mandatory {
        Field id;
        Id identifier;
    };
    static constexpr Mandatory kMandatory[] = {
        {Field::SerialNumber, Id::Integer}, {Field::Signature, Id::Sequence}, {Field::Issuer, Id::Sequence},
        {Field::Validity, Id::Sequence},    {Field::Subject, Id::Sequence},   {Field::SubjectPublicKeyInfo, Id::Sequence},
    };
    for (std::size_t i = 0; i < std::size(kMandatory); ++i) {
        if (c.ptr[0] != kMandatory[i].identifier) return false;
        if (id == kMandatory[i].id) {
            *out = c;
            return true;
        }
        if (!advance(&c)) return false;  // after subjectPublicKeyInfo: no optional fields
    }

    // issuerUniqueID [1], subjectUniqueID [2], extensions [3].
    do {
        std::optional<Field> found;
        if (isContext(c.ptr, 1)) {
            found = Field::IssuerUniqueId;
        } else if (isContext(c.ptr, 2)) {
            found = Field::SubjectUniqueId;
        } else if (c.ptr[0] == Id::Context3) {
            found = Field::Extensions;
        }
        if (found == id) {
            *out = c;
            return true;
        }
    } while (advance(&c));
    return false;
}

// Among at most three children of the element at the cursor, the first
// whose identifier `accept` takes; children that `skip` takes are passed
// over, any other child ends the search.
template <typename Accept, typename Skip>
bool findAmongFirstThree(Asn1Cursor c, Accept accept, Skip skip, Asn1Cursor* found) {
    if (!enter(&c)) return false;
    for (int i = 0; i < 3; ++i) {
        if (accept(c.ptr)) {
            *found = c;
            return true;
        }
        if (!skip(c.ptr) || !advance(&c)) return false;
    }
    return false;
}

bool locateAttrCertField(Asn1Cursor c, Field id, Asn1Cursor* out) {
    auto answer = [&](const Asn1Cursor& at) {
        *out = at;
        return true;
    };
    Asn1Cursor hit;

    if (c.ptr[0] == Id::Integer) {
        if (id == Field::Version) return answer(c);
        if (!advance(&c)) return false;
    }

    // Older layout: the holder is a [0] IssuerSerial of its base
    // certificate: issuer GeneralNames, then the serial INTEGER.
    if (isContext(c.ptr, 0)) {
        Asn1Cursor issuerNames = c;
        if (enter(&issuerNames)) {
            if (id == Field::Issuer &&
                findAmongFirstThree(
                    issuerNames, [](const unsigned char* p) { return isContext(p, 4); },
                    [](const unsigned char* p) { return isContext(p, 0) || isContext(p, 1); },
                    &hit)) {
                return answer(hit);
            }
            Asn1Cursor serial = issuerNames;
            if (id == Field::HolderSerial && advance(&serial) && serial.ptr[0] == Id::Integer) {
                return answer(serial);
            }
        }
        if (!advance(&c)) return false;
    }

    // Holder (RFC 3281) or issuer GeneralNames (older layout).
    if (c.ptr[0] != Id::Sequence) return false;
    if (id == Field::Subject &&
        findAmongFirstThree(
            c, [](const unsigned char* p) { return isContext(p, 1) || isContext(p, 4); },
            [](const unsigned char* p) { return isContext(p, 0) || isContext(p, 2); }, &hit)) {
        return answer(hit);
    }
    if (!advance(&c)) return false;

    // The issuer's v2Form [0]: issuerName, [0] baseCertificateID, [1] objectDigestInfo.
    if (isContext(c.ptr, 0)) {
        if (id == Field::Issuer &&
            findAmongFirstThree(
                c, [](const unsigned char* p) { return p[0] == Id::Sequence; },
                [](const unsigned char* p) { return isContext(p, 0) || isContext(p, 1); },
                &hit)) {
            return answer(hit);
        }
        if (!advance(&c)) return false;
    }

    struct Mandatory {
        Field id;
        Id identifier;
    };
    static constexpr Mandatory kMandatory[] = {
        {Field::Signature, Id::Sequence},
        {Field::SerialNumber, Id::Integer},
        {Field::Validity, Id::Sequence},
        {Field::Attributes, Id::Sequence},
    };
    for (std::size_t i = 0; i < std::size(kMandatory); ++i) {
        if (c.ptr[0] != kMandatory[i].identifier) return false;
        if (id == kMandatory[i].id) return answer(c);
        if (!advance(&c)) return false;  // after the attributes: no optional fields
    }

    auto firstChildIs = [](Asn1Cursor at, Id identifier) {
        return at.ptr[0] == Id::Sequence && enter(&at) && at.ptr[0] == identifier;
    };
    if (c.ptr[0] == Id::BitString || firstChildIs(c, Id::BitString)) {
        if (id == Field::AttrCertIssuerUniqueId) return answer(c);
        if (!advance(&c)) return false;
    }
    if (firstChildIs(c, Id::Sequence) && id == Field::Extensions) return answer(c);
    return false;
}

// Copies the content of the first child with `identifier` of a SEQUENCE
// with a short-form length whose children have short-form lengths too.
bool findShortFormChild(const unsigned char* p, std::uint32_t size, Id identifier,
                        const unsigned char** content, std::uint32_t* length) {
    if (p == nullptr || size < 2 || p[0] != Id::Sequence || p[1] >= 0x80 || p[1] < 3) return false;
    const std::uint32_t end = 2u + p[1];
    if (end > size) return false;
    std::uint32_t position = 2;
    while (position + 2 <= end) {
        const unsigned char childLength = p[position + 1];
        if (childLength >= 0x80 || position + 2 + childLength > end) return false;
        if (p[position] == identifier) {
            *content = p + position + 2;
            *length = childLength;
            return true;
        }
        position += 2u + childLength;
    }
    return false;
}

}  // namespace
}  // namespace kivo::asn1

using namespace kivo::asn1;

bool CertFieldLocate(const unsigned char* cert, std::uint32_t length, int id, Asn1Cursor* out) {
    if (out == nullptr) return false;
    Asn1Cursor c;
    // Certificate, then TBSCertificate.
    if (!enterOuterSequence(cert, length, &c) || c.ptr[0] != Id::Sequence || !enter(&c)) {
        return false;
    }
    return locateCertField(c, static_cast<Field>(id), out);
}

bool AttrCertFieldLocate(const unsigned char* ac, std::uint32_t length, int id, Asn1Cursor* out) {
    if (out == nullptr) return false;
    Asn1Cursor c;
    // AttributeCertificate, then AttributeCertificateInfo.
    if (!enterOuterSequence(ac, length, &c) || c.ptr[0] != Id::Sequence || !enter(&c)) {
        return false;
    }
    return locateAttrCertField(c, static_cast<Field>(id), out);
}

bool ContentFieldLocate(const unsigned char* p, std::uint32_t length, int id, Asn1Cursor* out) {
    if (out == nullptr || id != fieldNumber(Field::ContentFirstChild)) return false;
    Asn1Cursor c;
    if (!enterOuterSequence(p, length, &c)) return false;
    *out = c;
    return true;
}

bool FindUtf8InSequence(const unsigned char* p, std::uint32_t size, std::string* text) {
    const unsigned char* content = nullptr;
    std::uint32_t length = 0;
    if (text == nullptr) return false;
    text->clear();
    if (!findShortFormChild(p, size, Id::Utf8String, &content, &length)) return false;
    text->assign(reinterpret_cast<const char*>(content), length);
    return true;
}

bool FindOctetsInSequence(const unsigned char* p, std::uint32_t size,
                          std::vector<unsigned char>* octets) {
    if (octets == nullptr) return false;
    octets->clear();
    const unsigned char* content = nullptr;
    std::uint32_t length = 0;
    if (findShortFormChild(p, size, Id::OctetString, &content, &length)) {
        octets->assign(content, content + length);
        return true;
    }
    // Card data that is not such a SEQUENCE carries its 16 octets at a
    // fixed place.
    constexpr std::uint32_t kFixedOffset = 28;
    constexpr std::uint32_t kFixedLength = 16;
    if (p != nullptr && size >= kFixedOffset + kFixedLength) {
        octets->assign(p + kFixedOffset, p + kFixedOffset + kFixedLength);
    }
    return false;
}
