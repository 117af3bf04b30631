#include "CmsSSL.h"

CCms::CCms() = default;
CCms::CCms(const CCms&) = default;
CCms& CCms::operator=(const CCms&) = default;
CCms::~CCms() = default;
