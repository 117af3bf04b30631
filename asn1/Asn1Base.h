// Root of the DER class family.
//
// Every object owns one complete DER element (identifier octet, length
// octets, content) in `pb` and a decoded view of it in the members of its
// class. Objects built from bytes copy them and decode once; objects built
// from values encode once. A failed construction, decode or encode leaves
// `error` at kDerError (-22); there is no way back to a valid state.
//
// The eight virtual operations keep a fixed slot order: destructor,
// getError, getTag, getElementSize, getPb, getCb, decode, encode.
//
// Objects are not copyable: each one owns its buffer and its child objects
// exclusively, and the composites hand their children around by
// std::unique_ptr. No exception leaves decode, encode or a constructor;
// allocation failure inside them is reported like malformed input.
#pragma once

#include "asn1/Asn1Der.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// Result code of every failed construction, decode or encode.
inline constexpr std::int32_t kDerError = -22;

class CAsn1Base {
public:
    virtual ~CAsn1Base();

    CAsn1Base(const CAsn1Base&) = delete;
    CAsn1Base& operator=(const CAsn1Base&) = delete;

    // 0, or kDerError after a failed construction, decode or encode.
    virtual std::int32_t getError() const;
    // Universal tag number the object encodes (16 for the composites).
    virtual std::uint32_t getTag() const;
    // Set by decode: the content length for an OID, the total size of the
    // outer element for a composite.
    virtual std::uint32_t getElementSize() const;
    // The whole encoding; null while there is none. Valid while the object
    // lives and until the next encode.
    virtual const unsigned char* getPb() const;
    virtual std::uint32_t getCb() const;
    // Parses `pb` into the members; false (and error -22) on any mismatch.
    virtual bool decode() = 0;
    // Rebuilds `pb` from the members; false (and error -22) when a required
    // part is missing, leaving the previous encoding in place.
    virtual bool encode() = 0;

    // The encoding as a span (empty while there is none).
    std::span<const unsigned char> bytes() const;

    // Number of length octets writeLength writes for `contentLength`.
    static std::uint32_t lengthOctetCount(std::uint32_t contentLength);
    // Writes the minimal length octets of `contentLength` right after an
    // identifier octet the caller has written; returns how many.
    static std::uint32_t writeLength(unsigned char* out, std::uint32_t contentLength);

protected:
    CAsn1Base();

    // ---- the walk over `pb` used by decode ---------------------------------
    // cursor = the first element of pb, bounded by cb.
    void resetCursor();
    // Moves to the next sibling within the enclosing element; false (and
    // error -22) at the end or on a malformed sibling.
    bool cursorNext();
    // Moves to the first child of the element at the cursor; an element
    // without content gives true with cursor size 0. False (and error -22)
    // when the first child is malformed or reaches past its parent.
    bool cursorEnter();
    // Content length and header plus content size of the element at the
    // cursor (0 when there is none).
    std::uint32_t cursorContentLength() const;
    std::uint32_t cursorElementSize() const;
    // True when the cursor stands on an element whose identifier octet is
    // `identifier`.
    bool cursorAt(kivo::asn1::Id id) const;
    // cursorAt for an element the structure requires: when it is not there,
    // logs at DEBUG what was expected and what was found.
    bool expect(kivo::asn1::Id id) const;
    // True when no further sibling follows the element at the cursor inside
    // the enclosing element (only an end-of-contents pair may remain), or
    // when the cursor stands on nothing (an empty parent).
    bool cursorAtEnd() const;

    // Calls `visit` (returning bool) with the cursor on each child of the
    // element at the cursor in turn, then puts the cursor back on that
    // element. False as soon as a visit fails or a child is malformed.
    template <class Visit>
    bool cursorForEachChild(Visit&& visit) {
        const Asn1Cursor parent = cursor;
        if (!cursorEnter()) return false;
        if (cursor.size != 0) {
            for (;;) {
                if (!visit()) return false;
                if (cursorAtEnd()) break;
                if (!cursorNext()) return false;
            }
        }
        cursor = parent;
        return true;
    }

    // Checks that pb starts with one element with identifier `identifier`
    // that fits in cb (a primitive one must have a definite length) and
    // gives its content; sets elementSize to the element's total size.
    // Does not touch `error`.
    bool ownElement(kivo::asn1::Id id, std::span<const unsigned char>* content);

    // ---- writing -------------------------------------------------------------
    // Replaces pb/cb with a copy of `length` octets; false on null input,
    // zero length or a size beyond 32 bits. Catches nothing: callers run
    // inside guarded().
    bool copyBytes(const unsigned char* data, std::size_t length);
    // Replaces pb/cb with identifier, minimal length octets and `content`.
    bool storeElement(kivo::asn1::Id id, std::span<const unsigned char> content);
    // Drops the encoding (pb null, cb 0).
    void clearBytes();

    // Sets error to -22 and returns false.
    bool fail();
    // Runs `work`, turning a false result or any exception into fail().
    template <class Work>
    bool guarded(Work&& work) noexcept {
        try {
            return work() ? true : fail();
        } catch (...) {
            return fail();
        }
    }

    std::unique_ptr<unsigned char[]> pb;
    std::uint32_t cb = 0;
    std::uint32_t tag = 0;
    std::uint32_t elementSize = 0;
    std::int32_t error = 0;
    Asn1Cursor cursor;
};

namespace kivo::asn1 {

// The content of a composite: the encodings of its children back to back.
class DerContent {
public:
    // Appends the encoding of `child`; false when the child is absent or
    // holds no encoding.
    bool add(const CAsn1Base* child);
    // Appends the encoding of `child` when it has one; nothing otherwise.
    void addOptional(const CAsn1Base* child);
    void addBytes(std::span<const unsigned char> octets);
    // Appends identifier, length octets and `inner`'s octets; false when
    // the content is too large for four length octets.
    bool addElement(Id id, const DerContent& inner);

    std::span<const unsigned char> octets() const { return m_octets; }

private:
    std::vector<unsigned char> m_octets;
};

// True when `object` exists and holds an encoding.
bool hasEncoding(const CAsn1Base* object);

}  // namespace kivo::asn1
