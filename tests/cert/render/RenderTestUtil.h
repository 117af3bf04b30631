// Helpers for the renderer tests: DER values made by OpenSSL's
// ASN1_generate_nconf from its configuration syntax, certificates made by
// OpenSSL with chosen extensions, the location of an extension inside a
// certificate's DER, and rendering from exact-size heap copies so that the
// address sanitizer reports every read past the input.
#pragma once

#include "ExtensionSSL.h"
#include "RestrictionSSL.h"
#include "asn1/Asn1Der.h"
#include "tests/support/DerBuild.h"
#include "tests/support/TestSupport.h"
#include "tools/testpki/Pki.h"

#include <openssl/conf.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivo::test::render {

using kivo::test::Bytes;
using kivo::test::cat;
using kivo::test::ExactBuffer;
using kivo::test::tlv;

// DER of `root` (e.g. "SEQUENCE:value") in OpenSSL's ASN1_generate_nconf
// syntax, with the sections in `config`. Throws when OpenSSL refuses.
inline Bytes generate(const std::string& root, const std::string& config = "") {
    CONF* conf = NCONF_new(nullptr);
    BIO* bio = BIO_new_mem_buf(config.data(), static_cast<int>(config.size()));
    long errorLine = 0;
    const bool loaded = config.empty() || NCONF_load_bio(conf, bio, &errorLine) == 1;
    BIO_free(bio);
    ASN1_TYPE* value = loaded ? ASN1_generate_nconf(root.c_str(), config.empty() ? nullptr : conf) : nullptr;
    NCONF_free(conf);
    unsigned char* der = nullptr;
    const int length = value != nullptr ? i2d_ASN1_TYPE(value, &der) : 0;
    ASN1_TYPE_free(value);
    if (length <= 0) throw std::runtime_error("OpenSSL's generator rejected " + root + " at line " + std::to_string(errorLine));
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

// Generator sections of the Name "countryName=DE, organizationName=Kammer",
// referred to as SEQUENCE:name.
inline const std::string kKammerName =
    "[name]\nc = SET:name_c\no = SET:name_o\n[name_c]\natv = SEQUENCE:name_cv\n"
    "[name_cv]\nt = OID:countryName\nv = PRINTABLESTRING:DE\n[name_o]\natv = SEQUENCE:name_ov\n"
    "[name_ov]\nt = OID:organizationName\nv = UTF8String:Kammer\n";

using Renderer = std::function<char*(unsigned char*, unsigned long)>;

inline char* qcWithNames(unsigned char* e, unsigned long l) { return CExtensionSSL::getQCStatements(e, l, true); }
inline char* qcWithoutNames(unsigned char* e, unsigned long l) { return CExtensionSSL::getQCStatements(e, l, false); }

// The text of `renderer` on an exact-size copy of `bytes`.
inline std::string render(const Renderer& renderer, const Bytes& bytes) {
    ExactBuffer input(bytes);
    const char* text = renderer(input.data(), input.size());
    return text == nullptr ? std::string("<null>") : std::string(text);
}

// A self-signed EC certificate with the extensions (OpenSSL configuration
// syntax, "DER:<hex>" for any value), as DER.
inline Bytes certificateWith(std::vector<std::pair<std::string, std::string>> extensions) {
    EvpKeyPtr key = generateKey(KeyKind::EcP256);
    CertOptions options;
    options.subject = "/C=DE/O=Kivo Test/CN=Renderer";
    options.subjectKey = key.get();
    options.extensions = std::move(extensions);
    return derOf(makeCertificate(options).get());
}

// The renderer input of extension `oid` in certificate DER: the octets from
// the one after extnID (critical flag or extnValue) to the end of the
// Extension; `occurrence` picks among repeated extensions. Empty when not
// found.
inline Bytes extensionElement(const Bytes& cert, const char* oid, int occurrence = 0) {
    Asn1Cursor c = Asn1Begin(cert.data(), cert.size());
    if (c.size == 0 || !Asn1Enter(c.ptr, &c) || !Asn1Enter(c.ptr, &c)) return {};  // tbsCertificate
    while (c.ptr[0] != 0xA3) {
        if (!Asn1Next(c.ptr, &c)) return {};
    }
    if (!Asn1Enter(c.ptr, &c) || !Asn1Enter(c.ptr, &c)) return {};  // Extensions, first Extension
    do {
        Asn1Cursor field = c;
        if (!Asn1Enter(c.ptr, &field) || field.ptr[0] != 0x06) continue;
        if (std::string(Asn1OidToText(field.ptr, field.size, false)) != oid || occurrence-- > 0) continue;
        if (!Asn1Next(field.ptr, &field)) return {};
        return Bytes(field.ptr, c.ptr + c.size);
    } while (Asn1Next(c.ptr, &c));
    return {};
}

// An extension element as the caller of CExtensionSSL sees it: the
// extnValue OCTET STRING around `value`, after a critical flag when asked.
inline Bytes extnValue(const Bytes& value, bool critical = false) {
    return cat({critical ? Bytes{0x01, 0x01, 0xFF} : Bytes{}, tlv(0x04, value)});
}

}  // namespace kivo::test::render
