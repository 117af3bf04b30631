// The library's own DER toolkit: free functions that walk DER in place.
//
// Every function is bounded by sizes the caller passes in or that a cursor
// carries: an element whose header or content would reach past its parent
// or past the buffer is malformed, and the function reports failure
// (false, 0 or an empty text) instead of reading beyond it. Only
// single-octet identifiers occur (tag numbers 0..30); a high-tag-number
// identifier is malformed. Lengths take at most four octets. Indefinite
// lengths are followed to a fixed nesting depth (kMaxIndefiniteDepth).
//
// Text results live in buffers owned by the library, one per function and
// per thread, 5,000 octets each; a result stays valid until the same thread
// calls the same function again. A value whose text would not fit gives an
// empty text.
#pragma once

#include "asn1/DerIds.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A position in a DER walk.
struct Asn1Cursor {
    // Total size (identifier, length octets and content) of the element at
    // `ptr`; before a walk starts, the bound within which it must fit.
    std::uint32_t size = 0;
    // Identifier octet of the element.
    const unsigned char* ptr = nullptr;
    // End of the region the walk stays in: the end of the enclosing
    // element's content, or of the buffer. Siblings never reach past it.
    const unsigned char* limit = nullptr;
};

namespace kivo::asn1 {

inline constexpr std::uint32_t kMaxIndefiniteDepth = 32;
inline constexpr std::size_t kTextBufferSize = 5000;

// Universal tag number of an identifier (its low five bits), as the DER
// classes report it from getTag.
constexpr std::uint32_t tagNumber(Id id) { return octet(id) & 0x1Fu; }

// Parses the identifier and length octets of the element at `p`, of which
// `available` octets may be read. On success writes the header size and the
// content length (for an indefinite length: the octets up to and including
// the closing end-of-contents pair) and returns true; fails when the header
// is malformed or the element does not fit in `available`.
bool parseHeader(const unsigned char* p, std::size_t available, std::uint32_t* headerSize,
                 std::uint32_t* contentLength);

// Header plus content size of the element at `p`, or 0 when malformed or
// larger than `available` (a well-formed element has at least 2 octets).
std::uint32_t elementSize(const unsigned char* p, std::size_t available);

// Number of length octets writeLength writes for `contentLength`:
// 1 for 0..127, otherwise 1 + the minimal count of big-endian octets.
std::uint32_t lengthOctetCount(std::uint32_t contentLength);

// Writes the length octets of `contentLength` at `out` (right after the
// identifier octet) and returns how many were written.
std::uint32_t writeLength(unsigned char* out, std::uint32_t contentLength);

}  // namespace kivo::asn1

// ---- lengths and moves --------------------------------------------------------

// Content length of the element at `p`; `*offset` advances past its
// identifier and length octets. A malformed element, or one larger than
// `available`, gives 0 and leaves `*offset` unchanged.
std::uint32_t Asn1GetLength(const unsigned char* p, std::uint32_t* offset, std::size_t available);

// A cursor on the first element of `buffer` (size 0 when there is none or
// it is malformed), bounded by the buffer.
Asn1Cursor Asn1Begin(const unsigned char* buffer, std::size_t length);

// Moves the cursor from the element at `p` (normally cursor->ptr) to its
// next sibling. False at the end of the enclosing element, at an
// identifier of 0x00 or 0xFF (end of data), or when the element at `p` is
// larger than cursor->size or the next one is malformed.
bool Asn1Next(const unsigned char* p, Asn1Cursor* cursor);

// Moves the cursor to the first child of the element at `p` (normally
// cursor->ptr); a BIT STRING is entered past its unused-bits octet. An
// element with no content gives true and size 0. False when `p` or its
// first child is malformed or reaches past the cursor's limit; the cursor
// is then left where it was.
bool Asn1Enter(const unsigned char* p, Asn1Cursor* cursor);

// Identifier octet: its low five bits for a universal tag, else the whole
// octet (0xA0, 0x80, ...). 0 for a null pointer.
unsigned Asn1Tag(const unsigned char* p);
unsigned Asn1TagClass(const unsigned char* p);   // identifier AND 0xC0
unsigned Asn1TagNumber(const unsigned char* p);  // identifier AND 0x1F

// ---- values as text (per-thread buffers) ------------------------------------
// `size` is the total size of the element at `p` as the caller knows it
// (normally a cursor's size); the element must fit in it.

const char* Asn1ContentHex(const unsigned char* p, std::uint32_t size);
// Content without its first (unused-bits) octet.
const char* Asn1BitStringHex(const unsigned char* p, std::uint32_t size);
// Content copied and zero-terminated.
const char* Asn1ContentString(const unsigned char* p, std::uint32_t size);
// BMPString content with each pair of octets swapped (UTF-16 units in host
// order), zero-terminated.
const char16_t* Asn1BmpToWide(const unsigned char* p, std::uint32_t size);
// True when the content's first octet is non-zero.
bool Asn1Bool(const unsigned char* p, std::uint32_t size);
// INTEGER content read big-endian into 32 bits: the content octets are
// accumulated, so only the last four count; 0 when malformed or empty.
std::uint32_t Asn1SmallInt(const unsigned char* p, std::uint32_t size);
// Dotted text of an OID: with `contentOnly` clear `p` is a whole OID element
// and `length` its total size; with it set, `p` is the content and `length`
// the content length. Empty when malformed.
const char* Asn1OidToText(const unsigned char* p, std::uint32_t length, bool contentOnly);
// "DD.MM.YYYY" of a UTCTime (total size 15) or GeneralizedTime element.
const char* Asn1DateText(const unsigned char* p, std::uint32_t size);
// A Name or GeneralNames as one line ("countryName=DE, commonName=...").
const char* Asn1NameToText(const unsigned char* p, std::uint32_t size);
// Number of SEQUENCE children of the element.
std::uint32_t Asn1CountSequences(const unsigned char* p, std::uint32_t size);

// ---- OID registry and classification ---------------------------------------

// Name of a dotted OID in the registry (first match in table order), or null.
const char* OidToName(const char* dotted);
// The registry name, or `dotted` itself when there is none.
const char* OidToNameOrSelf(const char* dotted);
int ClassifyAttributeOid(const char* dotted);
int ClassifyExtensionOid(const char* dotted);

// ---- locating fields -------------------------------------------------------

// Cursor on a field of a certificate (`length` octets): 100 version,
// 105 serialNumber, 104 signature, 103 issuer, 106 validity, 101 subject,
// 112 subjectPublicKeyInfo, 113 issuerUniqueID, 114 subjectUniqueID,
// 111 extensions. False when absent or the certificate is malformed.
bool CertFieldLocate(const unsigned char* cert, std::uint32_t length, int id, Asn1Cursor* out);
// The same for an attribute certificate (both layouts): 100 version,
// 101 holder name, 102 holder serial, 103 issuer, 104 signature,
// 105 serialNumber, 106 validity, 109 attributes, 110 issuerUniqueID,
// 111 extensions.
bool AttrCertFieldLocate(const unsigned char* ac, std::uint32_t length, int id, Asn1Cursor* out);
// Id 200: the first child of the outer SEQUENCE; any other id is false.
bool ContentFieldLocate(const unsigned char* p, std::uint32_t length, int id, Asn1Cursor* out);
namespace kivo::asn1 {
// The locators above with the field named by its identifier.
inline bool certField(const unsigned char* cert, std::uint32_t length, Field field, Asn1Cursor* out) {
    return CertFieldLocate(cert, length, fieldNumber(field), out);
}
inline bool attrCertField(const unsigned char* ac, std::uint32_t length, Field field, Asn1Cursor* out) {
    return AttrCertFieldLocate(ac, length, fieldNumber(field), out);
}
inline bool contentField(const unsigned char* p, std::uint32_t length, Field field, Asn1Cursor* out) {
    return ContentFieldLocate(p, length, fieldNumber(field), out);
}
}  // namespace kivo::asn1

// ---- small finders (card data) --------------------------------------------

// The first UTF8String child of a short-form SEQUENCE.
bool FindUtf8InSequence(const unsigned char* p, std::uint32_t size, std::string* text);
// The first OCTET STRING child of a short-form SEQUENCE; otherwise the 16
// octets at offset 28 of the input (when that many are there) and false.
bool FindOctetsInSequence(const unsigned char* p, std::uint32_t size,
                          std::vector<unsigned char>* octets);

// ---- conversions -------------------------------------------------------------

// Hex text (either case; blanks and ':' ignored) to octets; false when the
// cleaned text has odd length or holds a non-hex character.
bool HexToBytes(std::string_view hex, std::vector<unsigned char>* octets);
// Upper-case hex, two digits per octet.
void BytesToHex(const unsigned char* octets, std::size_t count, std::string* hex);
// Seconds since 1970 of a UTCTime text ("YYMMDDhhmm[ss]Z"), 0 when unusable.
std::int64_t ParseUtcTimeText(std::string_view text);
// Pieces of `text` between any of the `delimiters`; empty pieces are kept
// ("1..2" gives "1", "", "2"), so that callers can reject them.
std::vector<std::string> SplitString(std::string_view text, std::string_view delimiters);
