#include "src/container/Pkcs7Verify.h"
#include "src/frame/OpenSSLHandles.h"

#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace kivo::pkcs7 {
namespace {

using Bytes = std::vector<unsigned char>;

// CMS_verify flags: no signer certificate verification, binary content.
constexpr unsigned kCmsVerifyFlags = CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY;
constexpr std::size_t kMaxErrorText = 500;
// The error a missing messageDigest attribute leaves: CMS library,
// CMS_SignerInfo_verify_content (function 154 of OpenSSL 1.1), reason
// "error reading messageDigest attribute", at the line the library has
// always reported for it.
constexpr int kMissingDigestReason = CMS_R_ERROR_READING_MESSAGEDIGEST_ATTRIBUTE;
constexpr int kMissingDigestLine = 2519;


std::string dottedText(const ASN1_OBJECT* object) {
    char text[128] = {};
    if (object == nullptr || OBJ_obj2txt(text, sizeof text, object, 1) <= 0) return {};
    return text;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Digest of `data` with `md`; empty on failure.
Bytes digestOf(const EVP_MD* md, std::span<const unsigned char> data) {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, md, nullptr) != 1) return {};
    digest.resize(length);
    return digest;
}

// The signed attributes as the signature covers them: each attribute in
// the order received, inside an explicit SET OF (RFC 5652, 5.4).
Bytes signedAttributesAsSet(CMS_SignerInfo* si) {
    Bytes content;
    const int count = CMS_signed_get_attr_count(si);
    for (int i = 0; i < count; ++i) {
        unsigned char* der = nullptr;
        const int length = i2d_X509_ATTRIBUTE(CMS_signed_get_attr(si, i), &der);
        if (length <= 0 || der == nullptr) {
            OPENSSL_free(der);
            return {};
        }
        content.insert(content.end(), der, der + length);
        OPENSSL_free(der);
    }
    Bytes set{0x31};
    const std::size_t n = content.size();
    if (n < 0x80) {
        set.push_back(static_cast<unsigned char>(n));
    } else {
        Bytes lengthOctets;
        for (std::size_t v = n; v != 0; v >>= 8) lengthOctets.insert(lengthOctets.begin(), static_cast<unsigned char>(v));
        set.push_back(static_cast<unsigned char>(0x80 | lengthOctets.size()));
        set.insert(set.end(), lengthOctets.begin(), lengthOctets.end());
    }
    set.insert(set.end(), content.begin(), content.end());
    return set;
}

// The ECDSA-Sig-Value of an r‖s value of two equal halves; empty when it
// cannot be built.
Bytes ecdsaDerFromRaw(std::span<const unsigned char> raw) {
    if (raw.empty() || raw.size() % 2 != 0) return {};
    const std::size_t half = raw.size() / 2;
    BignumPtr r(BN_bin2bn(raw.data(), static_cast<int>(half), nullptr));
    BignumPtr s(BN_bin2bn(raw.data() + half, static_cast<int>(half), nullptr));
    EcdsaSigPtr sig(ECDSA_SIG_new());
    if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return {};
    r.release();  // owned by sig from here on
    s.release();
    unsigned char* der = nullptr;
    const int length = i2d_ECDSA_SIG(sig.get(), &der);
    if (length <= 0 || der == nullptr) {
        OPENSSL_free(der);
        return {};
    }
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

bool verifyDigest(EVP_PKEY* key, std::span<const unsigned char> signature,
                  std::span<const unsigned char> digest) {
    if (signature.empty()) return false;
    KeyContextPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
}

void recordMissingDigestError() {
    ERR_new();
    ERR_set_debug(__FILE__, kMissingDigestLine, "CMS_SignerInfo_verify_content");
    ERR_set_error(ERR_LIB_CMS, kMissingDigestReason, nullptr);
}

}  // namespace

SignatureClass classifySignatureOid(std::string_view dotted) {
    if (startsWith(dotted, "1.2.840.10045.4")) return SignatureClass::Ecdsa;
    if (dotted == "0.4.0.127.0.7.1.1.4.1") return SignatureClass::PlainEcdsa;
    if (dotted == "1.2.840.113549.1.1.10") return SignatureClass::RsaPss;
    if (startsWith(dotted, "1.2.840.113549.1.1.1") || startsWith(dotted, "1.3.36.3.3.1")) {
        return SignatureClass::Rsa;
    }
    return SignatureClass::Unknown;
}

bool FirstSigner::hasRsaKey() const {
    EVP_PKEY* key = certificate != nullptr ? X509_get0_pubkey(certificate) : nullptr;
    return key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
}

std::optional<FirstSigner> firstSigner(CMS_ContentInfo* cms) {
    STACK_OF(CMS_SignerInfo)* signers = cms != nullptr ? CMS_get0_SignerInfos(cms) : nullptr;
    if (signers == nullptr || sk_CMS_SignerInfo_num(signers) <= 0) return std::nullopt;
    FirstSigner first;
    first.info = sk_CMS_SignerInfo_value(signers, 0);

    // Let OpenSSL pair signers with the message's certificates; a signer
    // without a match keeps none.
    ERR_set_mark();
    CMS_set1_signers_certs(cms, nullptr, 0);
    ERR_pop_to_mark();

    X509_ALGOR* signatureAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(first.info, nullptr, &first.certificate, nullptr, &signatureAlgorithm);
    if (first.certificate == nullptr) {
        first.certificates.reset(CMS_get1_certs(cms));
        if (first.certificates && sk_X509_num(first.certificates.get()) > 0) {
            first.certificate = sk_X509_value(first.certificates.get(), 0);
        }
    }
    if (first.certificate == nullptr) return std::nullopt;

    const ASN1_OBJECT* oid = nullptr;
    if (signatureAlgorithm != nullptr) X509_ALGOR_get0(&oid, nullptr, nullptr, signatureAlgorithm);
    first.signatureClass = classifySignatureOid(dottedText(oid));
    return first;
}

bool cmsVerify(CMS_ContentInfo* cms, std::span<const unsigned char> content, std::string* errorText) {
    BioPtr detached;
    if (!content.empty()) {
        detached = memoryStream(content.data(), content.size());
        if (!detached) return false;
    }
    ERR_clear_error();
    if (CMS_verify(cms, nullptr, nullptr, detached.get(), nullptr, kCmsVerifyFlags) == 1) return true;
    if (errorText != nullptr) {
        char text[kMaxErrorText + 1] = {};
        ERR_error_string_n(ERR_get_error(), text, sizeof text);
        *errorText = text;
    }
    ERR_clear_error();
    return false;
}

bool verifyPlainEcdsa(const FirstSigner& signer, std::span<const unsigned char> content) {
    if (content.empty() || signer.info == nullptr || signer.certificate == nullptr) return false;
    EVP_PKEY* key = X509_get0_pubkey(signer.certificate);
    if (key == nullptr) return false;

    X509_ALGOR* digestAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(signer.info, nullptr, nullptr, &digestAlgorithm, nullptr);
    const ASN1_OBJECT* digestOid = nullptr;
    if (digestAlgorithm != nullptr) X509_ALGOR_get0(&digestOid, nullptr, nullptr, digestAlgorithm);
    const char* shortName = digestOid != nullptr ? OBJ_nid2sn(OBJ_obj2nid(digestOid)) : nullptr;
    const EVP_MD* md = shortName != nullptr ? EVP_get_digestbyname(shortName) : nullptr;
    if (md == nullptr) return false;

    const Bytes contentDigest = digestOf(md, content);
    if (contentDigest.empty()) return false;

    // Without signed attributes there is nothing this check covers.
    if (CMS_signed_get_attr_count(signer.info) <= 0) return false;
    const auto* messageDigest = static_cast<const ASN1_OCTET_STRING*>(CMS_signed_get0_data_by_OBJ(
        signer.info, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
    if (messageDigest == nullptr) {
        recordMissingDigestError();
        return false;
    }
    if (static_cast<std::size_t>(ASN1_STRING_length(messageDigest)) != contentDigest.size() ||
        std::memcmp(ASN1_STRING_get0_data(messageDigest), contentDigest.data(), contentDigest.size()) != 0) {
        return false;
    }

    const Bytes attributes = signedAttributesAsSet(signer.info);
    const Bytes attributeDigest = attributes.empty() ? Bytes{} : digestOf(md, attributes);
    if (attributeDigest.empty()) return false;

    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(signer.info);
    if (value == nullptr) return false;
    const std::span<const unsigned char> signature(ASN1_STRING_get0_data(value),
                                                   static_cast<std::size_t>(ASN1_STRING_length(value)));
    // A value no longer than two halves of the smaller of key and digest
    // size (plus slack for a padding octet) is r‖s; a longer one is DER.
    const std::size_t keyOctets = static_cast<std::size_t>(std::max(EVP_PKEY_get_bits(key), 0) + 7) / 8;
    const std::size_t rawLimit = 2 * std::min(keyOctets, contentDigest.size()) + 2;
    const Bytes der = signature.size() <= rawLimit ? ecdsaDerFromRaw(signature)
                                                   : Bytes(signature.begin(), signature.end());

    ERR_set_mark();
    const bool valid = verifyDigest(key, der, attributeDigest) || verifyDigest(key, signature, attributeDigest);
    ERR_pop_to_mark();
    return valid;
}

std::span<const unsigned char> attachedContent(CMS_ContentInfo* cms) {
    ASN1_OCTET_STRING** content = cms != nullptr ? CMS_get0_content(cms) : nullptr;
    if (content == nullptr || *content == nullptr) return {};
    return {ASN1_STRING_get0_data(*content), static_cast<std::size_t>(ASN1_STRING_length(*content))};
}

}  // namespace kivo::pkcs7
