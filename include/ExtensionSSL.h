// CExtensionSSL: text rendering of certificate extensions. Static members only.
#pragma once

#include "KivoExport.h"

class KIVO_API CExtensionSSL {
public:
    CExtensionSSL();
    CExtensionSSL(const CExtensionSSL& other);
    CExtensionSSL& operator=(const CExtensionSSL& other);
};
