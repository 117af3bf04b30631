// The leaf classes of the DER family: INTEGER, OBJECT IDENTIFIER, OCTET
// STRING, BIT STRING, BMPString, UTCTime, NULL and an opaque holder.
//
// Constructors from DER bytes copy the caller's octets and decode them;
// constructors from values encode at once. Null input or zero length leaves
// the object empty with error -22.
#pragma once

#include "asn1/Asn1Base.h"

#include <cstdint>
#include <string>
#include <string_view>

class CAsn1_Int : public CAsn1Base {
public:
    CAsn1_Int(const unsigned char* der, std::size_t length);
    explicit CAsn1_Int(std::int32_t value);

    std::int32_t value() const { return m_value; }
    // Content octets as upper-case hex.
    const std::string& text() const { return m_text; }

    // Identifier 02 and at least one content octet. `value` holds the
    // content as a big-endian two's-complement number when it fits 32
    // bits, else 0; `text` always holds the whole content.
    bool decode() override;
    // 02, length, the fewest octets whose two's-complement form holds value.
    bool encode() override;

private:
    std::int32_t m_value = 0;
    std::string m_text;
};

class CAsn1_Oid : public CAsn1Base {
public:
    CAsn1_Oid(const unsigned char* der, std::size_t length);
    // A new encoding of `other`'s dotted text, carrying its name.
    CAsn1_Oid(const CAsn1_Oid& other);
    CAsn1_Oid(std::string_view dotted, std::string_view name);
    CAsn1_Oid& operator=(const CAsn1_Oid&) = delete;

    const std::string& dotted() const { return m_dotted; }
    // The registry name of a decoded OID (empty when unknown), or the name
    // given at construction.
    const std::string& name() const { return m_name; }
    // True when the dotted text equals `dotted`.
    bool is(std::string_view dotted) const { return m_dotted == dotted; }

    // Identifier 06, content within cb; elementSize = content length;
    // name from the OID registry (empty when unknown).
    bool decode() override;
    // From the dotted text: at least three decimal arcs that fit 32 bits,
    // the first below 3 and the second below 40, at most 127 content
    // octets; otherwise false and the encoding stays as it was.
    bool encode() override;

private:
    std::string m_dotted;
    std::string m_name;
};

class CAsn1_OctetString : public CAsn1Base {
public:
    CAsn1_OctetString(const unsigned char* der, std::size_t length);
    // From hex text (either case; blanks and ':' ignored). The empty text
    // gives the empty OCTET STRING 04 00.
    explicit CAsn1_OctetString(std::string_view hex);
    // An OCTET STRING holding `length` octets (zero allowed) taken as they
    // are; the same object the hex constructor makes from their hex text.
    static std::unique_ptr<CAsn1_OctetString> fromOctets(const unsigned char* octets,
                                                         std::size_t length);

    // Content as upper-case hex.
    const std::string& text() const { return m_text; }
    // The content octets (empty while there is no encoding).
    std::span<const unsigned char> content() const;

    bool decode() override;
    bool encode() override;

private:
    CAsn1_OctetString() = default;
    std::string m_text;
};

class CAsn1_BitString : public CAsn1Base {
public:
    CAsn1_BitString(const unsigned char* der, std::size_t length);

    // Content after the unused-bits octet as upper-case hex.
    const std::string& text() const { return m_text; }

    // Identifier 03 and an unused-bits octet; the octet is dropped, not
    // interpreted.
    bool decode() override;
    // The class is only ever decoded and has no setter, so the held
    // encoding always matches the members: nothing to rebuild.
    bool encode() override;

private:
    std::string m_text;
};

class CAsn1_BmpString : public CAsn1Base {
public:
    CAsn1_BmpString(const unsigned char* der, std::size_t length);

    // One octet per UTF-16 unit: Latin-1 characters as they are, '?' for
    // units from U+0100 on (the same folding as the name renderer). Strings
    // of 2,500 characters or more do not fit the toolkit's text buffer and
    // fail to decode.
    const std::string& text() const { return m_text; }

    bool decode() override;
    // Nothing to do: the class is read-only.
    bool encode() override;

private:
    std::string m_text;
};

class CAsn1_UtcTime : public CAsn1Base {
public:
    CAsn1_UtcTime(const unsigned char* der, std::size_t length);
    explicit CAsn1_UtcTime(std::int64_t seconds);
    // Null sets error -22.
    explicit CAsn1_UtcTime(const std::int64_t* seconds);
    // UTCTime text ("YYMMDDhhmm[ss]Z"), read with ParseUtcTimeText; text
    // it cannot use sets error -22.
    explicit CAsn1_UtcTime(std::string_view text);

    // Seconds since 1970-01-01 00:00 UTC.
    std::int64_t time() const { return m_time; }

    // Identifier 23 (a GeneralizedTime fails); the text as ParseUtcTimeText
    // reads it; text it cannot use fails.
    bool decode() override;
    // 17 0D "YYMMDDhhmmssZ" of time in UTC, then decoded again so that time
    // is the value read back (two-digit years fold 2050 and later into
    // 1950..1999). False for times gmtime cannot represent.
    bool encode() override;

private:
    std::int64_t m_time = 0;
};

class CAsn1_NullTag : public CAsn1Base {
public:
    // The encoding is 05 00.
    CAsn1_NullTag();

    const std::string& text() const { return m_text; }

    // Nothing to parse or rebuild: the encoding is fixed.
    bool decode() override;
    bool encode() override;

private:
    std::string m_text;  // always empty
};

// One arbitrary element kept as it is, without parsing.
class CAsn1_Universal : public CAsn1Base {
public:
    CAsn1_Universal(const unsigned char* der, std::size_t length);

    // Nothing to parse or rebuild: the bytes are kept as given.
    bool decode() override;
    bool encode() override;
};
