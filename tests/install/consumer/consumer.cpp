// Prints the SHA-256 of "abc" through the installed library.
#include <KivoCryptoSSL.h>

#include <cstdio>

int main() {
    unsigned char data[] = {'a', 'b', 'c'};
    std::puts(CHashSSL::calculateHash(data, sizeof data, 4));
    return 0;
}
