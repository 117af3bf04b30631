#include "tools/kivocrypto/SignatureCheck.h"

#include "tools/kivocrypto/OpenSslText.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>

#include <memory>

namespace kivocrypto {
namespace {

struct CmsFree {
    void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};
struct Pkcs7Free {
    void operator()(PKCS7* token) const { PKCS7_free(token); }
};
struct TstInfoFree {
    void operator()(TS_TST_INFO* info) const { TS_TST_INFO_free(info); }
};
struct VerifyCtxFree {
    void operator()(TS_VERIFY_CTX* context) const { TS_VERIFY_CTX_free(context); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsFree>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Pkcs7Free>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, TstInfoFree>;
using VerifyCtxPtr = std::unique_ptr<TS_VERIFY_CTX, VerifyCtxFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

CmsPtr parseContainer(const std::vector<unsigned char>& der) {
    const unsigned char* cursor = der.data();
    return CmsPtr(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
}

// A store that trusts `anchor` alone; the caller owns it.
// A store that trusts the anchor, also when it is not self-signed (a
// card certificate issued by a CA the card does not hold).
X509_STORE* storeWith(X509* anchor) {
    X509_STORE* store = X509_STORE_new();
    if (store != nullptr && (X509_STORE_add_cert(store, anchor) != 1 ||
                             X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN) != 1)) {
        X509_STORE_free(store);
        return nullptr;
    }
    return store;
}

// The token carried as unsigned attribute id-aa-timeStampToken.
Pkcs7Ptr timeStampTokenOf(CMS_SignerInfo* signer) {
    const int index = CMS_unsigned_get_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, -1);
    X509_ATTRIBUTE* attribute = index >= 0 ? CMS_unsigned_get_attr(signer, index) : nullptr;
    ASN1_TYPE* value = attribute != nullptr ? X509_ATTRIBUTE_get0_type(attribute, 0) : nullptr;
    if (value == nullptr || value->type != V_ASN1_SEQUENCE) return nullptr;
    const unsigned char* cursor = value->value.sequence->data;
    return Pkcs7Ptr(d2i_PKCS7(nullptr, &cursor, value->value.sequence->length));
}

using Bytes = std::vector<unsigned char>;

Bytes digestOf(const EVP_MD* md, const unsigned char* data, std::size_t length) {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_Digest(data, length, digest.data(), &size, md, nullptr) != 1) return {};
    digest.resize(size);
    return digest;
}

// An ECDSA signature value as the fixed-width concatenation r||s, each as
// wide as the signer key's order; empty for other signatures.
Bytes rawEcdsaForm(const ASN1_OCTET_STRING* signature, CMS_SignerInfo* signer) {
    EVP_PKEY* key = nullptr;
    CMS_SignerInfo_get0_algs(signer, &key, nullptr, nullptr, nullptr);
    const unsigned char* cursor = signature->data;
    ECDSA_SIG* parsed = key != nullptr && EVP_PKEY_is_a(key, "EC")
                            ? d2i_ECDSA_SIG(nullptr, &cursor, signature->length)
                            : nullptr;
    if (parsed == nullptr) return {};
    const int width = (EVP_PKEY_get_bits(key) + 7) / 8;
    Bytes raw(static_cast<std::size_t>(2 * width));
    const bool fits = BN_bn2binpad(ECDSA_SIG_get0_r(parsed), raw.data(), width) == width &&
                      BN_bn2binpad(ECDSA_SIG_get0_s(parsed), raw.data() + width, width) == width;
    ECDSA_SIG_free(parsed);
    return fits ? raw : Bytes();
}

// Compares the token's imprint with the digest of the signer's signature
// value: its octets as stored (what RFC 3161 verifiers check), or for ECDSA
// the fixed-width r||s form, which the library stamps by default. Sets `covered` to what the imprint matched; empty
// when valid, else the reason.
std::string checkImprint(TS_TST_INFO* info, CMS_SignerInfo* signer, std::string* covered) {
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info);
    const EVP_MD* md = EVP_get_digestbyobj(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
    const ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(signer);
    if (md == nullptr || signature == nullptr) return "the imprint algorithm is unknown";
    const ASN1_OCTET_STRING* stamped = TS_MSG_IMPRINT_get_msg(imprint);
    const Bytes actual(stamped->data, stamped->data + stamped->length);
    if (actual == digestOf(md, signature->data, static_cast<std::size_t>(signature->length))) {
        *covered = "the signature value";
        return {};
    }
    const Bytes raw = rawEcdsaForm(signature, signer);
    if (!raw.empty() && actual == digestOf(md, raw.data(), raw.size())) {
        *covered = "the r||s form of the ECDSA signature value";
        return {};
    }
    return "the imprint does not match the signature value";
}

// The token's own signature, trusting only `tsaCa`, then its imprint.
std::string verifyToken(PKCS7* token, TS_TST_INFO* info, CMS_SignerInfo* signer, X509* tsaCa,
                        std::string* covered) {
    VerifyCtxPtr context(TS_VERIFY_CTX_new());
    X509_STORE* store = context ? storeWith(tsaCa) : nullptr;
    if (store == nullptr) return "out of memory";
    TS_VERIFY_CTX_set_store(context.get(), store);  // the context frees the store
    TS_VERIFY_CTX_set_flags(context.get(), TS_VFY_SIGNATURE | TS_VFY_VERSION);
    if (TS_RESP_verify_token(context.get(), token) != 1) return takeOpenSslReason();
    return checkImprint(info, signer, covered);
}

}  // namespace

std::string checkDetachedSignature(const std::vector<unsigned char>& der,
                                   const std::vector<unsigned char>& content, X509* ca) {
    CmsPtr cms = parseContainer(der);
    if (!cms) return "not a CMS container";
    BioPtr data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    X509_STORE* store = storeWith(ca);
    const bool valid = data && store != nullptr &&
                       CMS_verify(cms.get(), nullptr, store, data.get(), nullptr, CMS_BINARY) == 1;
    X509_STORE_free(store);
    return valid ? std::string() : takeOpenSslReason();
}

TimeStampCheck checkTimeStamp(const std::vector<unsigned char>& der, X509* tsaCa) {
    TimeStampCheck check;
    CmsPtr cms = parseContainer(der);
    // Binds each signer to its certificate in the container, for its key.
    if (cms) CMS_set1_signers_certs(cms.get(), nullptr, 0);
    STACK_OF(CMS_SignerInfo)* signers = cms ? CMS_get0_SignerInfos(cms.get()) : nullptr;
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_num(signers) > 0 ? sk_CMS_SignerInfo_value(signers, 0)
                                                                 : nullptr;
    Pkcs7Ptr token = signer != nullptr ? timeStampTokenOf(signer) : nullptr;
    TstInfoPtr info(token ? PKCS7_to_TS_TST_INFO(token.get()) : nullptr);
    if (!info) {
        check.error = "no time-stamp token at the first signer";
        return check;
    }
    check.time = formatAsn1Time(TS_TST_INFO_get_time(info.get()));
    check.error = verifyToken(token.get(), info.get(), signer, tsaCa, &check.imprintCovers);
    return check;
}

}  // namespace kivocrypto
