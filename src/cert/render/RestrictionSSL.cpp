// CRestrictionSSL: text rendering of the German Common PKI attributes.
//
// Each exported function steps into the values SET when there is one and
// hands the value to a renderer below; the cursor moves of RenderDer.h keep
// the walk inside the caller's octets, and RenderText keeps the text inside
// the result buffer.

#include "RestrictionSSL.h"

#include "src/cert/render/RenderDer.h"
#include "src/cert/render/RenderText.h"

#include <string>

using kivo::asn1::Id;

using namespace kivo::render;

namespace {

// Result buffers, one per function and thread.
thread_local char t_restriction[kRenderTextSize];
thread_local char t_additional[kRenderTextSize];
thread_local char t_admission[kRenderTextSize];
thread_local char t_identity[kRenderTextSize];
thread_local char t_majority[kRenderTextSize];
thread_local char t_monetary[kRenderTextSize];
thread_local char t_procuration[kRenderTextSize];

// The value: the element itself, or the first value of the SET it is.
Asn1Cursor attributeValue(const unsigned char* element, unsigned long length) {
    Asn1Cursor cursor = beginAt(element, length);
    enterIf(&cursor, Id::Set);
    return cursor;
}

// Renders into `buffer`; should rendering throw (only allocation can), the
// result is an empty text.
template <typename Render>
char* renderGuarded(char* buffer, Render&& render) noexcept {
    RenderText text(buffer);
    try {
        render(text);
    } catch (...) {
        text.clear();
    }
    return text.result();
}

// A UTF8String value as it stands (restriction, additional information).
void renderUtf8(RenderText& text, const Asn1Cursor& value) {
    if (isAt(value, Id::Utf8String)) text.append(contentCharsAt(value));
}

// MonetaryValue: "EUR 5000.00".
void renderMonetary(RenderText& text, Asn1Cursor value) {
    enterIf(&value, Id::Sequence);
    MonetaryValue limit;
    if (!readMonetaryValue(value, &limit)) return;
    text.append(limit.currency);
    text.append(" ");
    text.append(monetaryAmountText(limit, 2));
}

// DeclarationOfMajoritySyntax with explicit tags: notYoungerThan [0],
// fullAgeAtCountry [1] (not shown), dateOfBirth [2].
void renderMajority(RenderText& text, Asn1Cursor value) {
    for (; isContextSpecific(value); advance(&value)) {
        const unsigned number = Asn1TagNumber(value.ptr);
        if (number == 1) continue;
        if (!isConstructedContext(value)) return;
        const Asn1Cursor inner = firstChild(value);
        if (number == 0 && isAt(inner, Id::Integer)) {
            text.append("notYoungerThan=");
            text.appendDecimal(static_cast<std::int32_t>(smallIntAt(inner)));
        } else if (number == 2 &&
                   (isAt(inner, Id::GeneralizedTime) || isAt(inner, Id::UtcTime))) {
            const std::string date = dateTextAt(inner);
            if (date.empty()) return;
            text.append(" dateOfBirth=");
            text.append(date);
        } else {
            return;
        }
    }
}

// ProcurationSyntax: country [1], typeOfSubstitution [2], signingFor [3]
// (a directoryName [4]); other context elements are passed over, and the
// walk stops at the first element that is not context-specific.
void renderProcuration(RenderText& text, Asn1Cursor value) {
    enterIf(&value, Id::Sequence);
    for (; isContextSpecific(value); advance(&value)) {
        if (!isConstructedContext(value)) continue;
        const Asn1Cursor inner = firstChild(value);
        const unsigned number = Asn1TagNumber(value.ptr);
        if ((number == 1 || number == 2) && isUtf8OrPrintable(inner)) {
            text.separator();
            text.append(number == 1 ? "country=" : "typeOfSubstitution=");
            text.append(contentCharsAt(inner));
        } else if (number == 3 && isAt(inner, constructedContext(4))) {
            text.separator();
            text.append("signingFor={");
            text.append(nameTextAt(firstChild(inner)));
            text.append("}");
        }
    }
}

// The type of an Attribute: registry name, else dotted text, else
// "unknownOID".
std::string attributeTypeName(const Asn1Cursor& type) {
    const std::string dotted = oidTextAt(type);
    return dotted.empty() ? std::string("unknownOID") : std::string(OidToNameOrSelf(dotted.c_str()));
}

// An attribute value: a string as text, a GeneralizedTime as DD.MM.YYYY,
// a SEQUENCE of UTF8Strings joined by ","; other values show nothing.
void renderIdentityValue(RenderText& text, const Asn1Cursor& value) {
    if (isUtf8OrPrintable(value)) {
        text.append(contentCharsAt(value));
    } else if (isAt(value, Id::GeneralizedTime)) {
        text.append(dateTextAt(value));
    } else if (isAt(value, Id::Sequence)) {
        ItemList strings(text, ",");
        for (Asn1Cursor item = firstChild(value); isAt(item, Id::Utf8String); advance(&item)) {
            strings.add(contentCharsAt(item));
        }
    }
}

// SubjectDirectoryAttributes: "type=value" per Attribute, joined by ", ".
void renderIdentity(RenderText& text, Asn1Cursor value) {
    if (!enterIf(&value, Id::Sequence)) return;
    for (; isAt(value, Id::Sequence); advance(&value)) {
        Asn1Cursor field = firstChild(value);
        text.separator();
        text.append(attributeTypeName(field));
        text.append("=");
        advance(&field);
        enterIf(&field, Id::Set);
        renderIdentityValue(text, field);
    }
}

// NamingAuthority: "namingAuthority={id, url, text}" with the parts present.
void renderNamingAuthority(RenderText& text, Asn1Cursor field, bool preceded) {
    enterIf(&field, Id::Sequence);
    text.append(preceded ? ", namingAuthority={" : "namingAuthority={");
    ItemList parts(text, ", ");
    if (isAt(field, Id::Oid)) {
        parts.add(oidTextAt(field));
        advance(&field);
    }
    if (isAt(field, Id::Ia5String)) {
        parts.add(contentCharsAt(field));
        advance(&field);
    }
    if (isAt(field, Id::Utf8String)) parts.add(contentCharsAt(field));
    text.append("}");
}

// The fields of a ProfessionInfo after its namingAuthority: the items,
// the OIDs and the registration number, each when present.
void renderProfessionInfo(RenderText& text, Asn1Cursor field) {
    if (isAt(field, Id::Sequence)) {
        text.append("professionItems={");
        ItemList items(text, ", ");
        for (Asn1Cursor item = firstChild(field); present(item); advance(&item)) {
            if (isAt(item, Id::Utf8String)) items.add(contentCharsAt(item));
        }
        text.append("} ");
        advance(&field);
    }
    if (isAt(field, Id::Sequence) && isAt(firstChild(field), Id::Oid)) {
        text.append(", professionOIDs={");
        ItemList oids(text, ", ");
        for (Asn1Cursor oid = firstChild(field); isAt(oid, Id::Oid); advance(&oid)) {
            oids.add(oidTextAt(oid));
        }
        text.append("} ");
        advance(&field);
    }
    if (isAt(field, Id::PrintableString)) {
        text.append(", registrationNumber=");
        text.append(contentCharsAt(field));
    }
}

// AdmissionSyntax: the admissionAuthority directoryName, then of the first
// Admissions its namingAuthority and its first ProfessionInfo. Only the
// Admissions' own fields count as text preceding a ", " separator.
void renderAdmission(RenderText& text, Asn1Cursor value) {
    enterIf(&value, Id::Sequence);
    if (isAt(value, constructedContext(4))) {
        text.append("admissionAuthority={");
        text.append(nameTextAt(firstChild(value)));
        text.append("}");
        advance(&value);
    }
    enterIf(&value, Id::Sequence);  // contentsOfAdmissions
    enterIf(&value, Id::Sequence);  // the first Admissions
    bool preceded = false;
    if (isAt(value, constructedContext(0))) {  // its own admissionAuthority
        advance(&value);
        preceded = true;
    }
    if (isAt(value, constructedContext(1))) {
        renderNamingAuthority(text, firstChild(value), preceded);
        preceded = true;
        advance(&value);
    }
    if (!enterIf(&value, Id::Sequence)) return;  // professionInfos
    enterIf(&value, Id::Sequence);               // the first ProfessionInfo
    text.append(preceded ? ", professionInfos=" : "professionInfos=");
    if (isAt(value, constructedContext(0))) advance(&value);
    renderProfessionInfo(text, value);
}

}  // namespace

CRestrictionSSL::CRestrictionSSL() = default;
CRestrictionSSL::CRestrictionSSL(const CRestrictionSSL&) = default;
CRestrictionSSL& CRestrictionSSL::operator=(const CRestrictionSSL&) = default;

char* CRestrictionSSL::getRestriction(unsigned char* element, unsigned long length) {
    return renderGuarded(t_restriction, [&](RenderText& text) {
        renderUtf8(text, attributeValue(element, length));
    });
}

char* CRestrictionSSL::getRestrictionAdditional(unsigned char* element, unsigned long length) {
    return renderGuarded(t_additional, [&](RenderText& text) {
        Asn1Cursor value = beginAt(element, length);
        if (enterIf(&value, Id::Set)) renderUtf8(text, value);
    });
}

char* CRestrictionSSL::getRestrictionAdmission(unsigned char* element, unsigned long length) {
    return renderGuarded(t_admission, [&](RenderText& text) {
        renderAdmission(text, attributeValue(element, length));
    });
}

char* CRestrictionSSL::getRestrictionIdentity(unsigned char* element, unsigned long length) {
    return renderGuarded(t_identity, [&](RenderText& text) {
        renderIdentity(text, attributeValue(element, length));
    });
}

char* CRestrictionSSL::getRestrictionMajority(unsigned char* element, unsigned long length) {
    return renderGuarded(t_majority, [&](RenderText& text) {
        renderMajority(text, attributeValue(element, length));
    });
}

char* CRestrictionSSL::getRestrictionMonetary(unsigned char* element, unsigned long length) {
    return renderGuarded(t_monetary, [&](RenderText& text) {
        renderMonetary(text, attributeValue(element, length));
    });
}

char* CRestrictionSSL::getRestrictionProkura(unsigned char* element, unsigned long length) {
    return renderGuarded(t_procuration, [&](RenderText& text) {
        renderProcuration(text, attributeValue(element, length));
    });
}
