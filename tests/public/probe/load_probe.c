/* Loads the library at run time, uses it and unloads it, twice: the load
 * and unload routines must run cleanly every time. Exit code 0 on success. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>

typedef void** (*ApplinkFunction)(void);

static int loadUseUnload(const char* path) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    ApplinkFunction applink = (ApplinkFunction)dlsym(library, "OPENSSL_Applink");
    if (applink == NULL) {
        fprintf(stderr, "dlsym: %s\n", dlerror());
        return 2;
    }
    void** table = applink();
    if ((uintptr_t)table[0] != 22) {
        fprintf(stderr, "applink table starts with %lu\n", (unsigned long)(uintptr_t)table[0]);
        return 3;
    }
    /* An internal helper must not be reachable. */
    if (dlsym(library, "_Z16openSSL_LogErrorRKSt10shared_ptrIN7log4cxx6LoggerEENSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE") != NULL) {
        fprintf(stderr, "internal symbol is exported\n");
        return 4;
    }
    if (dlclose(library) != 0) {
        fprintf(stderr, "dlclose: %s\n", dlerror());
        return 5;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: kivo_load_probe LIBRARY\n");
        return 64;
    }
    for (int round = 0; round < 2; ++round) {
        int result = loadUseUnload(argv[1]);
        if (result != 0) return result;
    }
    puts("loaded and unloaded twice");
    return 0;
}
