#include "tools/kivocrypto/LibraryCodes.h"

#include <iterator>

namespace kivocrypto {
namespace {

struct HashName {
    const char* name;
    int code;
};
// Hash codes 0 to 3 mean the same for signing and for time stamps.
constexpr HashName kSigningHashes[] = {
    {"sha1", 0}, {"sha256", 1}, {"sha384", 2}, {"sha512", 3}, {"ripemd160", 4}, {"md5", 5},
};
constexpr int kTimeStampHashCount = 4;

struct Reason {
    int code;
    const char* text;
};
constexpr Reason kReasons[] = {
    {-22, "the container has no layout a time stamp can be added to"},
    {-24, "signing failed"},
    {-29, "the signature container could not be built"},
    {-35, "input and output are the same file"},
    {-36, "the output file cannot be written"},
    {-37, "no private key"},
    {-88, "the card does not support this hash algorithm (it signs with sha256)"},
    {-89, "the card does not support this hash algorithm"},
    {-91, "the time-stamp request could not be sent (bad URL or HTTP failure)"},
    {-92, "no usable time stamp from the service (not reachable, HTTP error, or no granted token)"},
    {-93, "no room for the time stamp in the container"},
    {-94, "the container holds no signature value"},
    {-300, "no signer certificate"},
    {-301, "no output buffer"},
    {-1007, "a file name is longer than 256 characters"},
    {-1008, "no file name"},
    {-1012, "the input file cannot be read"},
    {-1025, "the input file is empty"},
    {255, "the card reported a failure"},
};

std::optional<int> lookUp(const std::string& name, int count) {
    for (int i = 0; i < count; ++i) {
        if (name == kSigningHashes[i].name) return kSigningHashes[i].code;
    }
    return std::nullopt;
}

}  // namespace

std::optional<int> signingHashCode(const std::string& name) {
    return lookUp(name, static_cast<int>(std::size(kSigningHashes)));
}

std::optional<int> timeStampHashCode(const std::string& name) {
    return lookUp(name, kTimeStampHashCount);
}

const char* signingHashNames() { return "sha1|sha256|sha384|sha512|ripemd160|md5"; }
const char* timeStampHashNames() { return "sha1|sha256|sha384|sha512"; }

std::string describeResult(int code) {
    for (const Reason& reason : kReasons) {
        if (reason.code == code) return std::string(reason.text) + " (code " + std::to_string(code) + ")";
    }
    return "the library failed with code " + std::to_string(code);
}

}  // namespace kivocrypto
