// CRestrictionSSL: text rendering of certificate restrictions. Static members only.
#pragma once

#include "KivoExport.h"

class KIVO_API CRestrictionSSL {
public:
    CRestrictionSSL();
    CRestrictionSSL(const CRestrictionSSL& other);
    CRestrictionSSL& operator=(const CRestrictionSSL& other);
};
