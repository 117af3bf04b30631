#include "CertHandlerSSL.h"

CCertHandler::CCertHandler() = default;
CCertHandler::CCertHandler(const CCertHandler&) = default;
CCertHandler& CCertHandler::operator=(const CCertHandler&) = default;
CCertHandler::~CCertHandler() = default;
