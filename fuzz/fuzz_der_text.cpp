// Every text function of the DER toolkit on arbitrary bytes, and the text
// parsers on the same bytes read as text.
#include "fuzz/FuzzInput.h"

#include "asn1/Asn1Der.h"

#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kivo::fuzz::ExactCopy input(data, size);
    const unsigned char* p = input.data();
    const std::uint32_t n = input.size();

    (void)Asn1ContentHex(p, n);
    (void)Asn1BitStringHex(p, n);
    (void)Asn1ContentString(p, n);
    (void)Asn1BmpToWide(p, n);
    (void)Asn1Bool(p, n);
    (void)Asn1SmallInt(p, n);
    (void)Asn1OidToText(p, n, false);
    (void)Asn1OidToText(p, n, true);
    (void)Asn1DateText(p, n);
    (void)Asn1NameToText(p, n);
    (void)Asn1CountSequences(p, n);

    std::string utf8;
    (void)FindUtf8InSequence(p, n, &utf8);
    std::vector<unsigned char> octets;
    (void)FindOctetsInSequence(p, n, &octets);

    const std::string text(reinterpret_cast<const char*>(p), n);
    std::vector<unsigned char> bytes;
    (void)HexToBytes(text, &bytes);
    std::string hex;
    BytesToHex(p, n, &hex);
    (void)ParseUtcTimeText(text);
    (void)SplitString(text, ".");
    const std::string dotted = text.substr(0, text.find('\0'));
    (void)OidToName(dotted.c_str());
    (void)OidToNameOrSelf(dotted.c_str());
    (void)ClassifyAttributeOid(dotted.c_str());
    (void)ClassifyExtensionOid(dotted.c_str());
    return 0;
}
