// What the library's numbers mean to a person: hash names for the signing
// and time-stamp calls, and result codes in words.
#pragma once

#include <optional>
#include <string>

namespace kivocrypto {

// The hash code of the signing calls for a name (sha1 0, sha256 1, sha384 2,
// sha512 3, ripemd160 4, md5 5); nothing for an unknown name.
std::optional<int> signingHashCode(const std::string& name);
// The same for a time-stamp imprint, which only the SHA family can carry.
std::optional<int> timeStampHashCode(const std::string& name);

// The names signingHashCode knows, as "sha1|sha256|...".
const char* signingHashNames();
const char* timeStampHashNames();

// A signing or time-stamp result code in words, followed by the code.
std::string describeResult(int code);

}  // namespace kivocrypto
