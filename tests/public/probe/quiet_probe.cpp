// Uses the library as a host that leaves log4cxx alone would: one call
// whose lines are logged at DEBUG. Whatever log4cxx prints goes to the
// probe's stdout and stderr.
#include "CertInfoSSL.h"

int main() {
    unsigned char notACertificate[] = {0x30, 0x03, 0x02, 0x01, 0x01};
    CCertInfo::getVersion(notACertificate, sizeof notACertificate);
    return 0;
}
