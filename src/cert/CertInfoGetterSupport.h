// Shared machinery of CCertInfo's static field getters: result buffers, the
// walks every getter family needs (indexed lists, validity times, the public
// key) and the tables that pick a renderer by OID. Getters catch every
// exception themselves and answer with their failure value.
//
// Every walk goes through the bounded DER toolkit: a cursor never leaves
// the element it was entered from, and the outermost element must fit in
// the `len` octets the caller handed in, so a truncated buffer ends a walk
// with the getter's failure value.
#pragma once

#include "KivoExport.h"
#include "asn1/DerCursor.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivo::certinfo {

// ---- result texts ---------------------------------------------------------------

inline constexpr std::size_t kResultSize = 4096;

// The text buffer of one getter. Each getter owns one per thread; it is
// cleared at every call and returned on failure too (then empty).
class ResultText {
public:
    char* clear() {
        m_text[0] = '\0';
        return m_text;
    }
    // Copies `text` in. A text that does not fit (with its zero) is refused
    // and the result is empty, so that a caller never takes a cut value for
    // the whole one.
    char* assign(const char* text);
    char* assign(const std::string& text) { return assign(text.c_str()); }
    char* get() { return m_text; }

private:
    char m_text[kResultSize];
};

// ---- input and cursor moves -------------------------------------------------

// True when there is something to walk.
inline bool usable(const unsigned char* cert, unsigned long len) { return cert != nullptr && len != 0; }

// The octet count the locators take: lengths of DER elements are 32-bit,
// so a larger buffer is walked within its first 4 GiB.
std::uint32_t walkLength(unsigned long len);

// The walk is the library's DER cursor.
using asn1::advance;
using asn1::enter;
using asn1::Id;
using asn1::isAt;

// Dotted text of the OID at the cursor; empty for any other element.
std::string dottedOid(const Asn1Cursor& cursor);

// "%X" of an INTEGER's value as Asn1SmallInt reads it (last four octets);
// empty for any other element.
std::string smallIntHex(const Asn1Cursor& cursor);

// An INTEGER's value in lower-case hex without leading zeros ("0" for
// zero), all content octets taken as an unsigned number; empty for any
// other element.
std::string lowerHexValue(const Asn1Cursor& cursor);

// Content length of the element at the cursor; -1 when it is malformed.
int contentLength(const Asn1Cursor& cursor);

// The element the cursor stands on, seen as a span of the caller's buffer:
// from its identifier octet to the end of the enclosing element (what a
// renderer may read).
unsigned char* mutableStart(const Asn1Cursor& cursor);
unsigned long remainingOctets(const Asn1Cursor& cursor);

// ---- indexed lists ------------------------------------------------------------

enum class ListKind {
    kCertificateExtensions,  // [3] { Extensions } of a certificate
    kAttrCertAttributes,     // attributes SEQUENCE of an attribute certificate
    kAttrCertExtensions,     // extensions SEQUENCE of an attribute certificate
};

// Number of SEQUENCE entries of the list; 0 when there is none.
int countListEntries(const unsigned char* cert, unsigned long len, ListKind kind);

// The cursor on the OBJECT IDENTIFIER that starts entry `index` of the list
// (extnID or attribute type). A negative index counts as 0, as a loop that
// moves `index` times does. False when the list or entry is missing or the
// entry does not start with an OID.
bool locateListEntry(const unsigned char* cert, unsigned long len, ListKind kind, int index,
                     Asn1Cursor* oid);

// ---- validity ---------------------------------------------------------------------

enum class DaylightSaving {
    kStandardTime,  // the flag set to 0: the fields are local standard time
    kAsNow,         // the flag as localtime() reports it for the current moment
};

// Seconds from mktime of the UTCTime or GeneralizedTime at the cursor, its
// fields taken as local time (the rest of the struct tm from localtime() of
// now). 0 for any other element or when the fields cannot be read.
__int64 timeOfElement(const Asn1Cursor& time, DaylightSaving daylightSaving);

// From a validity SEQUENCE: its first (notBefore) or second (notAfter) child.
bool validityTime(const Asn1Cursor& validity, bool notAfter, Asn1Cursor* time);

// The validity of a certificate, or the element an attribute certificate
// has at the same place in the certificate's field order (version, serial,
// signature, issuer, validity).
bool locateValidityByCertificateOrder(const unsigned char* cert, unsigned long len,
                                      Asn1Cursor* validity);

// ---- the public key ---------------------------------------------------------------

enum class KeyAlgorithm { kRsa, kEc };

struct PublicKeyParts {
    KeyAlgorithm algorithm = KeyAlgorithm::kRsa;
    // EC: the AlgorithmIdentifier parameters (the named curve); RSA: unused.
    Asn1Cursor parameters;
    // RSA: the RSAPublicKey SEQUENCE inside the subjectPublicKey BIT STRING;
    // EC: the subjectPublicKey BIT STRING itself.
    Asn1Cursor key;
};

// Walks the subjectPublicKeyInfo. False for other algorithms, for an EC key
// without its BIT STRING and for an RSA key whose BIT STRING does not hold
// a SEQUENCE.
bool readPublicKey(const unsigned char* cert, unsigned long len, PublicKeyParts* parts);

// RSA: the modulus (first) or public exponent (second) INTEGER of the
// RSAPublicKey.
bool rsaInteger(const PublicKeyParts& parts, bool exponent, Asn1Cursor* integer);

// The hex text getPkMod shows: RSA modulus content without its first
// octet, EC point (BIT STRING content after the unused-bits octet). False
// when the key cannot be read or the text would not fit a result buffer.
bool publicKeyModulusHex(const unsigned char* cert, unsigned long len, std::string* hex);

// The octets of an RSA modulus's content that are not shown: 1, or under
// CCertInfo::SetModulusSignOctetOnly 1 only when the first is 00.
void setModulusSignOctetOnly(bool onlySignOctet);
std::size_t modulusOctetsSkipped(const unsigned char* content, std::size_t length);
// The number of RSA modulus octets getPkMod shows; -1 when unreadable.
int rsaModulusOctetsShown(const PublicKeyParts& parts);

// ---- renderer dispatch --------------------------------------------------------------

using Renderer = char* (*)(unsigned char* element, unsigned long length);

// The renderer an extnID selects in a certificate, in an attribute
// certificate, and the one an attribute type selects; null when the OID is
// shown without a value.
Renderer certificateExtensionRenderer(const char* dotted);
Renderer attrCertExtensionRenderer(const char* dotted);
Renderer attributeRenderer(const char* dotted);

// Text a renderer makes of the element; "---" when it raises or gives no
// text at all.
std::string renderValue(Renderer renderer, unsigned char* element, unsigned long length);

// Getter helper for the value getters: the entry's OID picks the renderer
// from `select`; the renderer gets the elements after the OID.
using RendererSelector = Renderer (*)(const char* dotted);
char* listEntryValue(ResultText& buffer, const unsigned char* cert, unsigned long len,
                     ListKind kind, int index, RendererSelector select);

}  // namespace kivo::certinfo
