// The shapes every PKCS#15 directory shares: a directory file is a run of
// entries (one object per SEQUENCE from the start of the file), and each
// entry is a PKCS15Object ::= SEQUENCE { commonObjectAttributes,
// classAttributes, subClassAttributes [0] OPTIONAL, typeAttributes [1] }.
#pragma once

#include "smartcard/pkcs15/Pkcs15CommAttrib.h"
#include "smartcard/pkcs15/Pkcs15Fields.h"

#include <string>
#include <vector>

namespace kivo::pkcs15 {

template <class Object>
std::vector<Object> readEntries(const std::uint8_t* data, std::size_t length) {
    std::vector<Object> entries;
    forEachSequence(data, length, [&entries](const Asn1Cursor& entry) { entries.emplace_back(entry); });
    return entries;
}

// Reads the common and class attributes of the PKCS15Object at `element`,
// and the subclass attributes' content as hex when `subclass` is given;
// returns a cursor on the first element inside the type attributes.
template <class ClassAttributes>
Asn1Cursor readObjectFrame(const Asn1Cursor& element, CPkcs15CommAttrib& common,
                           ClassAttributes& classAttributes, std::string* subclass) {
    Asn1Cursor at = childrenOf(element, Id::Sequence);
    takeObject(at, Id::Sequence, common);
    takeObject(at, Id::Sequence, classAttributes);
    if (subclass == nullptr || !takeHex(at, constructedContext(0), *subclass)) skip(at, constructedContext(0));
    return childrenOf(at, constructedContext(1));
}

}  // namespace kivo::pkcs15
