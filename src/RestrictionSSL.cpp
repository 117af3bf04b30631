#include "RestrictionSSL.h"

CRestrictionSSL::CRestrictionSSL() = default;
CRestrictionSSL::CRestrictionSSL(const CRestrictionSSL&) = default;
CRestrictionSSL& CRestrictionSSL::operator=(const CRestrictionSSL&) = default;
