// Helpers for the CVerifyMsg tests: small PKIs with chosen validity
// periods, CMS signatures made by OpenSSL, CRLs, hashed certificate
// directories, and the call of CheckSignDetached with named arguments. The
// temporary folders come from TestSupport.h.
#pragma once

#include "VerifyMsg.h"
#include "tests/support/TestSupport.h"
#include "tools/testpki/Pki.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/timeb.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivo::test::verify {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

inline constexpr std::time_t kDay = 24 * 3600;

// ---- files -------------------------------------------------------------------------

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline void writeText(const std::string& path, const std::string& text) {
    writeFile(path, Bytes(text.begin(), text.end()));
}

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

inline Bytes bioBytes(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return Bytes(data, data + (length > 0 ? length : 0));
}

// PEM of certificates, appended to `path` (created when missing).
inline void appendPem(const std::string& path, const std::vector<X509*>& certificates) {
    BioPtr bio(BIO_new_file(path.c_str(), "a"));
    if (!bio) throw std::runtime_error("cannot open " + path);
    for (X509* certificate : certificates) {
        if (PEM_write_bio_X509(bio.get(), certificate) != 1) throw std::runtime_error("cannot write " + path);
    }
}

inline void writePemKey(const std::string& path, EVP_PKEY* key) {
    BioPtr bio(BIO_new_file(path.c_str(), "w"));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        throw std::runtime_error("cannot write " + path);
    }
}

// A hashed certificate directory as OpenSSL's directory lookup reads it:
// each certificate as "<subject hash>.0".
inline void writeHashedDirectory(const std::string& folder, const std::vector<X509*>& certificates) {
    for (X509* certificate : certificates) {
        char name[32];
        std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(certificate));
        const std::string path = folder + "/" + name;
        std::error_code ignored;
        fs::remove(path, ignored);
        appendPem(path, {certificate});
    }
}

// Whether the openssl program can be run (the OCSP responder and the
// command-line comparisons need it).
inline bool haveOpensslProgram() {
    static const bool present = runCommand("openssl version >/dev/null 2>&1").status == 0;
    return present;
}

// ---- PKI -----------------------------------------------------------------------------

struct Party {
    EvpKeyPtr key;
    X509Ptr cert;
    Bytes der;
};

// A new P-256 key, quick to make, so that every CA of a test has its own.
inline EvpKeyPtr freshEcKey() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (key == nullptr) throw std::runtime_error("cannot generate an EC key");
    return EvpKeyPtr(key);
}

// Builds one certificate with its key: `Certify("/CN=Leaf").issuer(ca).make()`.
class Certify {
public:
    explicit Certify(std::string subject) : m_subject(std::move(subject)) {}
    Certify& issuer(const Party& issuer) { m_issuer = &issuer; return *this; }
    Certify& serial(long serial) { m_serial = serial; return *this; }
    // Both ends as seconds since 1970; 0 keeps OpenSSL test PKI defaults
    // (now minus one hour, then 365 days).
    Certify& validity(std::time_t notBefore, std::time_t notAfter) {
        m_notBefore = notBefore;
        m_notAfter = notAfter;
        return *this;
    }
    Certify& ca() { m_isCa = true; return *this; }
    Certify& extension(std::string name, std::string value) {
        m_extensions.emplace_back(std::move(name), std::move(value));
        return *this;
    }
    // The test PKI's key of this kind instead of a fresh P-256 key.
    Certify& key(KeyKind kind) { m_keyKind = kind; return *this; }

    Party make() const {
        Party party;
        party.key = m_keyKind ? generateKey(*m_keyKind) : freshEcKey();
        CertOptions options;
        options.subject = m_subject;
        options.subjectKey = party.key.get();
        options.issuerCert = m_issuer != nullptr ? m_issuer->cert.get() : nullptr;
        options.issuerKey = m_issuer != nullptr ? m_issuer->key.get() : nullptr;
        options.serial = m_serial;
        options.notBefore = m_notBefore;
        options.notAfter = m_notAfter;
        options.isCa = m_isCa;
        options.extensions = m_extensions;
        party.cert = makeCertificate(options);
        party.der = derOf(party.cert.get());
        return party;
    }

private:
    std::string m_subject;
    const Party* m_issuer = nullptr;
    long m_serial = 1;
    std::time_t m_notBefore = 0;
    std::time_t m_notAfter = 0;
    bool m_isCa = false;
    std::vector<std::pair<std::string, std::string>> m_extensions;
    std::optional<KeyKind> m_keyKind;
};

// ---- CMS signatures made by OpenSSL --------------------------------------------------

struct CmsDeleter {
    void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsDeleter>;
struct X509StackDeleter {
    void operator()(STACK_OF(X509)* certificates) const { sk_X509_free(certificates); }
};

// How cmsSign signs: detached by default, with OpenSSL's signed attributes
// (the signing time being the current time as UTCTime).
struct CmsOptions {
    enum class TimeKind { Default, UtcTime, GeneralizedTime };

    CmsOptions& attached() { m_detached = false; return *this; }
    // No signed attributes at all (CMS_NOATTR).
    CmsOptions& noAttributes() { m_noAttributes = true; return *this; }
    CmsOptions& signingTime(TimeKind kind, std::time_t at) {
        m_timeKind = kind;
        m_signingTime = at;
        return *this;
    }
    // Carried in the container besides the signer certificate.
    CmsOptions& carry(X509* certificate) { m_extraCertificates.push_back(certificate); return *this; }
    // RSASSA-PSS with its parameters (RSA keys).
    CmsOptions& pss() { m_rsaPssPadding = true; return *this; }

    bool m_detached = true;
    bool m_noAttributes = false;
    TimeKind m_timeKind = TimeKind::Default;
    std::time_t m_signingTime = 0;
    std::vector<X509*> m_extraCertificates;
    bool m_rsaPssPadding = false;
};

// CMS SignedData of `content` by `signer` (SHA-256), DER.
inline Bytes cmsSign(const Party& signer, const Bytes& content, const CmsOptions& options = {}) {
    unsigned int flags = CMS_BINARY | CMS_PARTIAL;
    if (options.m_detached) flags |= CMS_DETACHED;
    if (options.m_noAttributes) flags |= CMS_NOATTR;
    std::unique_ptr<STACK_OF(X509), X509StackDeleter> extras(sk_X509_new_null());
    for (X509* certificate : options.m_extraCertificates) sk_X509_push(extras.get(), certificate);

    CmsPtr cms(CMS_sign(nullptr, nullptr, extras.get(), nullptr, flags));
    if (!cms) throw std::runtime_error("CMS_sign failed");
    const unsigned int signerFlags = flags | (options.m_rsaPssPadding ? CMS_KEY_PARAM : 0);
    CMS_SignerInfo* info = CMS_add1_signer(cms.get(), signer.cert.get(), signer.key.get(), EVP_sha256(), signerFlags);
    if (info == nullptr) throw std::runtime_error("CMS_add1_signer failed");
    if (options.m_rsaPssPadding) {
        EVP_PKEY_CTX* context = CMS_SignerInfo_get0_pkey_ctx(info);
        if (context == nullptr || EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PSS_PADDING) <= 0) {
            throw std::runtime_error("cannot select RSASSA-PSS");
        }
    }
    if (options.m_timeKind != CmsOptions::TimeKind::Default) {
        const bool utc = options.m_timeKind == CmsOptions::TimeKind::UtcTime;
        ASN1_TIME* time = utc ? ASN1_UTCTIME_set(nullptr, options.m_signingTime)
                              : ASN1_GENERALIZEDTIME_set(nullptr, options.m_signingTime);
        const int type = utc ? V_ASN1_UTCTIME : V_ASN1_GENERALIZEDTIME;
        const int added = time != nullptr ? CMS_signed_add1_attr_by_NID(info, NID_pkcs9_signingTime, type, time, -1)
                                          : 0;
        ASN1_TIME_free(time);
        if (added != 1) throw std::runtime_error("cannot add the signing time");
    }
    BioPtr data(BIO_new_mem_buf(content.empty() ? "" : reinterpret_cast<const char*>(content.data()),
                                static_cast<int>(content.size())));
    if (CMS_final(cms.get(), data.get(), nullptr, flags) != 1) throw std::runtime_error("CMS_final failed");
    BioPtr out(BIO_new(BIO_s_mem()));
    if (i2d_CMS_bio(out.get(), cms.get()) != 1) throw std::runtime_error("i2d_CMS_bio failed");
    return bioBytes(out.get());
}

// OpenSSL's CMS verification of every signer without certificate checks,
// over the detached `content` (none: the attached content).
inline bool cmsVerifies(const Bytes& der, const Bytes* content) {
    BioPtr in(BIO_new_mem_buf(der.data(), static_cast<int>(der.size())));
    CmsPtr cms(d2i_CMS_bio(in.get(), nullptr));
    bool ok = false;
    if (cms) {
        BioPtr data;
        if (content != nullptr) {
            data.reset(BIO_new_mem_buf(content->empty() ? "" : reinterpret_cast<const char*>(content->data()),
                                       static_cast<int>(content->size())));
        }
        ok = CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr, CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) == 1;
    }
    ERR_clear_error();
    return ok;
}

// ---- CRLs ------------------------------------------------------------------------------

struct Revocation {
    long serial = 0;
    std::time_t at = 0;
};

struct CrlDeleter {
    void operator()(X509_CRL* crl) const { X509_CRL_free(crl); }
};
using CrlPtr = std::unique_ptr<X509_CRL, CrlDeleter>;

// A CRL of `issuer` listing `revocations`, valid from a day ago for 30 days.
inline CrlPtr makeCrl(const Party& issuer, const std::vector<Revocation>& revocations) {
    CrlPtr crl(X509_CRL_new());
    const std::time_t now = std::time(nullptr);
    ASN1_TIME* lastUpdate = ASN1_TIME_set(nullptr, now - kDay);
    ASN1_TIME* nextUpdate = ASN1_TIME_set(nullptr, now + 30 * kDay);
    bool ok = crl && X509_CRL_set_version(crl.get(), 1) == 1 &&
              X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.cert.get())) == 1 &&
              X509_CRL_set1_lastUpdate(crl.get(), lastUpdate) == 1 &&
              X509_CRL_set1_nextUpdate(crl.get(), nextUpdate) == 1;
    ASN1_TIME_free(lastUpdate);
    ASN1_TIME_free(nextUpdate);
    for (const Revocation& revocation : revocations) {
        X509_REVOKED* entry = X509_REVOKED_new();
        ASN1_INTEGER* serial = ASN1_INTEGER_new();
        ASN1_TIME* date = ASN1_TIME_set(nullptr, revocation.at);
        ok = ok && entry != nullptr && serial != nullptr && date != nullptr &&
             ASN1_INTEGER_set(serial, revocation.serial) == 1 &&
             X509_REVOKED_set_serialNumber(entry, serial) == 1 &&
             X509_REVOKED_set_revocationDate(entry, date) == 1 && X509_CRL_add0_revoked(crl.get(), entry) == 1;
        if (!ok) X509_REVOKED_free(entry);
        ASN1_INTEGER_free(serial);
        ASN1_TIME_free(date);
    }
    ok = ok && X509_CRL_sort(crl.get()) == 1 && X509_CRL_sign(crl.get(), issuer.key.get(), EVP_sha256()) > 0;
    if (!ok) throw std::runtime_error("cannot make the CRL");
    return crl;
}

inline void writeCrlDer(const std::string& path, X509_CRL* crl) {
    unsigned char* der = nullptr;
    const int length = i2d_X509_CRL(crl, &der);
    if (length <= 0) throw std::runtime_error("i2d_X509_CRL failed");
    const Bytes bytes(der, der + length);
    OPENSSL_free(der);
    writeFile(path, bytes);
}

inline void appendCrlPem(const std::string& path, X509_CRL* crl) {
    BioPtr bio(BIO_new_file(path.c_str(), "a"));
    if (!bio || PEM_write_bio_X509_CRL(bio.get(), crl) != 1) throw std::runtime_error("cannot write " + path);
}

// ---- calling CVerifyMsg ------------------------------------------------------------------

// One CheckSignDetached call, its arguments named:
// `Verification(signature).content(data).checks(0x01).run()`.
class Verification {
public:
    Verification() = default;  // a null signature
    explicit Verification(const Bytes& signature) : m_signature(&signature) {}

    Verification& content(const Bytes& data) { m_data = &data; return *this; }
    Verification& attached() { m_attached = true; return *this; }
    Verification& checks(unsigned int checks) { m_checks = checks; return *this; }
    Verification& crlMode(unsigned int mode) { m_crlMode = mode; return *this; }
    Verification& crlSource(std::string source) { m_crlSource = std::move(source); return *this; }
    Verification& at(std::time_t verifyTime) { m_verifyTime = verifyTime; return *this; }
    Verification& model(int validityModel) { m_validityModel = validityModel; return *this; }
    Verification& caFile(std::string file) { m_caFile = std::move(file); return *this; }
    Verification& caPath(std::string path) { m_caPath = std::move(path); return *this; }
    // The revocation check alone against the CRL directory `directory`.
    Verification& crlDirectory(std::string directory) {
        return checks(0x10).crlMode(0x04).crlSource(std::move(directory));
    }

    unsigned int run() const {
        Bytes signature = m_signature != nullptr ? *m_signature : Bytes{};
        // A byte more than the content, so that empty content still comes
        // with a pointer; a null pointer is passed only for "no content".
        Bytes data = m_data != nullptr ? *m_data : Bytes{};
        data.push_back(0);
        std::string crlSource = m_crlSource.value_or("");
        timeb when{};
        if (m_verifyTime) when.time = *m_verifyTime;
        char errorText[64] = "untouched";
        CVerifyMsg verifier;
        const int result = verifier.CheckSignDetached(
            m_signature != nullptr ? signature.data() : nullptr, static_cast<unsigned int>(signature.size()),
            m_attached ? 1 : 0, m_data != nullptr ? data.data() : nullptr, static_cast<unsigned int>(data.size() - 1),
            m_checks, m_crlMode, m_crlSource ? crlSource.data() : nullptr, errorText,
            m_verifyTime ? &when : nullptr, 0, m_validityModel, m_caFile ? m_caFile->c_str() : nullptr,
            m_caPath ? m_caPath->c_str() : nullptr);
        EXPECT_STREQ(errorText, "untouched") << "the error text buffer is never written";
        return static_cast<unsigned int>(result);
    }

private:
    const Bytes* m_signature = nullptr;
    const Bytes* m_data = nullptr;
    bool m_attached = false;
    unsigned int m_checks = 0;
    unsigned int m_crlMode = 0;
    std::optional<std::string> m_crlSource;
    std::optional<std::time_t> m_verifyTime;
    int m_validityModel = 0;
    std::optional<std::string> m_caFile;
    std::optional<std::string> m_caPath;
};

// Turns the process-wide strict verification policy on or off for a scope.
class ScopedStrictPolicy {
public:
    explicit ScopedStrictPolicy(bool strict) : m_before(CVerifyMsg::GetStrictPolicy()) {
        CVerifyMsg::SetStrictPolicy(strict);
    }
    ~ScopedStrictPolicy() { CVerifyMsg::SetStrictPolicy(m_before); }
    ScopedStrictPolicy(const ScopedStrictPolicy&) = delete;
    ScopedStrictPolicy& operator=(const ScopedStrictPolicy&) = delete;

private:
    bool m_before;
};

// Result codes, as the tests name them.
inline constexpr unsigned int kValid = 0;
inline constexpr unsigned int kBadSignature = 0x80000001;
inline constexpr unsigned int kRevoked = 0x80000004;
inline constexpr unsigned int kOcspCommunication = 0x80000200;
inline constexpr unsigned int kSignerNotValid = 0x80004000;
inline constexpr unsigned int kChainNotValid = 0x80008000;
inline constexpr unsigned int kNoTrustedChain = 0x80010000;
inline constexpr unsigned int kOcspNoUrl = 0x80080000;

// Every verification test runs with TZ=UTC, so that the library's reading
// of certificate times (UTC fields as local time) is exact.
class VerifyTest : public ::testing::Test {
protected:
    // A CA with serial 1, valid from 400 days ago to 4000 days ahead.
    Party longLivedCa(const std::string& subject) const {
        return Certify(subject).serial(1).ca().validity(m_now - 400 * kDay, m_now + 4000 * kDay).make();
    }
    // An end-entity certificate by `issuer`, valid from 60 days ago to 300
    // days ahead; extensions may still be added before make().
    Certify signerBy(const Party& issuer, const std::string& subject, long serial) const {
        Certify request(subject);
        request.issuer(issuer).serial(serial).validity(m_now - 60 * kDay, m_now + 300 * kDay);
        return request;
    }
    // The PEM file `name` in the test's folder with `certificates`; its path.
    std::string pemFile(const std::string& name, const std::vector<X509*>& certificates) const {
        const std::string path = m_dir.file(name);
        appendPem(path, certificates);
        return path;
    }

    ScopedTimeZone m_utc{"UTC"};
    TempDir m_dir;
    const std::time_t m_now = std::time(nullptr);
};

}  // namespace kivo::test::verify
