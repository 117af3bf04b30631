// Reading a certificate or a signature container from a file: PEM (the
// first block, whatever its label) or DER.
#pragma once

#include <string>
#include <vector>

namespace kivocrypto {

struct DerInput {
    std::vector<unsigned char> der;
    std::string pemLabel;   // "CERTIFICATE", "CMS", ... ; empty for DER input
    std::string error;      // why nothing was read; empty on success
};

DerInput readDerOrPem(const std::string& path);

// As readDerOrPem, with the error "not a signed CMS/PKCS#7 container" when
// what was read is no container with a signer the library can read.
DerInput readSignedContainer(const std::string& path);

// A certificate time as the library hands it out (the UTC fields converted
// as local standard time) shown as "YYYY-MM-DD HH:MM:SS UTC".
std::string formatLibraryTime(long long seconds);

}  // namespace kivocrypto
