// Reads a card description: a text file, one statement per line, '#' starts
// a comment. Relative file names are taken from `baseDir`.
//
//   atr <hex>                          answer to reset
//   df <path> [aid=<hex>] [fcp=<hex>] [fci=<hex>]
//   ef <path> data=<content> [size=<n>] [sfi=<n>] [fcp=<hex>] [fci=<hex>]
//                                      transparent EF; size= makes it a
//                                      fixed-size file, the content padded
//                                      with zero bytes
//   records <path> [sfi=<n>] [fcp=<hex>] [fci=<hex>]
//                                      record EF, records added below
//   record <path> <content>            appends a record to a record EF
//   pin <ref> value=<pin> [tries=<n>] [max=<n>] [puk=<ref>]
//   key <ref> file=<pem> [pin=<ref>]   private key (RSA or EC) under <ref>
//   data <p1p2> <content>              object returned by GET DATA
//   dialect <name>=<value> ...         how the card's family differs from
//                                      the ISO answers (README.md lists them)
//
// <path> lists file identifiers from the MF on, separated by '/', for
// example 3F00/5015/4401; the MF itself is always present. Parents come
// before their children. <content> is hex, @<file> for the bytes of a file,
// or seq:<n> for n bytes counting 00 01 02 ... FF 00 01 ... . <pin> is the
// PIN as ASCII text, or hex:<hex> for other encodings. <ref> is a hex byte.
// fcp= and fci= replace the control information vcard would build (template
// 62 with 80/82/83/84/88/8A, or the same in template 6F) with given bytes.
// tries is the number of tries left (default max), max the number after a
// correct entry (default 3), both 0 to 15. A transparent EF keeps its size:
// UPDATE BINARY cannot grow it.
#pragma once

#include "tools/vcard/Card.h"

#include <filesystem>
#include <istream>
#include <stdexcept>

namespace vcard {

struct DescriptionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Builds `card` from the description; throws DescriptionError naming the line.
void loadDescription(std::istream& in, const std::filesystem::path& baseDir, Card& card);
void loadDescriptionFile(const std::filesystem::path& file, Card& card);

}  // namespace vcard
