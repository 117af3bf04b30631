#include "TimeStampSSL.h"

CTimeStampSSL::CTimeStampSSL() = default;
CTimeStampSSL::CTimeStampSSL(const CTimeStampSSL&) = default;
CTimeStampSSL& CTimeStampSSL::operator=(const CTimeStampSSL&) = default;
CTimeStampSSL::~CTimeStampSSL() = default;
