// Signing test helpers: a PKCS#12 file and key handle per key kind, memory signing into a guarded buffer, OpenSSL checks.
#pragma once

#include "SignMessageSSLM.h"
#include "tests/support/ContainerTestUtil.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace kivo::test::signing {

namespace fs = std::filesystem;
namespace ct = kivo::test::container;
using cms::BioPtr;
using cms::Bytes;
using cms::CmsPtr;
using cms::TestPki;
using container::Codes;
using kivo::test::TempDir;

inline constexpr const char* kP12Password = "kivo-p12-password";

using kivo::test::readBytes;
using kivo::test::writeBytes;


inline void writePem(const std::string& path, X509* certificate) {
    BioPtr bio(BIO_new_file(path.c_str(), "w"));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) throw std::runtime_error("cannot write " + path);
}

inline bool isEc(KeyKind kind) { return kind == KeyKind::EcP256 || kind == KeyKind::EcP384; }

// PKCS#12 files of the test PKI's signers and their key handles, made on first use and released after the last test.
class SigningKeys {
public:
    static SigningKeys& get() {
        if (!instance()) instance().reset(new SigningKeys);
        return *instance();
    }
    static std::unique_ptr<SigningKeys>& instance() {
        static std::unique_ptr<SigningKeys> keys;
        return keys;
    }
    ~SigningKeys() {
        CSignMessage::m_isP12 = true;
        for (auto& [kind, handle] : m_handles) CSignMessage::CloseSSLKey(handle);
    }
    X509* cert(KeyKind kind) const { return TestPki::instance().signer(kind).cert.get(); }
    const std::string& caPem() const { return m_caPem; }

    std::string p12(KeyKind kind) const {
        const std::string path = m_dir.file(std::string(keyKindName(kind)) + ".p12");
        if (!fs::exists(path)) writePkcs12(path, TestPki::instance().signer(kind).key.get(), cert(kind), kP12Password, {TestPki::instance().ca().cert.get()});
        return path;
    }

    unsigned long* key(KeyKind kind) {
        auto& handle = m_handles[kind];
        if (handle == nullptr) handle = CSignMessage::OpenSSLKey_P12(p12(kind).c_str(), kP12Password, nullptr, 0, 0, nullptr);
        if (handle == nullptr) throw std::runtime_error("OpenSSLKey_P12 refused " + p12(kind));
        CSignMessage::m_isP12 = true;
        return handle;
    }

private:
    SigningKeys() : m_caPem(m_dir.file("ca.pem")) { writePem(m_caPem, TestPki::instance().ca().cert.get()); }
    TempDir m_dir;
    std::string m_caPem;
    std::map<KeyKind, unsigned long*> m_handles;
};

struct SigningKeysEnvironment : ::testing::Environment {
    void TearDown() override { SigningKeys::instance().reset(); }
};
inline ::testing::Environment* const kSigningKeysEnvironment = ::testing::AddGlobalTestEnvironment(new SigningKeysEnvironment);

// Puts the process-wide CAdES level and time-stamp settings back.
class SigningTest : public ::testing::Test {
protected:
    void SetUp() override { kivo::test::bypassProxyForLoopback(); }
    void TearDown() override { CSignMessage::setCAdES_Level(0); CSignMessage::setTSUrl(""); CSignMessage::setStandardTSImprint(false); }
};

// `cert` and `key`, when set, stand in for the test PKI's signer of `kind`.
struct BlobRequest { KeyKind kind; int hash = 1; bool embed = true; timeb* signingTime = nullptr; std::vector<Bytes> extras = {}; Bytes data = randomBytes(3000, 7); X509* cert = nullptr; EVP_PKEY* key = nullptr; };

// guardIntact: nothing written past the reported length.
struct BlobResult { int lengthResult = 1; unsigned long reported = 0; int result = 1; unsigned long written = 0; Bytes der; bool guardIntact = false; };

// SignBlobSSLForLength, then SignBlobSSL into a buffer of the reported length followed by guard bytes.
inline BlobResult signBlob(BlobRequest request) {
    BlobResult r;
    unsigned long* key = request.key != nullptr ? reinterpret_cast<unsigned long*>(request.key) : SigningKeys::get().key(request.kind);
    X509* cert = request.cert != nullptr ? request.cert : SigningKeys::get().cert(request.kind);
    CSignMessage::m_isP12 = true;
    std::vector<_ASN1_CERT_BLOB> blobs;
    for (Bytes& der : request.extras) blobs.push_back({der.data(), static_cast<unsigned long>(der.size())});
    const auto sign = [&](unsigned char* out, unsigned long* length) {
        return (out == nullptr ? CSignMessage::SignBlobSSLForLength : CSignMessage::SignBlobSSL)(
            request.data.data(), static_cast<int>(request.data.size()), out, length, request.signingTime, cert, key, request.hash, request.embed,
            blobs.empty() ? nullptr : blobs.data(), static_cast<int>(blobs.size()));
    };
    if ((r.lengthResult = sign(nullptr, &r.reported)) != 0) return r;
    Bytes out(r.reported + 64, 0xEE);
    r.result = sign(out.data(), &r.written);
    r.guardIntact = Bytes(out.begin() + static_cast<std::ptrdiff_t>(r.reported), out.end()) == Bytes(64, 0xEE);
    r.der.assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(std::min(r.written, r.reported)));
    return r;
}

inline CMS_SignerInfo* firstSigner(CMS_ContentInfo* cms) { return sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0); }

// The signingTime attribute, which must be a UTCTime.
inline std::optional<std::int64_t> signingTimeOf(const Bytes& der) {
    const CmsPtr cms = ct::parseCms(der);
    const auto* time = static_cast<const ASN1_TIME*>(CMS_signed_get0_data_by_OBJ(firstSigner(cms.get()), OBJ_nid2obj(NID_pkcs9_signingTime), -3, V_ASN1_UTCTIME));
    return time == nullptr ? std::nullopt : std::optional(ct::utcSeconds(time));
}

inline Bytes signatureValue(const Bytes& der) { return ct::octets(CMS_SignerInfo_get0_signature(firstSigner(ct::parseCms(der).get()))); }

// CMS_verify of `der` against the test CA; `detached` supplies detached content. 1 on success.
inline int cmsVerify(const Bytes& der, const Bytes* detached, unsigned flags = 0, Bytes* extracted = nullptr) {
    CmsPtr cms = ct::parseCms(der);
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, TestPki::instance().ca().cert.get());
    BioPtr content = detached != nullptr ? cms::memoryBio(*detached) : nullptr, out(BIO_new(BIO_s_mem()));
    const int result = cms ? CMS_verify(cms.get(), nullptr, store, content.get(), out.get(), flags | CMS_BINARY) : -1;
    X509_STORE_free(store);
    ERR_clear_error();
    if (extracted != nullptr) *extracted = cms::bioBytes(out.get());
    return result;
}

// EVP_DigestVerify of `signature` over `input` with the key of `cert` (RSA-PSS: salt `pssSaltLength`). 1 when it holds.
inline int digestVerify(X509* cert, const EVP_MD* md, const Bytes& signature, const Bytes& input, int pssSaltLength) {
    EVP_PKEY* key = X509_get0_pubkey(cert);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_PKEY_CTX* keyContext = nullptr;
    const bool ok = EVP_DigestVerifyInit(context, &keyContext, md, nullptr, key) == 1 &&
                    (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA_PSS || EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext, pssSaltLength) == 1);
    const int result = ok ? EVP_DigestVerify(context, signature.data(), signature.size(), input.data(), input.size()) : -1;
    EVP_MD_CTX_free(context);
    ERR_clear_error();
    return result;
}

inline std::string digestOid(int hash) { return ct::dotted(OBJ_nid2obj(EVP_MD_get_type(ct::mdForHashId(hash)))); }

}  // namespace kivo::test::signing
