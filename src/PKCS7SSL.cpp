#include "PKCS7SSL.h"

CPKCS7SSL::CPKCS7SSL() = default;
CPKCS7SSL::CPKCS7SSL(const CPKCS7SSL&) = default;
CPKCS7SSL& CPKCS7SSL::operator=(const CPKCS7SSL&) = default;
CPKCS7SSL::~CPKCS7SSL() = default;
