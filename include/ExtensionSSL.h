// CExtensionSSL: one line of text for the value of a certificate extension.
//
// `element` points at the element that follows the extnID inside an
// Extension: the extnValue OCTET STRING, or the critical BOOLEAN before it.
// `length` is the number of octets readable from `element`; the walk never
// leaves them. getKeyUsage, getIdIsismmtAtAsmission and getQCStatements
// skip a critical flag; the others expect the extnValue itself and give an
// empty text when a flag precedes it.
//
// Each function returns its own result buffer of 2048 octets (one per
// function and thread), cleared at each call and valid until the same
// thread calls the same function again. A value that does not match gives
// an empty text, a partly matching one the text built up to the mismatch;
// a longer text is cut to fit the buffer. Never free the result.
#pragma once

#include "KivoExport.h"

class KIVO_API CExtensionSSL {
public:
    CExtensionSSL();
    CExtensionSSL(const CExtensionSSL& other);
    CExtensionSSL& operator=(const CExtensionSSL& other);

    // "URI={method=location}" per AccessDescription, joined by ", ".
    static char* getAuthorityInfoAccess(unsigned char* element, unsigned long length);
    // The keyIdentifier in hex; empty when only issuer and serial are given.
    static char* getAuthorityKeyIdent(unsigned char* element, unsigned long length);
    // Netscape CA policy URL: "URI={url}".
    static char* getCAPolicyURL(unsigned char* element, unsigned long length);
    // URI, reasons and cRLIssuer items of all distribution points.
    static char* getCRLDistrbutionPoints(unsigned char* element, unsigned long length);
    // Netscape base URL: "URI={url}".
    static char* getCertBaseURL(unsigned char* element, unsigned long length);
    // The dotted OID of the first policy.
    static char* getCertPolicies(unsigned char* element, unsigned long length);
    // "OID={dotted=name}" of the first key purpose ("?" when unnamed).
    static char* getExtendedKeyUsage(unsigned char* element, unsigned long length);
    // Common PKI admission: "[type=value]" of the authority's name
    // attributes, then the first profession item.
    static char* getIdIsismmtAtAsmission(unsigned char* element, unsigned long length);
    // Common PKI ICCSN in hex.
    static char* getIdIsismmtAtIccsn(unsigned char* element, unsigned long length);
    // The general names, joined by ", ".
    static char* getIssuerAltName(unsigned char* element, unsigned long length);
    // The key usage bits in hex ("C0" for digitalSignature, nonRepudiation).
    static char* getKeyUsage(unsigned char* element, unsigned long length);
    // The statement ids (with " - name" when `withNames` and the registry
    // knows one), limit values, PDS locations and QC types.
    static char* getQCStatements(unsigned char* element, unsigned long length, bool withNames);
    // Common PKI restriction: the text of CRestrictionSSL::getRestriction.
    static char* getRestriction(unsigned char* element, unsigned long length);
    // The general names, joined by ", ".
    static char* getSubjectAltName(unsigned char* element, unsigned long length);
    // The key identifier in hex.
    static char* getSubjectKeyIdent(unsigned char* element, unsigned long length);
};
