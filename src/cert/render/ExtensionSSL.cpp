// CExtensionSSL: text rendering of certificate extension values.
//
// Each exported function finds the first element inside extnValue and hands
// it to a renderer below; the renderers walk with the cursor moves of
// RenderDer.h, which keep them inside extnValue, and append to a RenderText,
// which keeps them inside the result buffer.

#include "ExtensionSSL.h"

#include "RestrictionSSL.h"
#include "src/frame/Logging.h"
#include "src/cert/render/RenderDer.h"
#include "src/cert/render/RenderText.h"

#include <string>

using kivo::asn1::Id;

using namespace kivo::render;

namespace {

// Result buffers, one per function and thread.
thread_local char t_authorityInfoAccess[kRenderTextSize];
thread_local char t_authorityKeyIdent[kRenderTextSize];
thread_local char t_caPolicyUrl[kRenderTextSize];
thread_local char t_crlDistributionPoints[kRenderTextSize];
thread_local char t_certBaseUrl[kRenderTextSize];
thread_local char t_certPolicies[kRenderTextSize];
thread_local char t_extendedKeyUsage[kRenderTextSize];
thread_local char t_admission[kRenderTextSize];
thread_local char t_iccsn[kRenderTextSize];
thread_local char t_issuerAltName[kRenderTextSize];
thread_local char t_keyUsage[kRenderTextSize];
thread_local char t_qcStatements[kRenderTextSize];
thread_local char t_restriction[kRenderTextSize];
thread_local char t_subjectAltName[kRenderTextSize];
thread_local char t_subjectKeyIdent[kRenderTextSize];

constexpr const char* kQcEuLimitValue = "0.4.0.1862.1.2";

// Whether a critical BOOLEAN in front of extnValue is stepped over. Only
// three renderers do so; for the others a flag is a mismatch.
enum class CriticalFlag { kMismatch, kSkipped };

// The first element inside extnValue, or an ended cursor.
Asn1Cursor extensionValue(const unsigned char* element, unsigned long length, CriticalFlag flag) {
    Asn1Cursor cursor = beginAt(element, length);
    if (flag == CriticalFlag::kSkipped && isAt(cursor, Id::Boolean)) advance(&cursor);
    if (!enterIf(&cursor, Id::OctetString)) return Asn1Cursor{};
    return cursor;
}

// Renders into `buffer` and logs entry and exit at DEBUG with the location
// of the calling method. Nothing escapes: should rendering or logging throw
// (only allocation can), the result is an empty text.
template <typename Render>
char* renderLogged(char* buffer, const char* method, const log4cxx::spi::LocationInfo& where,
                   Render&& render) noexcept {
    RenderText text(buffer);
    try {
        const log4cxx::LoggerPtr& logger = kivo::loggers::extension;
        if (logger->isDebugEnabled()) {
            logger->forcedLog(log4cxx::Level::getDebug(), std::string("entering ") + method, where);
        }
        render(text);
        if (logger->isDebugEnabled()) {
            logger->forcedLog(log4cxx::Level::getDebug(),
                              std::string("leaving ") + method + ": " + std::string(text.view()),
                              where);
        }
    } catch (...) {
        text.clear();
    }
    return text.result();
}

// ---- simple values -----------------------------------------------------------

// AuthorityKeyIdentifier: the keyIdentifier [0], when it comes first.
void renderAuthorityKeyIdent(RenderText& text, Asn1Cursor value) {
    enterIf(&value, Id::Sequence);
    if (isAt(value, primitiveContext(0))) text.append(contentHexAt(value));
}

// An OCTET STRING in hex (subjectKeyIdentifier, ICCSN).
void renderOctets(RenderText& text, Asn1Cursor value) {
    if (isAt(value, Id::OctetString)) text.append(contentHexAt(value));
}

// keyUsage: the bits after the unused-bits octet.
void renderKeyUsage(RenderText& text, Asn1Cursor value) {
    if (isAt(value, Id::BitString)) text.append(bitStringHexAt(value));
}

// Netscape URL extensions: an IA5String.
void renderUrl(RenderText& text, Asn1Cursor value) {
    if (!isAt(value, Id::Ia5String)) return;
    text.append("URI={");
    text.append(contentCharsAt(value));
    text.append("}");
}

// certificatePolicies: the OID of the first PolicyInformation only.
void renderCertPolicies(RenderText& text, Asn1Cursor value) {
    if (enterIf(&value, Id::Sequence) && enterIf(&value, Id::Sequence)) {
        text.append(oidTextAt(value));
    }
}

// GeneralNames, rendered by the toolkit's name renderer.
void renderAltName(RenderText& text, Asn1Cursor value) {
    if (isAt(value, Id::Sequence)) text.append(nameTextAt(value));
}

// extendedKeyUsage: the first KeyPurposeId with its registry name.
void renderExtendedKeyUsage(RenderText& text, Asn1Cursor value) {
    if (!enterIf(&value, Id::Sequence) || !isAt(value, Id::Oid)) return;
    const char* dotted = oidTextAt(value);
    if (*dotted == '\0') return;
    const char* name = OidToName(dotted);
    text.append("OID={");
    text.append(dotted);
    text.append("=");
    text.append(name != nullptr ? name : "?");
    text.append("}");
}

// restriction, additionalInformation: as the attribute renderer does it.
void renderRestriction(RenderText& text, Asn1Cursor value) {
    if (!present(value)) return;
    text.append(CRestrictionSSL::getRestriction(const_cast<unsigned char*>(value.ptr), value.size));
}

// ---- access descriptions and distribution points ------------------------------

// authorityInfoAccess: "URI={method=location}" per AccessDescription.
void renderAuthorityInfoAccess(RenderText& text, Asn1Cursor value) {
    if (!enterIf(&value, Id::Sequence)) return;
    for (; isAt(value, Id::Sequence); advance(&value)) {
        Asn1Cursor field = firstChild(value);
        if (!isAt(field, Id::Oid)) return;
        const std::string method = oidTextAt(field);
        advance(&field);
        if (!present(field)) return;
        text.separator();
        text.append("URI={");
        text.append(method);
        text.append("=");
        text.append(contentCharsAt(field));
        text.append("}");
    }
}

// A labelled item of the distribution point walk: ", label={value}".
void appendItem(RenderText& text, const char* label, const char* value) {
    text.separator();
    text.append(label);
    text.append("={");
    text.append(value);
    text.append("}");
}

// cRLDistributionPoints, walked flat in document order over the whole
// extension value: the containers (SEQUENCE, distributionPoint and fullName
// [0], cRLIssuer [2]) are stepped into, URIs [6], reasons [1] and
// directoryNames [4] are rendered and then stepped over. Any other element
// ends the walk, since it is not known how much of it to show.
void renderCrlDistributionPoints(RenderText& text, Asn1Cursor value) {
    const unsigned char* end = value.limit;
    auto restartAt = [end](const unsigned char* position) {
        return Asn1Begin(position, static_cast<std::size_t>(end - position));
    };
    while (present(value)) {
        const unsigned char identifier = identifierAt(value);
        if (identifier == Id::Sequence || identifier == constructedContext(0) ||
            identifier == constructedContext(2)) {
            // The children continue the walk, which then runs on to
            // whatever follows the container, up to the end of extnValue.
            const Asn1Cursor inside = firstChild(value);
            if (inside.ptr == nullptr || inside.ptr == value.ptr) return;
            value = restartAt(inside.ptr);
            continue;
        }
        if (identifier == primitiveContext(6)) {
            appendItem(text, "URI", contentCharsAt(value));
        } else if (identifier == primitiveContext(1)) {
            appendItem(text, "reasons", contentCharsAt(value));
        } else if (identifier == constructedContext(4)) {
            appendItem(text, "cRLIssuer", nameTextAt(firstChild(value)));
        } else {
            return;
        }
        advance(&value);
    }
}

// ---- Common PKI admission ---------------------------------------------------

// The attributes of the admission authority's Name as "[type=value]".
void renderAuthorityAttributes(RenderText& text, Asn1Cursor name) {
    for (Asn1Cursor rdn = firstChild(name); isAt(rdn, Id::Set); advance(&rdn)) {
        for (Asn1Cursor atv = firstChild(rdn); isAt(atv, Id::Sequence); advance(&atv)) {
            Asn1Cursor field = firstChild(atv);
            const std::string dotted = oidTextAt(field);
            if (dotted.empty()) continue;
            const std::string type = OidToNameOrSelf(dotted.c_str());
            advance(&field);
            text.separator();
            text.append("[");
            text.append(type);
            text.append("=");
            if (isUtf8OrPrintable(field)) text.append(contentCharsAt(field));
            text.append("]");
        }
    }
}

// AdmissionSyntax: the authority's name attributes, then the first item of
// contentsOfAdmissions / Admissions / professionInfos / ProfessionInfo /
// professionItems. A mismatch on the way ends the text.
void renderAdmission(RenderText& text, Asn1Cursor value) {
    if (!enterIf(&value, Id::Sequence)) return;
    if (isConstructedContext(value)) {
        const Asn1Cursor name = firstChild(value);
        if (isAt(name, Id::Sequence)) renderAuthorityAttributes(text, name);
        advance(&value);
    }
    for (int level = 0; level < 5; ++level) {
        if (!enterIf(&value, Id::Sequence)) return;
    }
    if (!isUtf8OrPrintable(value)) return;
    text.separator();
    text.append(contentCharsAt(value));
}

// ---- QC statements ------------------------------------------------------------

// A statement id, or a QC type: ", dotted" and " - name" when asked for.
void appendStatementId(RenderText& text, const char* dotted, bool withNames) {
    text.separator();
    text.append(dotted);
    if (!withNames) return;
    if (const char* name = OidToName(dotted)) {
        text.append(" - ");
        text.append(name);
    }
}

// QcEuLimitValue: " [amount currency]". False when the value does not match.
bool renderLimitValue(RenderText& text, const Asn1Cursor& info) {
    MonetaryValue limit;
    if (!isAt(info, Id::Sequence) || !readMonetaryValue(firstChild(info), &limit)) return false;
    text.append(" [");
    text.append(monetaryAmountText(limit, 0));
    text.append(" ");
    text.append(limit.currency);
    text.append("]");
    return true;
}

// PdsLocations: " [URI={url, language}, ...]". The list ends at the first
// location that does not start with its URL.
void renderPdsLocations(RenderText& text, Asn1Cursor location) {
    text.append(" [");
    ItemList locations(text, ", ");
    for (; isAt(location, Id::Sequence); advance(&location)) {
        Asn1Cursor field = firstChild(location);
        if (!isAt(field, Id::Ia5String)) break;
        locations.add("URI={");
        text.append(contentCharsAt(field));
        advance(&field);
        if (isAt(field, Id::PrintableString)) {
            text.append(", ");
            text.append(contentCharsAt(field));
        }
        text.append("}");
    }
    text.append("]");
}

// QcType and other lists of OIDs: each OID like a further statement.
void renderStatementOids(RenderText& text, Asn1Cursor oid, bool withNames) {
    for (; isAt(oid, Id::Oid); advance(&oid)) {
        const std::string dotted = oidTextAt(oid);
        if (dotted.empty()) return;
        appendStatementId(text, dotted.c_str(), withNames);
    }
}

// The statementInfo after statement id `id`. False when the text ends here:
// after a retention period (INTEGER) and when a limit value does not match.
// A SEQUENCE of SEQUENCEs that begin with something other than a URL (for
// example an OID) is not shown.
bool renderStatementInfo(RenderText& text, const std::string& id, const Asn1Cursor& info,
                         bool withNames) {
    if (id == kQcEuLimitValue) return renderLimitValue(text, info);
    if (isAt(info, Id::Integer)) return false;
    if (!isAt(info, Id::Sequence)) return true;
    const Asn1Cursor first = firstChild(info);
    if (isAt(first, Id::Oid)) {
        renderStatementOids(text, first, withNames);
    } else if (isAt(first, Id::Sequence) && isAt(firstChild(first), Id::Ia5String)) {
        renderPdsLocations(text, first);
    }
    return true;
}

void renderQcStatements(RenderText& text, Asn1Cursor value, bool withNames) {
    if (!enterIf(&value, Id::Sequence)) return;
    for (; isAt(value, Id::Sequence); advance(&value)) {
        Asn1Cursor field = firstChild(value);
        const std::string id = oidTextAt(field);
        if (id.empty()) return;
        appendStatementId(text, id.c_str(), withNames);
        advance(&field);
        if (present(field) && !renderStatementInfo(text, id, field, withNames)) return;
    }
}

// The common case: `render` applied to the value inside extnValue.
using ValueRenderer = void (*)(RenderText&, Asn1Cursor);
char* renderExtension(char* buffer, const char* method, const log4cxx::spi::LocationInfo& where,
                      ValueRenderer render, CriticalFlag flag, const unsigned char* element,
                      unsigned long length) noexcept {
    return renderLogged(buffer, method, where, [&](RenderText& text) {
        render(text, extensionValue(element, length, flag));
    });
}

}  // namespace

CExtensionSSL::CExtensionSSL() = default;
CExtensionSSL::CExtensionSSL(const CExtensionSSL&) = default;
CExtensionSSL& CExtensionSSL::operator=(const CExtensionSSL&) = default;

char* CExtensionSSL::getAuthorityInfoAccess(unsigned char* element, unsigned long length) {
    return renderExtension(t_authorityInfoAccess, "getAuthorityInfoAccess", LOG4CXX_LOCATION,
                           renderAuthorityInfoAccess, CriticalFlag::kMismatch, element, length);
}

char* CExtensionSSL::getAuthorityKeyIdent(unsigned char* element, unsigned long length) {
    return renderExtension(t_authorityKeyIdent, "getAuthorityKeyIdent", LOG4CXX_LOCATION,
                           renderAuthorityKeyIdent, CriticalFlag::kMismatch, element, length);
}

char* CExtensionSSL::getCAPolicyURL(unsigned char* element, unsigned long length) {
    return renderExtension(t_caPolicyUrl, "getCAPolicyURL", LOG4CXX_LOCATION, renderUrl,
                           CriticalFlag::kMismatch, element, length);
}

char* CExtensionSSL::getCRLDistrbutionPoints(unsigned char* element, unsigned long length) {
    return renderExtension(t_crlDistributionPoints, "getCRLDistrbutionPoints", LOG4CXX_LOCATION,
                           renderCrlDistributionPoints, CriticalFlag::kMismatch, element, length);
}

char* CExtensionSSL::getCertBaseURL(unsigned char* element, unsigned long length) {
    return renderExtension(t_certBaseUrl, "getCertBaseURL", LOG4CXX_LOCATION, renderUrl,
                           CriticalFlag::kMismatch, element, length);
}

char* CExtensionSSL::getCertPolicies(unsigned char* element, unsigned long length) {
    return renderExtension(t_certPolicies, "getCertPolicies", LOG4CXX_LOCATION, renderCertPolicies,
                           CriticalFlag::kMismatch, element, length);
}

char* CExtensionSSL::getExtendedKeyUsage(unsigned char* element, unsigned long length) {
    return renderExtension(t_extendedKeyUsage, "getExtendedKeyUsage", LOG4CXX_LOCATION,
                           renderExtendedKeyUsage, CriticalFlag::kMismatch, element, length);
}

char* CExtensionSSL::getIdIsismmtAtAsmission(unsigned char* element, unsigned long length) {
    return renderExtension(t_admission, "getIdIsismmtAtAsmission", LOG4CXX_LOCATION, renderAdmission,
                           CriticalFlag::kSkipped, element, length);
}

char* CExtensionSSL::getIdIsismmtAtIccsn(unsigned char* element, unsigned long length) {
    return renderExtension(t_iccsn, "getIdIsismmtAtIccsn", LOG4CXX_LOCATION, renderOctets,
                           CriticalFlag::kMismatch, element, length);
}

char* CExtensionSSL::getIssuerAltName(unsigned char* element, unsigned long length) {
    return renderExtension(t_issuerAltName, "getIssuerAltName", LOG4CXX_LOCATION, renderAltName,
                           CriticalFlag::kMismatch, element, length);
}

char* CExtensionSSL::getKeyUsage(unsigned char* element, unsigned long length) {
    return renderExtension(t_keyUsage, "getKeyUsage", LOG4CXX_LOCATION, renderKeyUsage,
                           CriticalFlag::kSkipped, element, length);
}

char* CExtensionSSL::getQCStatements(unsigned char* element, unsigned long length, bool withNames) {
    return renderLogged(t_qcStatements, "getQCStatements", LOG4CXX_LOCATION, [&](RenderText& text) {
        renderQcStatements(text, extensionValue(element, length, CriticalFlag::kSkipped), withNames);
    });
}

char* CExtensionSSL::getRestriction(unsigned char* element, unsigned long length) {
    return renderExtension(t_restriction, "getRestriction", LOG4CXX_LOCATION, renderRestriction,
                           CriticalFlag::kMismatch, element, length);
}

char* CExtensionSSL::getSubjectAltName(unsigned char* element, unsigned long length) {
    return renderExtension(t_subjectAltName, "getSubjectAltName", LOG4CXX_LOCATION, renderAltName,
                           CriticalFlag::kMismatch, element, length);
}

char* CExtensionSSL::getSubjectKeyIdent(unsigned char* element, unsigned long length) {
    return renderExtension(t_subjectKeyIdent, "getSubjectKeyIdent", LOG4CXX_LOCATION, renderOctets,
                           CriticalFlag::kMismatch, element, length);
}
