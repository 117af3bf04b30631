// CVerifyMsg: verification of CMS/PKCS#7 and PKCS#1 signatures.
#pragma once

#include "KivoExport.h"

class KIVO_API CVerifyMsg {
public:
    CVerifyMsg();
    CVerifyMsg(const CVerifyMsg& other);
    CVerifyMsg& operator=(const CVerifyMsg& other);
    virtual ~CVerifyMsg();
};
