// CRestrictionSSL: one line of text for the German Common PKI attributes
// of attribute certificates (and the restriction extension).
//
// `element` points at the attribute's values SET, or at its first value;
// `length` is the number of octets readable from `element`, and the walk
// never leaves them. Each function first steps into the SET when there is
// one.
//
// Each function returns its own result buffer of 2048 octets (one per
// function and thread), cleared at each call and valid until the same
// thread calls the same function again. A value that does not match gives
// an empty text, a partly matching one the text built up to the mismatch;
// a longer text is cut to fit the buffer. Never free the result.
#pragma once

#include "KivoExport.h"

class KIVO_API CRestrictionSSL {
public:
    CRestrictionSSL();
    CRestrictionSSL(const CRestrictionSSL& other);
    CRestrictionSSL& operator=(const CRestrictionSSL& other);

    // Restriction, additional information: the UTF8String.
    static char* getRestriction(unsigned char* element, unsigned long length);
    // The UTF8String held by a SET.
    static char* getRestrictionAdditional(unsigned char* element, unsigned long length);
    // AdmissionSyntax: admissionAuthority, namingAuthority, professionInfos
    // with items, OIDs and registration number.
    static char* getRestrictionAdmission(unsigned char* element, unsigned long length);
    // Subject directory attributes: "type=value" joined by ", ".
    static char* getRestrictionIdentity(unsigned char* element, unsigned long length);
    // Declaration of majority: "notYoungerThan=N" or " dateOfBirth=DD.MM.YYYY".
    static char* getRestrictionMajority(unsigned char* element, unsigned long length);
    // Monetary limit: currency, a blank and amount x 10^exponent with two
    // decimals ("EUR 5000.00").
    static char* getRestrictionMonetary(unsigned char* element, unsigned long length);
    // Procuration: country, typeOfSubstitution and signingFor items.
    static char* getRestrictionProkura(unsigned char* element, unsigned long length);
};
