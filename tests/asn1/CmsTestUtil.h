// Helpers for the tests of the DER class family: a small PKI made once per
// test run, messages built by the library and by OpenSSL, and DER surgery.
#pragma once

#include "asn1/CmsPkcs7.h"
#include "tools/testpki/Pki.h"
#include "tests/asn1/DerTestUtil.h"
#include "tests/support/TestSupport.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace kivo::test::cms {

using Bytes = std::vector<unsigned char>;
using kivo::test::der::opensslDer;

// Hex text, exact-size heap copies and hand-built elements (DerBuild.h).
using HeapCopy = kivo::test::ExactBuffer;
inline Bytes tlv(unsigned char identifier, const Bytes& content) { return kivo::test::tlv(identifier, content); }
inline Bytes fromHex(std::string_view text) { return kivo::test::hex(text); }
inline std::string hexOf(const Bytes& bytes) { return kivo::test::toHex(bytes); }
inline Bytes join(std::initializer_list<Bytes> parts) { return kivo::test::cat(parts); }

// The encoding an object holds.
inline Bytes bytesOf(const CAsn1Base& object) {
    return object.getPb() == nullptr ? Bytes{} : Bytes(object.getPb(), object.getPb() + object.getCb());
}

// OBJECT IDENTIFIER element of a dotted text, encoded by OpenSSL.
inline Bytes oidElement(const char* dotted) {
    Bytes out = kivo::test::oid(dotted);
    if (out.empty()) throw std::runtime_error(std::string("bad OID ") + dotted);
    return out;
}

struct Party { EvpKeyPtr key; X509Ptr cert; Bytes der; };

// A small PKI made once per test run.
class TestPki {
public:
    static TestPki& instance() {
        static TestPki pki;
        return pki;
    }

    const Party& ca() const { return m_ca; }

    // The signer certificate of `kind`, issued by the CA (serial 0x8000 +
    // kind, so that its INTEGER carries a leading zero octet).
    const Party& signer(KeyKind kind) {
        Party& party = m_signers[kind];
        if (!party.cert) {
            issue(party, generateKey(kind), std::string("Signer ") + keyKindName(kind), 0x8000 + long(kind));
        }
        return party;
    }

    // A signer on a curve or key type outside KeyKind ("P-521", "ED25519").
    const Party& extraSigner(const std::string& name) {
        Party& party = m_extraSigners[name];
        if (!party.cert) {
            EVP_PKEY* key = name == "ED25519" ? EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")
                                              : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", name.c_str());
            if (key == nullptr) throw std::runtime_error("cannot generate " + name);
            issue(party, EvpKeyPtr(key), "Signer " + name, 0x9000 + long(m_extraSigners.size()));
        }
        return party;
    }

    // Three further certificates: the CA and two leaf certificates.
    const std::vector<Bytes>& extraCertificates() const { return m_extras; }

private:
    TestPki() {
        issue(m_ca, generateKey(KeyKind::EcP256), "Kivo Test CA", 1);
        m_extras.push_back(m_ca.der);
        for (int i = 0; i < 2; ++i) {
            Party other;
            issue(other, generateKey(KeyKind::EcP384), "Other " + std::to_string(i), 0x100 + i);
            m_extras.push_back(other.der);
        }
    }

    // `party` certified by the CA, or self-signed as the CA itself.
    void issue(Party& party, EvpKeyPtr key, const std::string& name, long serial) {
        const bool isCa = &party == &m_ca;
        party.key = std::move(key);
        party.cert = makeCertificate({.subject = "/C=DE/O=Kivo Test/CN=" + name, .subjectKey = party.key.get(),
                                      .issuerCert = isCa ? nullptr : m_ca.cert.get(),
                                      .issuerKey = isCa ? nullptr : m_ca.key.get(), .serial = serial, .notBefore = 0,
                                      .notAfter = 0, .isCa = isCa, .extensions = {}, .digest = nullptr});
        party.der = derOf(party.cert.get());
    }

    Party m_ca;
    std::map<KeyKind, Party> m_signers;
    std::map<std::string, Party> m_extraSigners;
    std::vector<Bytes> m_extras;
};

// Options of one createSignedData call.
struct BuildOptions {
    int hashId = 1;
    Bytes content = kivo::test::hex("4B69766F20636F6E74656E74");  // "Kivo content"
    std::int64_t signingTime = 1770025277;  // 2026-02-02 09:41:17 UTC
    bool useSigningTime = true;
    bool attach = true;
    int attributeMode = 0;
    int scheme = 0;
    std::string fallbackOid = "1.2.840.10045.2.1";
    bool extraCertificates = false;
};

// A signedData message for `signerDer` built as `options` say.
inline std::unique_ptr<CAsn1_Pkcs7> buildMessage(const Bytes& signerDer, const BuildOptions& options) {
    auto message = std::make_unique<CAsn1_Pkcs7>();
    message->setContentTypeCode(2);
    message->setSignatureScheme(options.scheme);
    std::vector<std::unique_ptr<CAsn1_Cert>> extras;
    std::vector<const CAsn1Base*> extraPointers;
    if (options.extraCertificates) {
        for (const Bytes& der : TestPki::instance().extraCertificates()) {
            extras.push_back(std::make_unique<CAsn1_Cert>(der.data(), der.size()));
            extraPointers.push_back(extras.back().get());
        }
    }
    message->createSignedData(signerDer.data(), signerDer.size(), options.hashId, options.content.data(),
                              options.content.size(), options.useSigningTime ? &options.signingTime : nullptr,
                              options.attach, options.attributeMode, options.fallbackOid, extraPointers);
    return message;
}

struct CmsDeleter { void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); } };
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsDeleter>;
struct BioDeleter { void operator()(BIO* bio) const { BIO_free(bio); } };
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

inline BioPtr memoryBio(const Bytes& bytes) {
    return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

inline Bytes bioBytes(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return Bytes(data, data + (length > 0 ? length : 0));
}

// A SignedData made by OpenSSL's CMS_sign with `flags` (and CMS_BINARY);
// `adjust` may change the finished structure. CMS_STREAM writes BER.
inline Bytes opensslSignedData(const Party& signer, const Bytes& content, unsigned flags,
                               const std::function<void(CMS_ContentInfo*)>& adjust = {}) {
    flags |= CMS_BINARY;
    BioPtr data = memoryBio(content);
    BioPtr out(BIO_new(BIO_s_mem()));
    if (flags & CMS_STREAM) {
        CmsPtr cms(CMS_sign(signer.cert.get(), signer.key.get(), nullptr, data.get(), flags));
        if (!cms || i2d_CMS_bio_stream(out.get(), cms.get(), data.get(), static_cast<int>(flags)) != 1) {
            throw std::runtime_error("CMS streaming failed");
        }
        return bioBytes(out.get());
    }
    CmsPtr cms(CMS_sign(signer.cert.get(), signer.key.get(), nullptr, nullptr, flags | CMS_PARTIAL));
    if (!cms || CMS_final(cms.get(), data.get(), nullptr, flags) != 1) throw std::runtime_error("CMS_sign failed");
    if (adjust) adjust(cms.get());
    if (i2d_CMS_bio(out.get(), cms.get()) != 1) throw std::runtime_error("i2d_CMS_bio failed");
    return bioBytes(out.get());
}

// Offset and size of the element reached from the outer element of `der`
// by child indexes (an empty path is the outer element itself). Definite
// lengths only; throws when the path does not exist.
struct Located {
    std::size_t offset = 0;
    std::size_t size = 0;
    std::size_t header = 0;
};

inline Located locate(const Bytes& der, const std::vector<std::size_t>& path) {
    const auto elementAt = [&](std::size_t offset) {
        if (offset + 2 > der.size()) throw std::runtime_error("locate: past the end");
        const std::size_t count = der[offset + 1] < 0x80 ? 0 : der[offset + 1] & 0x7F;
        if (der[offset + 1] >= 0x80 && (count == 0 || count > 4 || offset + 2 + count > der.size())) {
            throw std::runtime_error("locate: length");
        }
        std::size_t length = count == 0 ? der[offset + 1] : 0;
        for (std::size_t i = 0; i < count; ++i) length = (length << 8) | der[offset + 2 + i];
        return Located{offset, 2 + count + length, 2 + count};
    };
    Located current = elementAt(0);
    for (const std::size_t index : path) {
        // BIT STRING children start after the unused-bits octet.
        std::size_t offset = current.offset + current.header + (der[current.offset] == 0x03 ? 1 : 0);
        for (std::size_t i = 0;; ++i) {
            if (offset >= current.offset + current.size) throw std::runtime_error("locate: no such child");
            const Located child = elementAt(offset);
            if (i == index) {
                current = child;
                break;
            }
            offset += child.size;
        }
    }
    return current;
}

inline Bytes slice(const Bytes& der, const Located& where) {
    return Bytes(der.begin() + static_cast<std::ptrdiff_t>(where.offset),
                 der.begin() + static_cast<std::ptrdiff_t>(where.offset + where.size));
}

}  // namespace kivo::test::cms
