// CKivoCryptoSLL: empty marker class of the library.
#pragma once

#include "KivoExport.h"

class KIVO_API CKivoCryptoSLL {
public:
    virtual ~CKivoCryptoSLL();
};
