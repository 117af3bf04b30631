#include "tools/kivocrypto/LibraryCodes.h"

#include "src/signing/SigningResults.h"

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
    if (const kivo::signing::ResultCode* entry = kivo::signing::findResultCode(code)) {
        return std::string(entry->text) + " (code " + std::to_string(code) + ")";
    }
    return "the library failed with code " + std::to_string(code);
}

}  // namespace kivocrypto
