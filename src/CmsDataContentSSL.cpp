#include "CmsDataContentSSL.h"

CCmsDataContent::CCmsDataContent() = default;
CCmsDataContent::CCmsDataContent(const CCmsDataContent&) = default;
CCmsDataContent& CCmsDataContent::operator=(const CCmsDataContent&) = default;
CCmsDataContent::~CCmsDataContent() = default;
