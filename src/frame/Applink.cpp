// OpenSSL's applink table. OpenSSL builds that use it (Windows) reach the C
// runtime's stdio and low-level file functions through the module that loads
// them, so that FILE pointers and descriptors are shared. On other platforms
// the table is still provided; OpenSSL simply never asks for it.

#include "OpensslApplink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace {

enum ApplinkSlot {
    kCount = 0,
    kStdin, kStdout, kStderr, kFprintf, kFgets, kFread, kFwrite, kSetMode,
    kFeof, kFclose, kFopen, kFseek, kFtell, kFflush, kFerror, kClearerr,
    kFileno, kOpen, kRead, kWrite, kLseek, kClose,
    kSlots
};
static_assert(kSlots == 23, "22 entries after the count word");

FILE* appStdin() { return stdin; }
FILE* appStdout() { return stdout; }
FILE* appStderr() { return stderr; }
int appFeof(FILE* file) { return std::feof(file); }
int appFerror(FILE* file) { return std::ferror(file); }
void appClearerr(FILE* file) { std::clearerr(file); }
int appFileno(FILE* file) { return ::fileno(file); }

// Switches a stream between binary ('b') and text mode. POSIX streams make
// no such distinction, so there is nothing to change.
int appSetMode(FILE* file, char mode) {
    (void)file;
    (void)mode;
    return 0;
}

template <typename Function>
void* slot(Function* function) {
    return reinterpret_cast<void*>(function);
}

void* g_applinkTable[kSlots];
std::once_flag g_applinkFilled;

void fillApplinkTable() {
    g_applinkTable[kCount] = reinterpret_cast<void*>(static_cast<std::uintptr_t>(kSlots - 1));
    g_applinkTable[kStdin] = slot(appStdin);
    g_applinkTable[kStdout] = slot(appStdout);
    g_applinkTable[kStderr] = slot(appStderr);
    g_applinkTable[kFprintf] = slot(static_cast<int (*)(FILE*, const char*, ...)>(std::fprintf));
    g_applinkTable[kFgets] = slot(static_cast<char* (*)(char*, int, FILE*)>(std::fgets));
    g_applinkTable[kFread] = slot(static_cast<std::size_t (*)(void*, std::size_t, std::size_t, FILE*)>(std::fread));
    g_applinkTable[kFwrite] = slot(static_cast<std::size_t (*)(const void*, std::size_t, std::size_t, FILE*)>(std::fwrite));
    g_applinkTable[kSetMode] = slot(appSetMode);
    g_applinkTable[kFeof] = slot(appFeof);
    g_applinkTable[kFclose] = slot(static_cast<int (*)(FILE*)>(std::fclose));
    g_applinkTable[kFopen] = slot(static_cast<FILE* (*)(const char*, const char*)>(std::fopen));
    g_applinkTable[kFseek] = slot(static_cast<int (*)(FILE*, long, int)>(std::fseek));
    g_applinkTable[kFtell] = slot(static_cast<long (*)(FILE*)>(std::ftell));
    g_applinkTable[kFflush] = slot(static_cast<int (*)(FILE*)>(std::fflush));
    g_applinkTable[kFerror] = slot(appFerror);
    g_applinkTable[kClearerr] = slot(appClearerr);
    g_applinkTable[kFileno] = slot(appFileno);
    g_applinkTable[kOpen] = slot(static_cast<int (*)(const char*, int, ...)>(::open));
    g_applinkTable[kRead] = slot(static_cast<ssize_t (*)(int, void*, std::size_t)>(::read));
    g_applinkTable[kWrite] = slot(static_cast<ssize_t (*)(int, const void*, std::size_t)>(::write));
    g_applinkTable[kLseek] = slot(static_cast<off_t (*)(int, off_t, int)>(::lseek));
    g_applinkTable[kClose] = slot(static_cast<int (*)(int)>(::close));
}

}  // namespace

extern "C" KIVO_API void** OPENSSL_Applink() {
    std::call_once(g_applinkFilled, fillApplinkTable);
    return g_applinkTable;
}
