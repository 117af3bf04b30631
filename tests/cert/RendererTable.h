// Which renderer the getters must use for an OID, written out for the tests
// from the dispatch tables of the certificate getters, so that a getter's
// value can be compared with a direct call of the renderer on the same
// element.
#pragma once

#include <cstring>
#include <functional>
#include <string>

#include "ExtensionSSL.h"
#include "RestrictionSSL.h"

namespace kivo::test::certs {

using DirectRenderer = std::function<std::string(unsigned char*, unsigned long)>;

inline std::string text(const char* rendered) { return rendered == nullptr ? "<null>" : rendered; }

// Certificate extensions; an empty function for OIDs shown without value.
inline DirectRenderer certificateRenderer(const std::string& oid) {
    using E = CExtensionSSL;
    struct Entry {
        const char* oid;
        char* (*render)(unsigned char*, unsigned long);
    };
    static const Entry kTable[] = {
        {"2.5.29.35", &E::getAuthorityKeyIdent},
        {"2.5.29.14", &E::getSubjectKeyIdent},
        {"2.5.29.15", &E::getKeyUsage},
        {"2.5.29.31", &E::getCRLDistrbutionPoints},
        {"1.3.6.1.5.5.7.1.1", &E::getAuthorityInfoAccess},
        {"2.5.29.32", &E::getCertPolicies},
        {"1.3.36.8.3.8", &E::getRestriction},
        {"1.3.36.8.3.15", &E::getRestriction},
        {"2.5.29.17", &E::getSubjectAltName},
        {"2.5.29.18", &E::getIssuerAltName},
        {"2.16.840.1.113730.1.2", &E::getCertBaseURL},
        {"2.16.840.1.113730.1.8", &E::getCAPolicyURL},
        {"2.5.29.37", &E::getExtendedKeyUsage},
        {"1.3.36.8.3.3", &E::getIdIsismmtAtAsmission},
        {"1.3.36.8.3.6", &E::getIdIsismmtAtIccsn},
    };
    if (oid == "1.3.6.1.5.5.7.1.3") {
        return [](unsigned char* e, unsigned long l) { return text(E::getQCStatements(e, l, true)); };
    }
    for (const Entry& entry : kTable) {
        if (oid == entry.oid) {
            auto render = entry.render;
            return [render](unsigned char* e, unsigned long l) { return text(render(e, l)); };
        }
    }
    return {};
}

// Attribute-certificate extensions: five kinds only, qcStatements without names.
inline DirectRenderer attrCertExtensionRenderer(const std::string& oid) {
    using E = CExtensionSSL;
    if (oid == "1.3.6.1.5.5.7.1.3") {
        return [](unsigned char* e, unsigned long l) { return text(E::getQCStatements(e, l, false)); };
    }
    if (oid == "2.5.29.35" || oid == "2.5.29.31" || oid == "1.3.6.1.5.5.7.1.1" || oid == "2.5.29.32") {
        return certificateRenderer(oid);
    }
    return {};
}

// Attribute types of attribute certificates.
inline DirectRenderer attributeRenderer(const std::string& oid) {
    using R = CRestrictionSSL;
    struct Entry {
        const char* oid;
        char* (*render)(unsigned char*, unsigned long);
    };
    static const Entry kTable[] = {
        {"1.3.36.8.3.4", &R::getRestrictionMonetary},   {"0.4.0.1862.1.2", &R::getRestrictionMonetary},
        {"1.3.36.8.3.2", &R::getRestrictionProkura},    {"1.3.36.8.3.3", &R::getRestrictionAdmission},
        {"1.3.36.8.3.5", &R::getRestrictionMajority},   {"1.3.36.8.3.6", &R::getRestrictionAdditional},
        {"1.3.36.8.3.8", &R::getRestriction},           {"1.3.36.8.3.15", &R::getRestriction},
        {"2.5.29.9", &R::getRestrictionIdentity},
    };
    for (const Entry& entry : kTable) {
        if (oid == entry.oid) {
            auto render = entry.render;
            return [render](unsigned char* e, unsigned long l) { return text(render(e, l)); };
        }
    }
    return {};
}

}  // namespace kivo::test::certs
