#include "CertInfoSSL.h"

CCertInfo::CCertInfo() = default;
CCertInfo::CCertInfo(const CCertInfo&) = default;
CCertInfo& CCertInfo::operator=(const CCertInfo&) = default;
CCertInfo::~CCertInfo() = default;

std::string CCertInfo::m_storePath = "unset";
