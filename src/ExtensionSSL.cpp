#include "ExtensionSSL.h"

CExtensionSSL::CExtensionSSL() = default;
CExtensionSSL::CExtensionSSL(const CExtensionSSL&) = default;
CExtensionSSL& CExtensionSSL::operator=(const CExtensionSSL&) = default;
