#include "VerifyMsg.h"

CVerifyMsg::CVerifyMsg() = default;
CVerifyMsg::CVerifyMsg(const CVerifyMsg&) = default;
CVerifyMsg& CVerifyMsg::operator=(const CVerifyMsg&) = default;
CVerifyMsg::~CVerifyMsg() = default;
