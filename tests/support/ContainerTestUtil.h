// Helpers for the container inspection and CMS wrapper tests: messages made
// by OpenSSL (CMS_sign, PKCS7_sign, two signers, RFC 3161 tokens) and by the
// library's builder, signed here; DER surgery to make variants; and calls
// of the caller-buffer members with buffers of the message's size.
#pragma once

#include "tests/asn1/CmsTestUtil.h"

#include "PKCS7SSL.h"

#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/ts.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivo::test::container {

using cms::Bytes;
using cms::BioPtr;
using cms::CmsPtr;
using cms::Party;
using cms::TestPki;

// ---- OpenSSL objects ----------------------------------------------------------------

struct Pkcs7Deleter {
    void operator()(PKCS7* p7) const { PKCS7_free(p7); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, Pkcs7Deleter>;

inline CmsPtr parseCms(const Bytes& der) {
    BioPtr bio = cms::memoryBio(der);
    CmsPtr result(d2i_CMS_bio(bio.get(), nullptr));
    ERR_clear_error();
    return result;
}

inline Pkcs7Ptr parsePkcs7(const Bytes& der) {
    const unsigned char* p = der.data();
    Pkcs7Ptr result(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    return result;
}

inline Bytes derOfPkcs7(PKCS7* p7) {
    unsigned char* der = nullptr;
    const int length = i2d_PKCS7(p7, &der);
    if (length <= 0) throw std::runtime_error("i2d_PKCS7 failed");
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

inline Bytes octets(const ASN1_STRING* s) {
    if (s == nullptr) return {};
    return Bytes(ASN1_STRING_get0_data(s), ASN1_STRING_get0_data(s) + ASN1_STRING_length(s));
}

inline std::string dotted(const ASN1_OBJECT* object) {
    char text[128] = {};
    OBJ_obj2txt(text, sizeof text, object, 1);
    return text;
}

inline Bytes digest(const EVP_MD* md, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1) {
        throw std::runtime_error("EVP_Digest failed");
    }
    out.resize(length);
    return out;
}

// Seconds since 1970 of an ASN.1 time read as UTC.
inline std::int64_t utcSeconds(const ASN1_TIME* time) {
    std::tm fields{};
    if (ASN1_TIME_to_tm(time, &fields) != 1) throw std::runtime_error("ASN1_TIME_to_tm failed");
    return static_cast<std::int64_t>(timegm(&fields));
}

inline std::int64_t utcSeconds(int year, int month, int day, int hour, int minute, int second) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    return static_cast<std::int64_t>(timegm(&fields));
}

// ---- DER surgery (definite lengths only) ---------------------------------------------

struct Element {
    std::size_t offset = 0;  // of the identifier, within the parent's buffer
    std::size_t header = 0;
    std::size_t size = 0;    // header + content
};

inline Element elementAt(const Bytes& der, std::size_t offset) {
    if (offset + 2 > der.size()) throw std::runtime_error("element past the end");
    Element e{offset, 2, 0};
    std::size_t length = der[offset + 1];
    if (length >= 0x80) {
        const std::size_t count = length & 0x7F;
        if (count == 0 || count > 4 || offset + 2 + count > der.size()) throw std::runtime_error("bad length");
        length = 0;
        for (std::size_t i = 0; i < count; ++i) length = length << 8 | der[offset + 2 + i];
        e.header = 2 + count;
    }
    e.size = e.header + length;
    if (offset + e.size > der.size()) throw std::runtime_error("element too long");
    return e;
}

// The children of the single element `der`.
inline std::vector<Bytes> childrenOf(const Bytes& der) {
    const Element outer = elementAt(der, 0);
    std::vector<Bytes> children;
    for (std::size_t at = outer.header; at < outer.size;) {
        const Element child = elementAt(der, at);
        children.emplace_back(der.begin() + static_cast<std::ptrdiff_t>(at),
                              der.begin() + static_cast<std::ptrdiff_t>(at + child.size));
        at += child.size;
    }
    return children;
}

// `der` with the element at `path` (child indexes from the outer element)
// replaced by `replacement`, or removed when there is none; every enclosing
// element gets its new (minimal) length.
inline Bytes replaceAt(const Bytes& der, const std::vector<std::size_t>& path,
                       const std::optional<Bytes>& replacement, std::size_t depth = 0) {
    if (depth == path.size()) return replacement.value_or(Bytes{});
    std::vector<Bytes> children = childrenOf(der);
    if (path[depth] >= children.size()) throw std::runtime_error("replaceAt: no such child");
    children[path[depth]] = replaceAt(children[path[depth]], path, replacement, depth + 1);
    Bytes content;
    for (const Bytes& child : children) content.insert(content.end(), child.begin(), child.end());
    return cms::tlv(der[0], content);
}

inline Bytes elementAtPath(const Bytes& der, const std::vector<std::size_t>& path) {
    Bytes current = der;
    for (const std::size_t index : path) current = childrenOf(current).at(index);
    return current;
}

// Paths in a ContentInfo holding SignedData.
inline std::vector<std::size_t> signedDataPath() { return {1, 0}; }
// SignerInfo `signer` (the SignerInfos SET is the last child of SignedData).
inline std::vector<std::size_t> signerInfoPath(const Bytes& der, std::size_t signer = 0) {
    const std::size_t last = childrenOf(elementAtPath(der, signedDataPath())).size() - 1;
    return {1, 0, last, signer};
}

// ---- signatures ------------------------------------------------------------------------

// r‖s of an ECDSA-Sig-Value, each half `half` octets.
inline Bytes ecdsaRawFromDer(const Bytes& der, std::size_t half) {
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    if (sig == nullptr) throw std::runtime_error("not an ECDSA-Sig-Value");
    Bytes raw(2 * half);
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw.data(), static_cast<int>(half));
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw.data() + half, static_cast<int>(half));
    ECDSA_SIG_free(sig);
    return raw;
}

inline std::size_t ecHalf(EVP_PKEY* key) { return (static_cast<std::size_t>(EVP_PKEY_get_bits(key)) + 7) / 8; }

// EVP_DigestSign of `data` (ECDSA: DER ECDSA-Sig-Value).
inline Bytes digestSign(EVP_PKEY* key, const EVP_MD* md, const Bytes& data) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::size_t length = 0;
    bool ok = EVP_DigestSignInit(context, nullptr, md, nullptr, key) == 1 &&
              EVP_DigestSign(context, nullptr, &length, data.data(), data.size()) == 1;
    Bytes signature(length);
    ok = ok && EVP_DigestSign(context, signature.data(), &length, data.data(), data.size()) == 1;
    EVP_MD_CTX_free(context);
    if (!ok) throw std::runtime_error("EVP_DigestSign failed");
    signature.resize(length);
    return signature;
}

inline const EVP_MD* mdForHashId(int hashId) {
    switch (hashId) {
        case 0: return EVP_sha1();
        case 2: return EVP_sha384();
        case 3: return EVP_sha512();
        case 4: return EVP_ripemd160();
        case 5: return EVP_md5();
        default: return EVP_sha256();
    }
}

// The signed attributes of a finished builder message as they are signed:
// their [0] element with the first octet changed to 31 (SET OF).
inline Bytes signedAttributesInput(const Bytes& der, std::size_t signer = 0) {
    auto path = signerInfoPath(der, signer);
    path.push_back(3);
    Bytes attributes = elementAtPath(der, path);
    if (attributes.empty() || attributes[0] != 0xA0) throw std::runtime_error("no signed attributes");
    attributes[0] = 0x31;
    return attributes;
}

// A createSignedData message signed here: OpenSSL signs the signed
// attributes and setSignerSignature stores the value (r‖s for EC keys).
inline Bytes signedBuilderMessage(const Party& signer, const cms::BuildOptions& options) {
    auto message = cms::buildMessage(signer.der, options);
    if (message->getError() != 0) throw std::runtime_error("createSignedData failed");
    Bytes input = cms::bytesOf(*message->getSignerSignedAttributes(0));
    input[0] = 0x31;
    Bytes signature = digestSign(signer.key.get(), mdForHashId(options.hashId), input);
    if (EVP_PKEY_get_base_id(signer.key.get()) == EVP_PKEY_EC) {
        signature = ecdsaRawFromDer(signature, ecHalf(signer.key.get()));
    }
    if (!message->setSignerSignature(0, signature.data(), signature.size())) {
        throw std::runtime_error("setSignerSignature failed");
    }
    return cms::bytesOf(*message);
}

// ---- OpenSSL-made messages ---------------------------------------------------------------

// CMS_sign with `flags` (CMS_BINARY added) and `extras` as further certificates.
inline Bytes cmsSigned(const Party& signer, const Bytes& content, unsigned flags,
                       const std::vector<const Party*>& extras = {}) {
    return cms::opensslSignedData(signer, content, flags, [&](CMS_ContentInfo* c) {
        for (const Party* extra : extras) {
            if (CMS_add1_cert(c, extra->cert.get()) != 1) throw std::runtime_error("CMS_add1_cert failed");
        }
    });
}

// CMS SignedData with two signers; the second digests with `secondMd`.
inline Bytes cmsTwoSigners(const Party& first, const Party& second, const Bytes& content, unsigned flags,
                           const EVP_MD* secondMd) {
    flags |= CMS_BINARY;
    CmsPtr c(CMS_sign(first.cert.get(), first.key.get(), nullptr, nullptr, flags | CMS_PARTIAL));
    if (!c || CMS_add1_signer(c.get(), second.cert.get(), second.key.get(), secondMd, flags) == nullptr) {
        throw std::runtime_error("CMS_add1_signer failed");
    }
    BioPtr data = cms::memoryBio(content);
    if (CMS_final(c.get(), data.get(), nullptr, flags) != 1) throw std::runtime_error("CMS_final failed");
    BioPtr out(BIO_new(BIO_s_mem()));
    if (i2d_CMS_bio(out.get(), c.get()) != 1) throw std::runtime_error("i2d_CMS_bio failed");
    return cms::bioBytes(out.get());
}

// PKCS7_sign with `flags` (PKCS7_BINARY added).
inline Bytes pkcs7Signed(const Party& signer, const Bytes& content, int flags) {
    BioPtr data = cms::memoryBio(content);
    Pkcs7Ptr p7(PKCS7_sign(signer.cert.get(), signer.key.get(), nullptr, data.get(), flags | PKCS7_BINARY));
    if (!p7) throw std::runtime_error("PKCS7_sign failed");
    return derOfPkcs7(p7.get());
}

// ---- RFC 3161 tokens ---------------------------------------------------------------------

// A time-stamping authority issued by the test CA, with the critical
// extendedKeyUsage timeStamping that OpenSSL's TS_RESP_CTX requires.
inline const Party& tsa() {
    static Party party = [] {
        Party p;
        p.key = generateKey(KeyKind::Rsa2048);
        const Party& ca = TestPki::instance().ca();
        p.cert = makeCertificate({.subject = "/C=DE/O=Kivo Test/CN=Kivo Test TSA",
                                  .subjectKey = p.key.get(),
                                  .issuerCert = ca.cert.get(),
                                  .issuerKey = ca.key.get(),
                                  .serial = 0x7001,
                                  .notBefore = 0,
                                  .notAfter = 0,
                                  .isCa = false,
                                  .extensions = {{"extendedKeyUsage", "critical,timeStamping"}},
                                  .digest = nullptr});
        p.der = derOf(p.cert.get());
        return p;
    }();
    return party;
}

// The token (ContentInfo SignedData of TSTInfo) that OpenSSL's TSA code
// answers for a SHA-256 imprint of `data`.
inline Bytes timeStampToken(const Bytes& data) {
    const Party& authority = tsa();
    TS_RESP_CTX* context = TS_RESP_CTX_new();
    ASN1_OBJECT* policy = OBJ_txt2obj("1.3.6.1.4.1.55555.1.1", 1);
    bool ok = context != nullptr && policy != nullptr &&
              TS_RESP_CTX_set_signer_cert(context, authority.cert.get()) == 1 &&
              TS_RESP_CTX_set_signer_key(context, authority.key.get()) == 1 &&
              TS_RESP_CTX_set_def_policy(context, policy) == 1 && TS_RESP_CTX_add_md(context, EVP_sha256()) == 1 &&
              TS_RESP_CTX_set_signer_digest(context, EVP_sha256()) == 1;

    TS_REQ* request = TS_REQ_new();
    TS_MSG_IMPRINT* imprint = TS_MSG_IMPRINT_new();
    X509_ALGOR* algorithm = X509_ALGOR_new();
    Bytes hash = digest(EVP_sha256(), data);
    ok = ok && request != nullptr && imprint != nullptr && algorithm != nullptr &&
         X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) == 1 &&
         TS_MSG_IMPRINT_set_algo(imprint, algorithm) == 1 &&
         TS_MSG_IMPRINT_set_msg(imprint, hash.data(), static_cast<int>(hash.size())) == 1 &&
         TS_REQ_set_version(request, 1) == 1 && TS_REQ_set_msg_imprint(request, imprint) == 1 &&
         TS_REQ_set_cert_req(request, 1) == 1;
    BioPtr requestBio(BIO_new(BIO_s_mem()));
    ok = ok && i2d_TS_REQ_bio(requestBio.get(), request) == 1;
    TS_RESP* response = ok ? TS_RESP_create_response(context, requestBio.get()) : nullptr;
    Bytes token;
    if (response != nullptr &&
        ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(response))) == TS_STATUS_GRANTED) {
        token = derOfPkcs7(TS_RESP_get_token(response));
    }
    TS_RESP_free(response);
    X509_ALGOR_free(algorithm);
    TS_MSG_IMPRINT_free(imprint);
    TS_REQ_free(request);
    ASN1_OBJECT_free(policy);
    TS_RESP_CTX_free(context);
    if (token.empty()) throw std::runtime_error("the TSA did not grant a token");
    return token;
}

// ---- calling the members -------------------------------------------------------------------

// Result of a caller-buffer member, with a buffer of `capacity` octets
// filled with 0xEE beforehand, so that a write shows.
struct Output {
    int result = 0;
    Bytes buffer;
    unsigned long length = 0xDEAD;

    Bytes written() const {
        const std::size_t n = std::min<std::size_t>(length, buffer.size());
        return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    }
    bool untouched() const {
        for (const unsigned char b : buffer) {
            if (b != 0xEE) return false;
        }
        return length == 0xDEAD;
    }
};

using CallerBufferMember = int (*)(unsigned char*, unsigned long, int, unsigned char**, unsigned long*);

// `member` on an exact heap copy of `der`, with an output buffer the size
// of the message, as the system's callers size it.
inline Output callIndexed(CallerBufferMember member, const Bytes& der, int index) {
    cms::HeapCopy input(der);
    Output output;
    output.buffer.assign(der.size() + 1, 0xEE);
    unsigned char* out = output.buffer.data();
    output.result = member(const_cast<unsigned char*>(input.data()), static_cast<unsigned long>(der.size()), index,
                           &out, &output.length);
    return output;
}

inline unsigned char* mutableData(const cms::HeapCopy& copy) { return const_cast<unsigned char*>(copy.data()); }

}  // namespace kivo::test::container
