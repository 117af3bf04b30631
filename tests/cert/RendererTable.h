// Which renderer the getters must use for an OID, written out for the tests
// from the dispatch tables of the certificate getters, so that a getter's
// value can be compared with a direct call of the renderer on the same
// element. An empty function: the OID is shown without value.
#pragma once

#include <string>

#include "ExtensionSSL.h"
#include "RestrictionSSL.h"
#include "tests/cert/CertGetterTestUtil.h"

namespace kivo::test::certs {

using Render = char* (*)(unsigned char*, unsigned long);

inline Getter rendererFrom(std::initializer_list<std::pair<const char*, Render>> table, const std::string& oid) {
    for (const auto& [dotted, render] : table) {
        if (oid == dotted) return getter(render);
    }
    return {};
}

inline char* qcWithNames(unsigned char* e, unsigned long l) { return CExtensionSSL::getQCStatements(e, l, true); }
inline char* qcWithoutNames(unsigned char* e, unsigned long l) { return CExtensionSSL::getQCStatements(e, l, false); }

// Certificate extensions.
inline Getter certificateRenderer(const std::string& oid) {
    using E = CExtensionSSL;
    return rendererFrom({{"2.5.29.35", &E::getAuthorityKeyIdent}, {"2.5.29.14", &E::getSubjectKeyIdent},
                         {"2.5.29.15", &E::getKeyUsage}, {"2.5.29.31", &E::getCRLDistrbutionPoints},
                         {"1.3.6.1.5.5.7.1.1", &E::getAuthorityInfoAccess}, {"2.5.29.32", &E::getCertPolicies},
                         {"1.3.36.8.3.8", &E::getRestriction}, {"1.3.36.8.3.15", &E::getRestriction},
                         {"2.5.29.17", &E::getSubjectAltName}, {"2.5.29.18", &E::getIssuerAltName},
                         {"2.16.840.1.113730.1.2", &E::getCertBaseURL}, {"2.16.840.1.113730.1.8", &E::getCAPolicyURL},
                         {"2.5.29.37", &E::getExtendedKeyUsage}, {"1.3.36.8.3.3", &E::getIdIsismmtAtAsmission},
                         {"1.3.36.8.3.6", &E::getIdIsismmtAtIccsn}, {"1.3.6.1.5.5.7.1.3", &qcWithNames}},
                        oid);
}

// Attribute-certificate extensions: five kinds only, qcStatements without names.
inline Getter attrCertExtensionRenderer(const std::string& oid) {
    using E = CExtensionSSL;
    return rendererFrom({{"2.5.29.35", &E::getAuthorityKeyIdent}, {"2.5.29.31", &E::getCRLDistrbutionPoints},
                         {"1.3.6.1.5.5.7.1.1", &E::getAuthorityInfoAccess}, {"2.5.29.32", &E::getCertPolicies},
                         {"1.3.6.1.5.5.7.1.3", &qcWithoutNames}},
                        oid);
}

// Attribute types of attribute certificates.
inline Getter attributeRenderer(const std::string& oid) {
    using R = CRestrictionSSL;
    return rendererFrom({{"1.3.36.8.3.4", &R::getRestrictionMonetary}, {"0.4.0.1862.1.2", &R::getRestrictionMonetary},
                         {"1.3.36.8.3.2", &R::getRestrictionProkura}, {"1.3.36.8.3.3", &R::getRestrictionAdmission},
                         {"1.3.36.8.3.5", &R::getRestrictionMajority}, {"1.3.36.8.3.6", &R::getRestrictionAdditional},
                         {"1.3.36.8.3.8", &R::getRestriction}, {"1.3.36.8.3.15", &R::getRestriction},
                         {"2.5.29.9", &R::getRestrictionIdentity}},
                        oid);
}

}  // namespace kivo::test::certs
