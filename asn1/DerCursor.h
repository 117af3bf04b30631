// The one way the library walks DER: moves and tests on an Asn1Cursor.
//
// The moves are the toolkit's Asn1Enter and Asn1Next. A cursor whose move
// fails ends (its size becomes 0) instead of staying where it was, so that a
// walk can test every step with isAt() and never looks at a position that
// holds no element. Every bound comes from the cursor: the walk stays inside
// the element that was entered, and that inside the caller's octets.
#pragma once

#include "asn1/Asn1Der.h"
#include "asn1/DerIds.h"

namespace kivo::asn1 {

// A cursor on the first element of the `length` octets at `element`
// (ended when they do not start with a well-formed element).
Asn1Cursor beginAt(const unsigned char* element, std::size_t length);

inline bool present(const Asn1Cursor& cursor) { return cursor.ptr != nullptr && cursor.size > 0; }
// Identifier octet of the element at the cursor; 0 when the cursor ended.
inline unsigned char identifierAt(const Asn1Cursor& cursor) { return present(cursor) ? cursor.ptr[0] : 0; }
inline bool isAt(const Asn1Cursor& cursor, Id id) { return present(cursor) && cursor.ptr[0] == id; }

// To the next sibling; false (and the cursor ends) at the end of the
// enclosing element or on a malformed sibling.
bool advance(Asn1Cursor* cursor);
// To the first child of the element; false (and the cursor ends) when
// there is none or it is malformed.
bool enter(Asn1Cursor* cursor);
// Enters the element when it has `id`; true when it was there (the
// cursor may then have ended on an empty element).
bool enterIf(Asn1Cursor* cursor, Id id);
// A cursor on the first child of the element at `cursor`.
Asn1Cursor firstChild(const Asn1Cursor& cursor);

// isAt, logging at DEBUG what was expected and what was found when the
// element is not there; `what` names the element in the structure
// ("SignerInfo version").
bool expectAt(const Asn1Cursor& cursor, Id id, const char* what);

}  // namespace kivo::asn1
