// Certificate-name text helpers.
#pragma once

#include <string>

namespace kivo {

// OpenSSL prints non-ASCII UTF-8 in names as escaped bytes ("\C3\A4").
// Replaces, in place, every escaped pair that encodes U+00A0..U+00FF
// (UTF-8 C2 A0 .. C3 BF) by its single Latin-1 byte, repeating passes until
// one makes no replacement. Other escapes are left as they are.
void foldEscapedUtf8ToLatin1(char* text);
void foldEscapedUtf8ToLatin1(std::string& text);

}  // namespace kivo
