// CRestrictionSSL: text rendering of certificate restrictions. Static members only.
#pragma once

#include "KivoExport.h"

class KIVO_API CRestrictionSSL {
public:
    CRestrictionSSL() = default;
    CRestrictionSSL(const CRestrictionSSL&) = default;
    CRestrictionSSL& operator=(const CRestrictionSSL&) = default;
};
