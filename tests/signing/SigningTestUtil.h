// Helpers for the CSignMessage signing tests: one PKCS#12 file and key
// handle per key kind (opened once per run with OpenSSLKey_P12), memory
// signing with a guarded output buffer, and the OpenSSL checks every
// container goes through. The temporary folders come from TestSupport.h.
#pragma once

#include "SignMessageSSLM.h"
#include "tests/support/ContainerTestUtil.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kivo::test::signing {

namespace fs = std::filesystem;
namespace ct = kivo::test::container;
using cms::BioPtr;
using cms::Bytes;
using cms::CmsPtr;
using cms::Party;
using cms::TestPki;
using kivo::test::TempDir;

inline constexpr const char* kP12Password = "kivo-p12-password";
inline constexpr const char* kTimeStampTokenOid = "1.2.840.113549.1.9.16.2.14";

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline void writePem(const std::string& path, X509* certificate) {
    BioPtr bio(BIO_new_file(path.c_str(), "w"));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) throw std::runtime_error("cannot write " + path);
}

// The signer certificates of the test PKI as PKCS#12 files, their key
// handles and the CA as a PEM file; each made on first use (key generation
// is slow), released by the environment below after the last test.
class SigningKeys {
public:
    static SigningKeys& get() {
        if (!instance()) instance().reset(new SigningKeys);
        return *instance();
    }
    static void release() { instance().reset(); }

    ~SigningKeys() {
        CSignMessage::m_isP12 = true;
        for (auto& [kind, handle] : m_handles) CSignMessage::CloseSSLKey(handle);
    }

    const Party& signer(KeyKind kind) const { return TestPki::instance().signer(kind); }
    const std::string& caPem() const { return m_caPem; }

    // A PKCS#12 file with the key and certificate of `kind` and the CA.
    std::string p12(KeyKind kind) const {
        const std::string path = m_dir.file(std::string(keyKindName(kind)) + ".p12");
        if (!fs::exists(path)) {
            writePkcs12(path, signer(kind).key.get(), signer(kind).cert.get(), kP12Password,
                        {TestPki::instance().ca().cert.get()});
        }
        return path;
    }

    // The handle OpenSSLKey_P12 gave for the PKCS#12 file of `kind`.
    unsigned long* key(KeyKind kind) {
        auto& handle = m_handles[kind];
        if (handle == nullptr) {
            handle = CSignMessage::OpenSSLKey_P12(p12(kind).c_str(), kP12Password, nullptr, 0, 0, nullptr);
            if (handle == nullptr) throw std::runtime_error("OpenSSLKey_P12 refused " + p12(kind));
        }
        CSignMessage::m_isP12 = true;
        return handle;
    }

private:
    SigningKeys() : m_caPem(m_dir.file("ca.pem")) { writePem(m_caPem, TestPki::instance().ca().cert.get()); }
    static std::unique_ptr<SigningKeys>& instance() {
        static std::unique_ptr<SigningKeys> keys;
        return keys;
    }

    TempDir m_dir;
    std::string m_caPem;
    std::map<KeyKind, unsigned long*> m_handles;
};

class SigningKeysEnvironment : public ::testing::Environment {
public:
    void TearDown() override { SigningKeys::release(); }
};
inline ::testing::Environment* const kSigningKeysEnvironment =
    ::testing::AddGlobalTestEnvironment(new SigningKeysEnvironment);

// Tests that change the process-wide CAdES level or time-stamp URL derive
// from this fixture, which puts both back to their defaults.
class SigningTest : public ::testing::Test {
protected:
    void TearDown() override {
        CSignMessage::setCAdES_Level(0);
        CSignMessage::setTSUrl("");
        CSignMessage::setStandardTSImprint(false);
    }
};

// ---- memory signing --------------------------------------------------------

// The _ASN1_CERT_BLOB array for `certificates` (which must outlive it).
inline std::vector<_ASN1_CERT_BLOB> certBlobs(std::vector<Bytes>& certificates) {
    std::vector<_ASN1_CERT_BLOB> blobs;
    for (Bytes& der : certificates) blobs.push_back({der.data(), static_cast<unsigned long>(der.size())});
    return blobs;
}

struct BlobRequest {
    explicit BlobRequest(KeyKind kind, int hash = 1, bool embed = true, timeb* signingTime = nullptr)
        : kind(kind), hash(hash), embed(embed), signingTime(signingTime) {}
    KeyKind kind;
    int hash;
    bool embed;
    timeb* signingTime;
    Bytes data = randomBytes(3000, 7);
    std::vector<Bytes> extras;
};

struct BlobResult {
    int lengthResult = 1;
    unsigned long reported = 0;  // from SignBlobSSLForLength
    int result = 1;
    unsigned long written = 0;   // from SignBlobSSL
    Bytes der;                   // the first `written` bytes of the output
    bool guardIntact = false;    // nothing written past the reported length
};

// SignBlobSSLForLength, then SignBlobSSL into a buffer of the reported
// length followed by guard bytes.
inline BlobResult signBlob(BlobRequest request) {
    constexpr std::size_t kGuard = 64;
    BlobResult r;
    unsigned long* key = SigningKeys::get().key(request.kind);
    X509* cert = SigningKeys::get().signer(request.kind).cert.get();
    std::vector<_ASN1_CERT_BLOB> blobs = certBlobs(request.extras);
    auto* certs = blobs.empty() ? nullptr : blobs.data();
    const int count = static_cast<int>(blobs.size());
    const int len = static_cast<int>(request.data.size());
    r.lengthResult = CSignMessage::SignBlobSSLForLength(request.data.data(), len, nullptr, &r.reported,
                                                        request.signingTime, cert, key, request.hash,
                                                        request.embed, certs, count);
    if (r.lengthResult != 0) return r;
    Bytes out(r.reported + kGuard, 0xEE);
    r.result = CSignMessage::SignBlobSSL(request.data.data(), len, out.data(), &r.written, request.signingTime,
                                         cert, key, request.hash, request.embed, certs, count);
    r.guardIntact = std::all_of(out.begin() + static_cast<std::ptrdiff_t>(r.reported), out.end(),
                                [](unsigned char b) { return b == 0xEE; });
    out.resize(std::min<std::size_t>(r.written, r.reported));
    r.der = std::move(out);
    return r;
}

// ---- reading containers with OpenSSL ---------------------------------------------

inline CMS_SignerInfo* firstSigner(CMS_ContentInfo* cms) {
    return sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
}

inline std::vector<std::string> signedAttributeOids(CMS_SignerInfo* si) {
    std::vector<std::string> oids;
    for (int i = 0; i < CMS_signed_get_attr_count(si); ++i) {
        oids.push_back(ct::dotted(X509_ATTRIBUTE_get0_object(CMS_signed_get_attr(si, i))));
    }
    return oids;
}

// Seconds since 1970 of the signingTime attribute, which must be a UTCTime.
inline std::optional<std::int64_t> signingTimeOf(CMS_SignerInfo* si) {
    const int index = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
    if (index < 0) return std::nullopt;
    const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(si, index), 0);
    if (value == nullptr || value->type != V_ASN1_UTCTIME) return std::nullopt;
    return ct::utcSeconds(value->value.utctime);
}

inline Bytes signatureValue(CMS_SignerInfo* si) { return ct::octets(CMS_SignerInfo_get0_signature(si)); }

// CMS_verify of `der` against a store holding the test CA; `detached`
// supplies the content of a detached signature. 1 on success.
inline int cmsVerify(const Bytes& der, const Bytes* detached, unsigned flags = 0, Bytes* extracted = nullptr) {
    CmsPtr cms = ct::parseCms(der);
    if (!cms) return -1;
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, TestPki::instance().ca().cert.get());
    BioPtr content = detached != nullptr ? cms::memoryBio(*detached) : nullptr;
    BioPtr out(BIO_new(BIO_s_mem()));
    const int result = CMS_verify(cms.get(), nullptr, store, content.get(), out.get(), flags | CMS_BINARY);
    X509_STORE_free(store);
    ERR_clear_error();
    if (extracted != nullptr) *extracted = cms::bioBytes(out.get());
    return result;
}

// PSS with MGF1 over `md` and a salt as long as its output, as the
// containers declare it.
inline bool usePss(EVP_PKEY_CTX* context, const EVP_MD* md, int saltLength) {
    return EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PSS_PADDING) == 1 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(context, md) == 1 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(context, saltLength) == 1;
}

// EVP_DigestVerify of `signature` over `input` with the public key of
// `cert`; RSA-PSS keys use `pssSaltLength`. 1 when it holds.
inline int digestVerify(X509* cert, const EVP_MD* md, const Bytes& signature, const Bytes& input,
                        int pssSaltLength) {
    EVP_PKEY* key = X509_get0_pubkey(cert);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_PKEY_CTX* keyContext = nullptr;
    bool ok = EVP_DigestVerifyInit(context, &keyContext, md, nullptr, key) == 1;
    if (ok && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA_PSS) ok = usePss(keyContext, md, pssSaltLength);
    const int result =
        ok ? EVP_DigestVerify(context, signature.data(), signature.size(), input.data(), input.size()) : -1;
    EVP_MD_CTX_free(context);
    ERR_clear_error();
    return result;
}

// The signature of the first signer checked over its signed attributes
// as they were signed (the [0] element with its first byte set to 31).
// CMS_verify refuses signed attributes without messageDigest before it
// gets that far, so level 5 containers are checked this way.
inline int verifySignedAttributes(const Bytes& der, X509* cert, int hash) {
    CmsPtr cms = ct::parseCms(der);
    if (!cms) return -1;
    const EVP_MD* md = ct::mdForHashId(hash);
    return digestVerify(cert, md, signatureValue(firstSigner(cms.get())), ct::signedAttributesInput(der),
                        EVP_MD_get_size(md));
}

// Dotted OID of the digest the signing calls use for `hash`.
inline std::string digestOid(int hash) { return ct::dotted(OBJ_nid2obj(EVP_MD_get_type(ct::mdForHashId(hash)))); }

}  // namespace kivo::test::signing
