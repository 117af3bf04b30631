// CExtensionSSL: text rendering of certificate extensions. Static members only.
#pragma once

#include "KivoExport.h"

class KIVO_API CExtensionSSL {
public:
    CExtensionSSL() = default;
    CExtensionSSL(const CExtensionSSL&) = default;
    CExtensionSSL& operator=(const CExtensionSSL&) = default;
};
