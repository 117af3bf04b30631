#include "Rsa.h"

CRsa::CRsa() = default;
CRsa::CRsa(const CRsa&) = default;
CRsa& CRsa::operator=(const CRsa&) = default;
CRsa::~CRsa() = default;
