// Helpers for the tests of the DER class family: exact-size heap copies,
// hand-built elements, and a small PKI (a CA, one signer per key kind and
// three further certificates) made once per test run with OpenSSL.
#pragma once

#include "asn1/CmsPkcs7.h"
#include "tools/testpki/Pki.h"
#include "tests/support/DerBuild.h"
#include "tests/support/TestSupport.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::test::cms {

using Bytes = std::vector<unsigned char>;

// Octets of hex text; blanks are skipped.
inline Bytes fromHex(std::string_view text) { return kivo::test::hex(text); }

// A heap copy of exactly the given octets, so that the address sanitizer
// reports any read past them.
using HeapCopy = kivo::test::ExactBuffer;

// The encoding an object holds.
inline Bytes bytesOf(const CAsn1Base& object) {
    if (object.getPb() == nullptr) return {};
    return Bytes(object.getPb(), object.getPb() + object.getCb());
}

inline std::string hexOf(const Bytes& bytes) { return kivo::test::toHex(bytes); }

// An element with a definite minimal length, worked out in support/DerBuild.h
// rather than with the library's writeLength.
inline Bytes tlv(unsigned char identifier, const Bytes& content) { return kivo::test::tlv(identifier, content); }

inline Bytes join(std::initializer_list<Bytes> parts) { return kivo::test::cat(parts); }

// OBJECT IDENTIFIER element of a dotted text, encoded by OpenSSL.
inline Bytes oidElement(const char* dotted) {
    Bytes out = kivo::test::oid(dotted);
    if (out.empty()) throw std::runtime_error(std::string("bad OID ") + dotted);
    return out;
}

// ---- test PKI ------------------------------------------------------------------

struct Party {
    EvpKeyPtr key;
    X509Ptr cert;
    Bytes der;
};

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
        auto& party = m_signers[kind];
        if (!party.cert) {
            party.key = generateKey(kind);
            party.cert = issue(party.key.get(), std::string("/C=DE/O=Kivo Test/CN=Signer ") + keyKindName(kind),
                               0x8000 + static_cast<long>(kind));
            party.der = derOf(party.cert.get());
        }
        return party;
    }

    // A signer on a curve or key type outside KeyKind ("P-521", "ED25519").
    const Party& extraSigner(const std::string& name) {
        auto& party = m_extraSigners[name];
        if (!party.cert) {
            EVP_PKEY* key = name == "ED25519" ? EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")
                                              : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", name.c_str());
            if (key == nullptr) throw std::runtime_error("cannot generate " + name);
            party.key.reset(key);
            party.cert = issue(key, "/C=DE/O=Kivo Test/CN=Signer " + name, 0x9000 + static_cast<long>(m_extraSigners.size()));
            party.der = derOf(party.cert.get());
        }
        return party;
    }

    // Three further certificates: the CA and two leaf certificates.
    const std::vector<Bytes>& extraCertificates() const { return m_extras; }

private:
    TestPki() {
        m_ca.key = generateKey(KeyKind::EcP256);
        m_ca.cert = makeCertificate({.subject = "/C=DE/O=Kivo Test/CN=Kivo Test CA",
                                     .subjectKey = m_ca.key.get(),
                                     .issuerCert = nullptr,
                                     .issuerKey = nullptr,
                                     .serial = 1,
                                     .notBefore = 0,
                                     .notAfter = 0,
                                     .isCa = true,
                                     .extensions = {},
                                     .digest = nullptr});
        m_ca.der = derOf(m_ca.cert.get());

        m_extras.push_back(m_ca.der);
        const EvpKeyPtr other = generateKey(KeyKind::EcP384);
        for (int i = 0; i < 2; ++i) {
            X509Ptr cert = issue(other.get(), "/C=DE/O=Kivo Test/CN=Other " + std::to_string(i), 0x100 + i);
            m_extras.push_back(derOf(cert.get()));
        }
    }

    X509Ptr issue(EVP_PKEY* subjectKey, const std::string& subject, long serial) {
        return makeCertificate({.subject = subject,
                                .subjectKey = subjectKey,
                                .issuerCert = m_ca.cert.get(),
                                .issuerKey = m_ca.key.get(),
                                .serial = serial,
                                .notBefore = 0,
                                .notAfter = 0,
                                .isCa = false,
                                .extensions = {},
                                .digest = nullptr});
    }

    Party m_ca;
    std::map<KeyKind, Party> m_signers;
    std::map<std::string, Party> m_extraSigners;
    std::vector<Bytes> m_extras;
};

// Options of one createSignedData call.
struct BuildOptions {
    int hashId = 1;
    Bytes content = Bytes{'K', 'i', 'v', 'o', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't'};
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

// ---- OpenSSL-made messages -------------------------------------------------------

struct CmsDeleter {
    void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsDeleter>;

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

inline BioPtr memoryBio(const Bytes& bytes) {
    return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

inline Bytes bioBytes(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return Bytes(data, data + (length > 0 ? length : 0));
}

// A SignedData made by OpenSSL's CMS_sign with `flags` (CMS_BINARY is
// always added); `adjust` may change the finished structure (CRLs,
// unsigned attributes). With CMS_STREAM the output is written in the
// streaming (indefinite-length) form.
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
    const auto headerAt = [&](std::size_t offset, std::size_t* header, std::size_t* length) {
        if (offset + 2 > der.size()) throw std::runtime_error("locate: past the end");
        const unsigned char first = der[offset + 1];
        if (first < 0x80) {
            *header = 2;
            *length = first;
        } else {
            const std::size_t count = first & 0x7F;
            if (count == 0 || count > 4 || offset + 2 + count > der.size()) throw std::runtime_error("locate: length");
            *length = 0;
            for (std::size_t i = 0; i < count; ++i) *length = (*length << 8) | der[offset + 2 + i];
            *header = 2 + count;
        }
    };
    Located current;
    std::size_t length = 0;
    headerAt(0, &current.header, &length);
    current.size = current.header + length;
    for (const std::size_t index : path) {
        std::size_t offset = current.offset + current.header;
        const std::size_t end = current.offset + current.size;
        // BIT STRING children start after the unused-bits octet.
        if (der[current.offset] == 0x03) ++offset;
        for (std::size_t i = 0;; ++i) {
            if (offset >= end) throw std::runtime_error("locate: no such child");
            std::size_t header = 0;
            headerAt(offset, &header, &length);
            if (i == index) {
                current = Located{offset, header + length, header};
                break;
            }
            offset += header + length;
        }
    }
    return current;
}

inline Bytes slice(const Bytes& der, const Located& where) {
    return Bytes(der.begin() + static_cast<std::ptrdiff_t>(where.offset),
                 der.begin() + static_cast<std::ptrdiff_t>(where.offset + where.size));
}

}  // namespace kivo::test::cms
