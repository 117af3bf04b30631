// Helpers shared by the DER text functions and the field locators.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo::asn1 {

// One parsed element. For an indefinite length, `contentLength` stops
// before the closing end-of-contents pair while `size` includes it.
struct Element {
    const unsigned char* start = nullptr;    // identifier octet
    const unsigned char* content = nullptr;  // first content octet
    std::uint32_t contentLength = 0;
    std::uint32_t size = 0;                  // identifier, length octets, content

    unsigned char identifier() const { return start[0]; }
};

// Parses the element at `p`, which must fit in `available` octets.
bool readElement(const unsigned char* p, std::size_t available, Element* element);

// The children of an element, one after the other. Unlike Asn1Next it tells
// the end of the content (next() false, malformed() false) from a child that
// is malformed or reaches past the parent (next() false, malformed() true).
class ChildWalker {
public:
    explicit ChildWalker(const Element& parent);
    bool next(Element* child);
    bool malformed() const { return m_malformed; }

private:
    const unsigned char* m_position;
    const unsigned char* m_end;
    bool m_malformed = false;
};

// Dotted text of OID content into `out` (`capacity` octets with the zero).
// False, with `out` empty, when the content is empty, ends inside a
// subidentifier, has an arc beyond 32 bits or does not fit.
bool formatOid(const unsigned char* content, std::uint32_t length, char* out, std::size_t capacity);

}  // namespace kivo::asn1
