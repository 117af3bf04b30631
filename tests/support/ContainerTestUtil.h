// Container test helpers: OpenSSL-made and builder messages, DER surgery, member calls.
#pragma once

#include "tests/asn1/CmsTestUtil.h"

#include "PKCS7SSL.h"
#include "tools/testpki/TsaServer.h"

#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>

#include <optional>

namespace kivo::test::container {

using cms::BioPtr;
using cms::Bytes;
using cms::CmsPtr;
using cms::HeapCopy;
using cms::Party;
using cms::TestPki;

struct Pkcs7Deleter { void operator()(PKCS7* p7) const { PKCS7_free(p7); } };
using Pkcs7Ptr = std::unique_ptr<PKCS7, Pkcs7Deleter>;
// Result codes of several calls compared at once, each in its place.
using Codes = std::vector<int>;

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

inline Bytes octets(const ASN1_STRING* s) {
    return s == nullptr ? Bytes{} : Bytes(ASN1_STRING_get0_data(s), ASN1_STRING_get0_data(s) + ASN1_STRING_length(s));
}

inline std::string dotted(const ASN1_OBJECT* object) {
    char text[128] = {};
    return OBJ_obj2txt(text, sizeof text, object, 1) >= 0 ? text : "";
}

inline Bytes digest(const EVP_MD* md, const Bytes& data) {
    Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
    if (EVP_Digest(data.data(), data.size(), out.data(), nullptr, md, nullptr) != 1) throw std::runtime_error("EVP_Digest failed");
    return out;
}

inline std::int64_t utcSeconds(const ASN1_TIME* time) {
    std::tm fields{};
    if (ASN1_TIME_to_tm(time, &fields) != 1) throw std::runtime_error("ASN1_TIME_to_tm failed");
    return static_cast<std::int64_t>(timegm(&fields));
}

inline Bytes elementAtPath(const Bytes& der, const std::vector<std::size_t>& path) {
    return cms::slice(der, cms::locate(der, path));
}

inline std::vector<Bytes> childrenOf(const Bytes& der) {
    const cms::Located outer = cms::locate(der, {});
    Bytes rest(der.begin() + static_cast<std::ptrdiff_t>(outer.header), der.begin() + static_cast<std::ptrdiff_t>(outer.size));
    std::vector<Bytes> children;
    while (!rest.empty()) {
        children.push_back(cms::slice(rest, cms::locate(rest, {})));
        rest.erase(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(children.back().size()));
    }
    return children;
}

// `der` with the element at `path` replaced by `replacement`, or removed
// when there is none; every enclosing element gets its new minimal length.
inline Bytes replaceAt(const Bytes& der, const std::vector<std::size_t>& path, const std::optional<Bytes>& replacement,
                       std::size_t depth = 0) {
    if (depth == path.size()) return replacement.value_or(Bytes{});
    std::vector<Bytes> children = childrenOf(der);
    children.at(path[depth]) = replaceAt(children.at(path[depth]), path, replacement, depth + 1);
    Bytes content;
    for (const Bytes& child : children) content.insert(content.end(), child.begin(), child.end());
    return cms::tlv(der[0], content);
}

// SignerInfo `signer` of a ContentInfo holding SignedData (the SignerInfos SET is SignedData's last child),
// optionally one of its fields.
inline std::vector<std::size_t> signerInfoPath(const Bytes& der, std::size_t signer = 0, std::optional<std::size_t> field = {}) {
    const std::size_t last = childrenOf(elementAtPath(der, {1, 0})).size() - 1;
    std::vector<std::size_t> path{1, 0, last, signer};
    if (field) path.push_back(*field);
    return path;
}

// r‖s of an ECDSA-Sig-Value, each half `half` octets.
inline Bytes ecdsaRawFromDer(const Bytes& der, std::size_t half) {
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    Bytes raw(2 * half);
    const bool ok = sig != nullptr && BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw.data(), int(half)) > 0 && BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw.data() + half, int(half)) > 0;
    ECDSA_SIG_free(sig);
    return ok ? raw : throw std::runtime_error("not an ECDSA-Sig-Value");
}

inline std::size_t ecHalf(EVP_PKEY* key) { return (static_cast<std::size_t>(EVP_PKEY_get_bits(key)) + 7) / 8; }
inline Bytes digestSign(EVP_PKEY* key, const EVP_MD* md, const Bytes& data) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::size_t length = 1024;
    Bytes signature(length);
    const bool ok = EVP_DigestSignInit(context, nullptr, md, nullptr, key) == 1 && EVP_DigestSign(context, signature.data(), &length, data.data(), data.size()) == 1;
    EVP_MD_CTX_free(context);
    signature.resize(length);
    return ok ? signature : throw std::runtime_error("EVP_DigestSign failed");
}

inline const EVP_MD* mdForHashId(int hashId) {
    const EVP_MD* const known[] = {EVP_sha1(), EVP_sha256(), EVP_sha384(), EVP_sha512(), EVP_ripemd160(), EVP_md5()};
    return hashId >= 0 && hashId < 6 ? known[hashId] : EVP_sha256();
}

// The signed attributes of a finished builder message as they are signed:
// their [0] element with the first octet changed to 31 (SET OF).
inline Bytes signedAttributesInput(const Bytes& der, std::size_t signer = 0) {
    Bytes attributes = elementAtPath(der, signerInfoPath(der, signer, 3));
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
    if (EVP_PKEY_get_base_id(signer.key.get()) == EVP_PKEY_EC) signature = ecdsaRawFromDer(signature, ecHalf(signer.key.get()));
    if (!message->setSignerSignature(0, signature.data(), signature.size())) throw std::runtime_error("setSignerSignature failed");
    return cms::bytesOf(*message);
}

inline Bytes cmsSigned(const Party& signer, const Bytes& content, unsigned flags, const std::vector<const Party*>& extras = {}) {
    return cms::opensslSignedData(signer, content, flags, [&](CMS_ContentInfo* c) {
        for (const Party* extra : extras) CMS_add1_cert(c, extra->cert.get());
    });
}

// The test time-stamp service, for the tokens it issues (no HTTP involved).
inline const TsaServer& timeStampService() {
    static const TsaServer service;
    return service;
}

// The token (ContentInfo SignedData of TSTInfo) the service issues for a
// SHA-256 imprint of `data`: TimeStampReq version 1, certReq TRUE.
inline Bytes timeStampToken(const Bytes& data) {
    const Bytes request = seq({hex("020101 3031300D060960864801650304020105000420"), digest(EVP_sha256(), data), hex("0101FF")});
    return childrenOf(timeStampService().respond(request)).at(1);
}

// Result of a caller-buffer member; the buffer is 0xEE beforehand, so that a write shows.
struct Output {
    int result = 0;
    Bytes buffer;
    unsigned long length = 0xDEAD;
    Bytes written() const { return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(length, buffer.size()))); }
    bool untouched() const { return length == 0xDEAD && buffer == Bytes(buffer.size(), 0xEE); }
};

using CallerBufferMember = int (*)(unsigned char*, unsigned long, int, unsigned char**, unsigned long*);

// `member` on an exact heap copy of `der`, with an output buffer the size of the message.
inline Output callIndexed(CallerBufferMember member, const Bytes& der, int index) {
    HeapCopy input(der);
    Output output{0, Bytes(der.size() + 1, 0xEE)};
    unsigned char* out = output.buffer.data();
    output.result = member(input.data(), static_cast<unsigned long>(der.size()), index, &out, &output.length);
    return output;
}

struct Message {
    explicit Message(const Bytes& der) : copy(der), len(static_cast<unsigned long>(der.size())) {}
    unsigned char* p() const { return copy.data(); }
    HeapCopy copy;
    unsigned long len;
};

using HashMember = unsigned char* (*)(unsigned char*, unsigned long, unsigned long*);

// The digest `member` (GetHash, GetTimestampHash) reads from `der`, if any.
inline std::optional<Bytes> hashOf(HashMember member, const Bytes& der) {
    Message m(der);
    unsigned long length = 0;
    const unsigned char* hash = member(m.p(), m.len, &length);
    return hash == nullptr ? std::nullopt : std::optional(Bytes(hash, hash + length));
}

inline std::optional<Bytes> signatureBlob(const Bytes& der, int index, bool raw) {
    Message m(der);
    unsigned long size = 0;
    if (CPKCS7SSL::GetSignatureBlobSize(m.p(), &size, index, raw) != 0) return std::nullopt;
    Bytes value(size);
    return CPKCS7SSL::GetSignatureBlob(m.p(), value.data(), index, raw) == 0 ? std::optional(value) : std::nullopt;
}

inline int verify(const Bytes& der) { return CPKCS7SSL::Verify(Message(der).p(), static_cast<unsigned long>(der.size())); }

inline int verifyCms(const Bytes& der, std::optional<Bytes> content) {
    Message m(der);
    return CPKCS7SSL::VerifyCMS(m.p(), m.len, content ? content->data() : nullptr, content ? static_cast<unsigned long>(content->size()) : 0);
}

// `der` with octet `at` of the first occurrence of `part` flipped in its lowest bit.
inline Bytes tamper(Bytes der, const Bytes& part, std::size_t at) {
    std::search(der.begin(), der.end(), part.begin(), part.end())[static_cast<std::ptrdiff_t>(at)] ^= 0x01;
    return der;
}

}  // namespace kivo::test::container
