#include "KivoCryptoSLL.h"

CKivoCryptoSLL::~CKivoCryptoSLL() = default;
