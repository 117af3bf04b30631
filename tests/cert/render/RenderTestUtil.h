// Helpers for the extension and restriction renderer tests: DER values made
// by OpenSSL's ASN1_generate_nconf from its configuration syntax, a minimal
// encoder for values that encoder will not produce (hostile lengths,
// nesting) from support/DerBuild.h, certificates made by OpenSSL with chosen
// extensions, the location of an extension inside a certificate's DER, and
// rendering from exact-size heap copies so that the address sanitizer
// reports every read past the input.
#pragma once

#include "tools/testpki/Pki.h"

#include "asn1/Asn1Der.h"
#include "tests/support/DerBuild.h"
#include "tests/support/TestSupport.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/conf.h>
#include <openssl/x509.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kivo::test::render {

using kivo::test::Bytes;
using kivo::test::cat;
using kivo::test::ExactBuffer;
using kivo::test::tlv;
using kivo::test::CertOptions;
using kivo::test::EvpKeyPtr;
using kivo::test::KeyKind;
using kivo::test::X509Ptr;
using kivo::test::derOf;
using kivo::test::generateKey;
using kivo::test::makeCertificate;

// ---- values from OpenSSL's generator -------------------------------------

// DER of `root` (e.g. "SEQUENCE:value") in OpenSSL's ASN1_generate_nconf
// syntax, with the sections in `config`. Throws when OpenSSL refuses.
inline Bytes generate(const std::string& root, const std::string& config = "") {
    CONF* conf = nullptr;
    if (!config.empty()) {
        conf = NCONF_new(nullptr);
        BIO* bio = BIO_new_mem_buf(config.data(), static_cast<int>(config.size()));
        long errorLine = 0;
        const bool loaded = bio != nullptr && NCONF_load_bio(conf, bio, &errorLine) == 1;
        BIO_free(bio);
        if (!loaded) {
            NCONF_free(conf);
            throw std::runtime_error("configuration rejected at line " + std::to_string(errorLine));
        }
    }
    ASN1_TYPE* value = ASN1_generate_nconf(root.c_str(), conf);
    NCONF_free(conf);
    if (value == nullptr) throw std::runtime_error("ASN1_generate_nconf rejected " + root);
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_TYPE(value, &der);
    ASN1_TYPE_free(value);
    if (length <= 0) throw std::runtime_error("i2d_ASN1_TYPE failed for " + root);
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

// True when OpenSSL parses `bytes` as exactly one DER element.
inline bool opensslParses(const Bytes& bytes) {
    const unsigned char* p = bytes.data();
    ASN1_TYPE* value = d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(bytes.size()));
    const bool whole = value != nullptr && p == bytes.data() + bytes.size();
    ASN1_TYPE_free(value);
    return whole;
}

// Generator sections of the Name "countryName=DE, organizationName=Kammer",
// to be referred to as SEQUENCE:name.
inline const std::string kKammerName =
    "[name]\n"
    "c = SET:name_c\n"
    "o = SET:name_o\n"
    "[name_c]\n"
    "atv = SEQUENCE:name_cv\n"
    "[name_cv]\n"
    "t = OID:countryName\n"
    "v = PRINTABLESTRING:DE\n"
    "[name_o]\n"
    "atv = SEQUENCE:name_ov\n"
    "[name_ov]\n"
    "t = OID:organizationName\n"
    "v = UTF8String:Kammer\n";

// ---- values the generator will not make -------------------------------------

inline Bytes header(unsigned char identifier, std::size_t length) { return kivo::test::derHeader(identifier, length); }

// The content of a DER element with a definite length (its header dropped).
inline Bytes contentOf(const Bytes& element) {
    if (element.size() < 2) return {};
    std::size_t header = 2;
    if (element[1] & 0x80) header += element[1] & 0x7F;
    return Bytes(element.begin() + static_cast<long>(header), element.end());
}

inline std::string hexOf(const Bytes& bytes) { return kivo::test::toHex(bytes); }

// ---- calling the renderers on exact-size copies -----------------------------

using Renderer = std::function<char*(unsigned char*, unsigned long)>;

// The text of `renderer` on an exact-size copy of `bytes`.
inline std::string render(const Renderer& renderer, const Bytes& bytes) {
    ExactBuffer input(bytes);
    const char* text = renderer(input.data(), input.size());
    return text == nullptr ? std::string("<null>") : std::string(text);
}

// ---- certificates and their extensions ---------------------------------------

// A self-signed EC certificate with the extensions (OpenSSL configuration
// syntax, "DER:<hex>" for any value), as DER.
inline Bytes certificateWith(std::vector<std::pair<std::string, std::string>> extensions) {
    EvpKeyPtr key = generateKey(KeyKind::EcP256);
    CertOptions options;
    options.subject = "/C=DE/O=Kivo Test/CN=Renderer";
    options.subjectKey = key.get();
    options.extensions = std::move(extensions);
    X509Ptr cert = makeCertificate(options);
    return derOf(cert.get());
}

// The elements of an extension `oid` in certificate DER: the octets from
// the one after extnID (critical flag or extnValue) to the end of the
// Extension. `occurrence` picks among repeated extensions. Walked with the
// toolkit's cursor moves; empty when not found.
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
        if (std::string(Asn1OidToText(field.ptr, field.size, false)) != oid) continue;
        if (occurrence-- > 0) continue;
        if (!Asn1Next(field.ptr, &field)) return {};
        return Bytes(field.ptr, c.ptr + c.size);
    } while (Asn1Next(c.ptr, &c));
    return {};
}

// The extnValue content (the DER inside the OCTET STRING) as OpenSSL sees it.
inline Bytes opensslExtensionValue(const Bytes& certDer, const char* oid) {
    const unsigned char* p = certDer.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certDer.size())));
    if (!cert) return {};
    ASN1_OBJECT* object = OBJ_txt2obj(oid, 1);
    const int index = X509_get_ext_by_OBJ(cert.get(), object, -1);
    ASN1_OBJECT_free(object);
    if (index < 0) return {};
    const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(X509_get_ext(cert.get(), index));
    return Bytes(value->data, value->data + value->length);
}

// An extension element as the caller of CExtensionSSL sees it: the
// extnValue OCTET STRING around `value`, after a critical flag when asked.
inline Bytes extnValue(const Bytes& value, bool critical = false) {
    Bytes octets = tlv(0x04, value);
    return critical ? cat({Bytes{0x01, 0x01, 0xFF}, octets}) : octets;
}

}  // namespace kivo::test::render
