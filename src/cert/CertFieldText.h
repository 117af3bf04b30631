// The texts of a certificate as the certificate object shows them, in one
// table: which CCertHandler helper writes each text, under which name
// CCertInfo::GetCertFieldX509 hands it out, and where CCertHandler keeps
// it in the certificate object it fills. Both classes read this table, so
// a field is described in one place.
#pragma once

#include "KivoExport.h"

#include <span>

class CCertInfo;

namespace kivo::cert {

struct CertFieldText {
    // The name GetCertFieldX509 answers to (compared without case), or
    // null when the text is only stored.
    const char* name;
    // Writes the text into a buffer of 2048 bytes.
    int (*write)(x509_st* cert, char* out);
    // The setter the filled certificate object keeps the text with, or
    // null when the text is only handed out by name.
    int (CCertInfo::*store)(const char* text);
    // Stored only for a certificate that did not come from a key store's
    // files (the fingerprint).
    bool onlyOutsideStore;
};

// In the order CCertHandler fills the certificate object.
std::span<const CertFieldText> certFieldTexts();

// The entry GetCertFieldX509 uses for `name`, or null.
const CertFieldText* certFieldNamed(const char* name);

}  // namespace kivo::cert
