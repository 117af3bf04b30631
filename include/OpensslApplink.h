// OPENSSL_Applink: OpenSSL's applink table, for hosts whose OpenSSL build
// reaches the C runtime's file functions through the loading module.
#pragma once

#include "KivoExport.h"

// Table of 22 entries after a count word (22): stdin, stdout, stderr,
// fprintf, fgets, fread, fwrite, setmode, feof, fclose, fopen, fseek, ftell,
// fflush, ferror, clearerr, fileno, open, read, write, lseek, close.
// Filled on the first call; every call returns the same table.
extern "C" KIVO_API void** OPENSSL_Applink();
