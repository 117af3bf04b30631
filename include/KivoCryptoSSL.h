// Umbrella header of the KivoCryptoSSL library.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"
#include "PINDialogCallback.h"

#include "CertHandlerSSL.h"
#include "CertInfoSSL.h"
#include "CmsDataContentSSL.h"
#include "CmsSSL.h"
#include "CrlSSL.h"
#include "ExtensionSSL.h"
#include "HashSSL.h"
#include "KivoCryptoSLL.h"
#include "OpensslApplink.h"
#include "PKCS7SSL.h"
#include "RestrictionSSL.h"
#include "Rsa.h"
#include "SCMutils.h"
#include "SignMessageSSLM.h"
#include "TimeStampSSL.h"
#include "VerifyMsg.h"
