// CPKCS7SSL: read access to a signature container.
//
// Most members follow one pattern (Pkcs7Reader.h): parse the message with
// OpenSSL's PKCS#7 decoder, check that it is signedData, pick a signer or a
// certificate by index, then copy or count. The signature blob members use
// the library's own DER classes; AddTimeStamp and GetRSAKeySize work on the
// builder's fixed layout (Pkcs7Layout.h); Verify and VerifyCMS are in
// Pkcs7Verify.h. No exception leaves a member: each turns one into its
// failure value.

#include "PKCS7SSL.h"

#include "CertInfoSSL.h"
#include "asn1/CmsPkcs7.h"
#include "src/frame/Guarded.h"
#include "src/frame/Asn1Time.h"
#include "src/frame/Logging.h"
#include "src/container/Pkcs1DigestInfo.h"
#include "src/container/Pkcs7Reader.h"
#include "src/container/Pkcs7Layout.h"
#include "src/container/Pkcs7Time.h"
#include "src/container/Pkcs7Verify.h"

#include <openssl/err.h>
#include <openssl/rsa.h>

#include <climits>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

using namespace kivo::pkcs7;

namespace {

constexpr int kOk = 0;
constexpr int kInvalid = -22;
constexpr int kNotFound = -1;
constexpr int kNoSignature = -94;

// PKCS7_verify flags of Verify: no chain, no signer certificate verification.
constexpr int kPkcs7VerifyFlags = PKCS7_NOCHAIN | PKCS7_NOVERIFY;

constexpr const char* kTstInfoOid = "1.2.840.113549.1.9.16.1.4";
constexpr const char* kAttributeCertificateOid = "2.5.4.58";

// Result buffers, one set per thread (see the class comment).
constexpr std::size_t kHashBufferSize = 256;
constexpr std::size_t kOidTextSize = 64;
constexpr std::size_t kPkcs1BlockSize = 4096;
thread_local unsigned char t_hash[kHashBufferSize];
thread_local unsigned char t_timestampHash[kHashBufferSize];
thread_local char t_hashAlgo[kOidTextSize];
thread_local char t_pkcs1Algo[kOidTextSize];
thread_local unsigned char t_pkcs1Block[kPkcs1BlockSize];
thread_local unsigned char t_pkcs1Hash[kHashBufferSize];
thread_local unsigned char t_signatureHash[1];

using kivo::guarded;

// A parsed signedData message.
struct SignedMessage {
    Pkcs7Ptr p7;
    PKCS7_SIGNED* signedData = nullptr;
};

std::optional<SignedMessage> openSigned(const unsigned char* der, unsigned long len) {
    const auto bytes = messageBytes(der, len);
    SignedMessage message{parsePkcs7(bytes.data(), bytes.size()), nullptr};
    message.signedData = signedDataOf(message.p7.get());
    if (message.signedData == nullptr) return std::nullopt;
    return message;
}

std::string dotted(const ASN1_OBJECT* object) {
    char text[128] = {};
    if (object == nullptr || OBJ_obj2txt(text, sizeof text, object, 1) <= 0) return {};
    return text;
}

std::span<const unsigned char> octetsOf(const ASN1_STRING* s) {
    if (s == nullptr || ASN1_STRING_get0_data(s) == nullptr || ASN1_STRING_length(s) <= 0) return {};
    return {ASN1_STRING_get0_data(s), static_cast<std::size_t>(ASN1_STRING_length(s))};
}

// The encapsulated content of a signedData: the OCTET STRING of inner
// content of type data, or an OCTET STRING payload of another type.
const ASN1_OCTET_STRING* encapsulatedContent(PKCS7_SIGNED* signedData) {
    PKCS7* inner = signedData->contents;
    if (inner == nullptr) return nullptr;
    if (OBJ_obj2nid(inner->type) == NID_pkcs7_data) return inner->d.data;
    const ASN1_TYPE* other = inner->d.other;
    if (other != nullptr && other->type == V_ASN1_OCTET_STRING) return other->value.octet_string;
    return nullptr;
}

bool hasSignedAttributes(PKCS7_SIGNER_INFO* signer) {
    return signer->auth_attr != nullptr && sk_X509_ATTRIBUTE_num(signer->auth_attr) > 0;
}

// The raw RSA public operation on `signature` (no padding removal) into
// `block` of `capacity` octets; the block length (the key size), or 0.
std::size_t rsaRawDecrypt(EVP_PKEY* key, std::span<const unsigned char> signature, unsigned char* block,
                          std::size_t capacity) {
    // PKCS#1 v1.5 keys only: an RSASSA-PSS block has no digest at its end.
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return 0;
    const RSA* rsa = EVP_PKEY_get0_RSA(key);
    if (rsa == nullptr || signature.empty()) return 0;
    const int size = RSA_size(rsa);
    if (size <= 0 || static_cast<std::size_t>(size) > capacity || signature.size() > static_cast<std::size_t>(size)) {
        return 0;
    }
    ERR_set_mark();
    const int length = RSA_public_decrypt(static_cast<int>(signature.size()), signature.data(), block,
                                          const_cast<RSA*>(rsa), RSA_NO_PADDING);
    ERR_pop_to_mark();
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

// The first signer's message digest into `buffer` (GetHash and
// GetTimestampHash); its length, or nothing.
std::optional<std::size_t> firstSignerDigest(const unsigned char* der, unsigned long len, unsigned char* buffer) {
    auto message = openSigned(der, len);
    if (!message) return std::nullopt;
    PKCS7_SIGNER_INFO* signer = signerAt(message->signedData, 0);
    if (signer == nullptr) return std::nullopt;

    if (hasSignedAttributes(signer)) {
        const ASN1_TYPE* digest = signedAttribute(signer, NID_pkcs9_messageDigest);
        if (digest == nullptr || digest->type != V_ASN1_OCTET_STRING) return std::nullopt;
        const auto octets = octetsOf(digest->value.octet_string);
        if (octets.empty() || octets.size() > kHashBufferSize) return std::nullopt;
        std::memcpy(buffer, octets.data(), octets.size());
        return octets.size();
    }

    // No signed attributes: a PKCS#1 v1.5 signature is RSA over the
    // content's DigestInfo; its last octets are the digest. Other
    // signature classes carry no digest there.
    const X509_ALGOR* signatureAlgorithm = signer->digest_enc_alg;
    if (signatureAlgorithm == nullptr ||
        classifySignatureOid(dotted(signatureAlgorithm->algorithm)) != SignatureClass::Rsa) {
        return std::nullopt;
    }
    STACK_OF(X509_ALGOR)* algorithms = message->signedData->md_algs;
    if (algorithms == nullptr || sk_X509_ALGOR_num(algorithms) <= 0) return std::nullopt;
    const X509_ALGOR* first = sk_X509_ALGOR_value(algorithms, 0);
    const kivo::pkcs1::HashKind* hash = kivo::pkcs1::hashByDigestOid(dotted(first->algorithm));
    X509* cert = signerCertificate(message->p7.get(), signer);
    if (hash == nullptr || cert == nullptr) return std::nullopt;
    std::vector<unsigned char> block(kPkcs1BlockSize);
    const std::size_t k =
        rsaRawDecrypt(X509_get0_pubkey(cert), octetsOf(signer->enc_digest), block.data(), block.size());
    if (k < hash->length) return std::nullopt;
    std::memcpy(buffer, block.data() + k - hash->length, hash->length);
    return hash->length;
}

// The certificate of signer `index` searched in the certificate list by
// issuer and serial number text. 0 (found, copied to *found), -1 (no
// certificate matches) or -22 (unusable message or signer).
int findSignerCertificateByText(const unsigned char* der, unsigned long len, int index,
                                std::vector<unsigned char>* found) {
    auto message = openSigned(der, len);
    if (!message) return kInvalid;
    // A message that parses but has no such signer, or no certificate of
    // it, is "not found" (-1), as much as a search that finds no match.
    PKCS7_SIGNER_INFO* signer = signerAt(message->signedData, index);
    const Der signerDer = derOf(signerCertificate(message->p7.get(), signer));
    if (signer == nullptr || !signerDer.bytes) return kNotFound;

    const std::string issuer = CCertInfo::S_getIssuerName(signerDer.bytes.get(), signerDer.length);
    const std::string serial = CCertInfo::S_getSerial(signerDer.bytes.get(), signerDer.length);
    if (issuer.empty() || serial.empty()) return kNotFound;

    for (int i = 0;; ++i) {
        X509* candidate = certificateAt(message->signedData, i);
        if (candidate == nullptr) return kNotFound;
        const Der der = derOf(candidate);
        if (!der.bytes) continue;
        if (issuer == CCertInfo::getIssuer(der.bytes.get(), der.length) &&
            serial == CCertInfo::getSerialNum(der.bytes.get(), der.length)) {
            found->assign(der.bytes.get(), der.bytes.get() + der.length);
            return kOk;
        }
    }
}

// The same for the members that get no length: the message's length comes
// from its own header.
int findSignerCertificateByText(const unsigned char* der, int index, std::vector<unsigned char>* found) {
    const auto length = lengthFromHeader(der);
    if (!length || *length > static_cast<std::size_t>(INT_MAX)) return kInvalid;
    return findSignerCertificateByText(der, static_cast<unsigned long>(*length), index, found);
}

// Signer `index`'s signature value as the library's DER classes decode it.
std::optional<std::vector<unsigned char>> signatureValue(const unsigned char* der, int index, bool raw) {
    const auto length = lengthFromHeader(der);
    if (!length || index < 0) return std::nullopt;
    const CAsn1_Pkcs7 message(der, *length);
    if (message.getError() != 0) return std::nullopt;
    const CAsn1_OctetString* value = message.getSignerSignature(static_cast<std::size_t>(index), raw);
    if (value == nullptr || value->getError() != 0) return std::nullopt;
    const auto content = value->content();
    return std::vector<unsigned char>(content.begin(), content.end());
}

}  // namespace

CPKCS7SSL::CPKCS7SSL() { KIVO_LOG_ENTER(m_logger, "CPKCS7SSL"); }
CPKCS7SSL::CPKCS7SSL(const CPKCS7SSL&) { KIVO_LOG_ENTER(m_logger, "CPKCS7SSL"); }
CPKCS7SSL& CPKCS7SSL::operator=(const CPKCS7SSL&) {
    KIVO_LOG_ENTER(m_logger, "operator =");
    return *this;
}
CPKCS7SSL::~CPKCS7SSL() {
    try {
        KIVO_LOG_ENTER(m_logger, "~CPKCS7SSL");
    } catch (...) {
    }
}

// ---- signers and certificates --------------------------------------------------------

int CPKCS7SSL::GetSignerCertNum(unsigned char* der, unsigned long len) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSignerCertNum");
        const auto message = openSigned(der, len);
        if (!message || message->signedData->signer_info == nullptr) return 0;
        return sk_PKCS7_SIGNER_INFO_num(message->signedData->signer_info);
    });
}

int CPKCS7SSL::GetSignerCert(unsigned char* der, unsigned long len, int index, unsigned char** out,
                             unsigned long* outLen) {
    return guarded(kInvalid, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSignerCert");
        auto message = openSigned(der, len);
        if (!message) return kInvalid;
        PKCS7_SIGNER_INFO* signer = signerAt(message->signedData, index);
        if (signer == nullptr) return kInvalid;
        const Der cert = derOf(signerCertificate(message->p7.get(), signer));
        if (!cert.bytes) return kInvalid;
        return copyToCaller({cert.bytes.get(), cert.length}, out, outLen) ? kOk : kInvalid;
    });
}

int CPKCS7SSL::GetSignerCertEx(unsigned char* der, unsigned long len, int index, unsigned char** out,
                               unsigned long* outLen) {
    return guarded(kInvalid, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSignerCertEx");
        std::vector<unsigned char> cert;
        const int result = findSignerCertificateByText(der, len, index, &cert);
        if (result != kOk) return result;
        return copyToCaller(cert, out, outLen) ? kOk : kInvalid;
    });
}

int CPKCS7SSL::GetNCertNum(unsigned char* der, unsigned long len) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "GetNCertNum");
        const auto message = openSigned(der, len);
        if (!message || message->signedData->cert == nullptr) return 0;
        return sk_X509_num(message->signedData->cert);
    });
}

int CPKCS7SSL::GetNCert(unsigned char* der, unsigned long len, int index, unsigned char** out,
                        unsigned long* outLen) {
    return guarded(kInvalid, [&] {
        KIVO_LOG_ENTER(m_logger, "GetNCert");
        const auto message = openSigned(der, len);
        if (!message) return kInvalid;
        const Der cert = derOf(certificateAt(message->signedData, index));
        if (!cert.bytes) return kInvalid;
        return copyToCaller({cert.bytes.get(), cert.length}, out, outLen) ? kOk : kInvalid;
    });
}

int CPKCS7SSL::GetSignedAttrCertNum(unsigned char* der, unsigned long len) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSignedAttrCertNum");
        const auto message = openSigned(der, len);
        PKCS7_SIGNER_INFO* signer = message ? signerAt(message->signedData, 0) : nullptr;
        if (signer == nullptr || !hasSignedAttributes(signer)) return 0;
        ASN1_OBJECT* type = OBJ_txt2obj(kAttributeCertificateOid, 1);
        const int position = type != nullptr ? X509at_get_attr_by_OBJ(signer->auth_attr, type, -1) : -1;
        ASN1_OBJECT_free(type);
        if (position < 0) return 0;
        return X509_ATTRIBUTE_count(X509at_get_attr(signer->auth_attr, position));
    });
}

int CPKCS7SSL::GetSignedAttrCert(unsigned char* der, unsigned long len, int index, unsigned char** out,
                                 unsigned long* outLen) {
    return guarded(kOk, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSignedAttrCert");
        const auto message = openSigned(der, len);
        PKCS7_SIGNER_INFO* signer = message ? signerAt(message->signedData, 0) : nullptr;
        if (signer == nullptr || !hasSignedAttributes(signer) || index < 0) return kOk;
        ASN1_OBJECT* type = OBJ_txt2obj(kAttributeCertificateOid, 1);
        const int position = type != nullptr ? X509at_get_attr_by_OBJ(signer->auth_attr, type, -1) : -1;
        ASN1_OBJECT_free(type);
        if (position < 0) return kOk;
        X509_ATTRIBUTE* attribute = X509at_get_attr(signer->auth_attr, position);
        if (index >= X509_ATTRIBUTE_count(attribute)) return kOk;
        const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, index);
        // A SEQUENCE value keeps its whole encoding.
        if (value != nullptr && value->type == V_ASN1_SEQUENCE) {
            copyToCaller(octetsOf(value->value.sequence), out, outLen);
        }
        return kOk;
    });
}

// ---- content, digests, times ---------------------------------------------------------

int CPKCS7SSL::GetData(unsigned char* der, unsigned long len, unsigned char** out, unsigned long* outLen) {
    return guarded(kNotFound, [&] {
        KIVO_LOG_ENTER(m_logger, "GetData");
        const auto message = openSigned(der, len);
        if (!message || outLen == nullptr) return kNotFound;
        const ASN1_OCTET_STRING* content = encapsulatedContent(message->signedData);
        if (content == nullptr || ASN1_STRING_get0_data(content) == nullptr) return kNotFound;
        const auto size = static_cast<unsigned long>(ASN1_STRING_length(content));
        const bool sizeQuery = out == nullptr || *out == nullptr;
        if (!sizeQuery && *outLen >= size && size != 0) std::memcpy(*out, ASN1_STRING_get0_data(content), size);
        *outLen = size;
        return kOk;
    });
}

unsigned char* CPKCS7SSL::GetHash(unsigned char* der, unsigned long len, unsigned long* hashLen) {
    return guarded<unsigned char*>(nullptr, [&]() -> unsigned char* {
        KIVO_LOG_ENTER(m_logger, "GetHash");
        if (hashLen == nullptr) return nullptr;
        const auto length = firstSignerDigest(der, len, t_hash);
        if (!length) return nullptr;
        *hashLen = static_cast<unsigned long>(*length);
        return t_hash;
    });
}

unsigned char* CPKCS7SSL::GetTimestampHash(unsigned char* der, unsigned long len, unsigned long* hashLen) {
    return guarded<unsigned char*>(nullptr, [&]() -> unsigned char* {
        KIVO_LOG_ENTER(m_logger, "GetTimestampHash");
        if (hashLen == nullptr) return nullptr;
        const auto length = firstSignerDigest(der, len, t_timestampHash);
        if (!length) return nullptr;
        *hashLen = static_cast<unsigned long>(*length);
        return t_timestampHash;
    });
}

char* CPKCS7SSL::GetHashAlgo(unsigned char* der, unsigned long len, int index, unsigned long* outLen) {
    return guarded<char*>(nullptr, [&]() -> char* {
        KIVO_LOG_ENTER(m_logger, "GetHashAlgo");
        const auto message = openSigned(der, len);
        STACK_OF(X509_ALGOR)* algorithms = message ? message->signedData->md_algs : nullptr;
        if (algorithms == nullptr || index < 0 || index >= sk_X509_ALGOR_num(algorithms)) return nullptr;
        const std::string oid = dotted(sk_X509_ALGOR_value(algorithms, index)->algorithm);
        const kivo::pkcs1::HashKind* hash = kivo::pkcs1::hashByDigestOid(oid);
        // Other algorithms: the buffer as the previous call left it.
        if (hash == nullptr) return t_hashAlgo;
        std::memcpy(t_hashAlgo, hash->digestOid.data(), hash->digestOid.size());
        t_hashAlgo[hash->digestOid.size()] = '\0';
        if (outLen != nullptr) *outLen = static_cast<unsigned long>(hash->digestOid.size() + 1);
        return t_hashAlgo;
    });
}

char* CPKCS7SSL::GetHashAlgoPkcs1(unsigned char* block, unsigned long len, int, unsigned long* outLen) {
    return guarded<char*>(nullptr, [&]() -> char* {
        KIVO_LOG_ENTER(m_logger, "GetHashAlgoPkcs1");
        const kivo::pkcs1::HashKind* hash =
            block != nullptr ? kivo::pkcs1::hashOfPkcs1Block({block, static_cast<std::size_t>(len)}) : nullptr;
        const std::string_view text = hash != nullptr ? hash->signatureOid : std::string_view{};
        if (!text.empty()) std::memcpy(t_pkcs1Algo, text.data(), text.size());
        t_pkcs1Algo[text.size()] = '\0';
        if (outLen != nullptr) *outLen = static_cast<unsigned long>(text.size());
        return t_pkcs1Algo;
    });
}

unsigned char* CPKCS7SSL::GetHashFromPKCS1Signature(unsigned char* sig, unsigned long sigLen, unsigned char* cert,
                                                    unsigned long certLen, unsigned long* hashLen, int* algo) {
    return guarded<unsigned char*>(nullptr, [&]() -> unsigned char* {
        KIVO_LOG_ENTER(m_logger, "GetHashFromPKCS1Signature");
        if (algo != nullptr) *algo = 0;
        if (hashLen == nullptr || sig == nullptr || cert == nullptr || certLen == 0 ||
            certLen > static_cast<unsigned long>(INT_MAX)) {
            return nullptr;
        }
        const unsigned char* p = cert;
        X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(certLen)));
        ERR_clear_error();
        EVP_PKEY* key = certificate ? X509_get0_pubkey(certificate.get()) : nullptr;
        ERR_clear_error();
        if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return nullptr;

        const std::size_t k = rsaRawDecrypt(key, {sig, static_cast<std::size_t>(sigLen)}, t_pkcs1Block,
                                            kPkcs1BlockSize);
        if (k == 0) return nullptr;
        // The DigestInfo names the hash; without one the block is read as SHA-1.
        const kivo::pkcs1::HashKind& hash =
            kivo::pkcs1::hashOrSha1(kivo::pkcs1::hashOfPkcs1Block({t_pkcs1Block, k}));
        if (k < hash.length) return nullptr;
        std::memcpy(t_pkcs1Hash, t_pkcs1Block + k - hash.length, hash.length);
        *hashLen = static_cast<unsigned long>(hash.length);
        if (algo != nullptr) *algo = hash.code;
        return t_pkcs1Hash;
    });
}

int CPKCS7SSL::GetVersion(unsigned char* der, unsigned long len) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "GetVersion");
        const auto message = openSigned(der, len);
        if (!message || message->signedData->version == nullptr) return 0;
        return static_cast<int>(ASN1_INTEGER_get(message->signedData->version));
    });
}

__int64 CPKCS7SSL::GetSigningTime(unsigned char* der, unsigned long len) {
    return guarded<__int64>(0, [&]() -> __int64 {
        KIVO_LOG_ENTER(m_logger, "GetSigningTime");
        const auto message = openSigned(der, len);
        PKCS7_SIGNER_INFO* signer = message ? signerAt(message->signedData, 0) : nullptr;
        const ASN1_TYPE* time = signer != nullptr ? signedAttribute(signer, NID_pkcs9_signingTime) : nullptr;
        if (time == nullptr) return 0;
        if (time->type == V_ASN1_UTCTIME) return kivo::asn1TimeToSeconds(time->value.utctime);
        if (time->type == V_ASN1_GENERALIZEDTIME) return kivo::asn1TimeToSeconds(time->value.generalizedtime);
        return 0;
    });
}

bool CPKCS7SSL::IsTimestamp(unsigned char* der, unsigned long len) {
    return guarded(false, [&] {
        KIVO_LOG_ENTER(m_logger, "IsTimestamp");
        const auto message = openSigned(der, len);
        if (!message || message->signedData->contents == nullptr) return false;
        return strcasecmp(dotted(message->signedData->contents->type).c_str(), kTstInfoOid) == 0;
    });
}

// ---- signature values ------------------------------------------------------------------

int CPKCS7SSL::GetSignatureBlobSize(unsigned char* der, unsigned long* outSize, int index, bool raw) {
    return guarded(kNoSignature, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSignatureBlobSize");
        if (outSize == nullptr) return kNoSignature;
        const auto value = signatureValue(der, index, raw);
        if (!value) return kNoSignature;
        *outSize = static_cast<unsigned long>(value->size());
        return kOk;
    });
}

int CPKCS7SSL::GetSignatureBlob(unsigned char* der, unsigned char* out, int index, bool raw) {
    return guarded(kNoSignature, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSignatureBlob");
        if (out == nullptr) return kNoSignature;
        const auto value = signatureValue(der, index, raw);
        if (!value) return kNoSignature;
        if (!value->empty()) std::memcpy(out, value->data(), value->size());
        return kOk;
    });
}

int CPKCS7SSL::GetSignerRSAKey(unsigned char* der, unsigned char* out, int index) {
    return guarded(kNoSignature, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSignerRSAKey");
        std::vector<unsigned char> cert;
        if (out == nullptr || findSignerCertificateByText(der, index, &cert) != kOk) return kNoSignature;
        const unsigned long certLen = static_cast<unsigned long>(cert.size());
        const unsigned char* key = CCertInfo::getPublicKey(cert.data(), certLen);
        const int keyLen = CCertInfo::getPublicKeySize(cert.data(), certLen);
        if (key == nullptr || keyLen <= 0) return kNoSignature;
        std::memcpy(out, key, static_cast<std::size_t>(keyLen));
        return kOk;
    });
}

int CPKCS7SSL::GetSignerRSAKeySize(unsigned char* der, int index) {
    return guarded(kNotFound, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSignerRSAKeySize");
        std::vector<unsigned char> cert;
        if (findSignerCertificateByText(der, index, &cert) != kOk) return kNotFound;
        const unsigned char* p = cert.data();
        X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(cert.size())));
        EVP_PKEY* key = certificate ? X509_get0_pubkey(certificate.get()) : nullptr;
        ERR_clear_error();
        const int bits = key != nullptr ? EVP_PKEY_get_bits(key) : 0;
        return bits > 0 ? bits : kNotFound;
    });
}

int CPKCS7SSL::GetRSAKeySize(unsigned char* der, unsigned long* offset) {
    return guarded(kInvalid, [&] {
        KIVO_LOG_ENTER(m_logger, "GetRSAKeySize");
        const auto length = lengthFromHeader(der);
        if (!length || offset == nullptr) return kInvalid;
        const auto layout = readBuilderLayout({der, *length});
        if (!layout) return kInvalid;
        *offset = static_cast<unsigned long>(layout->signatureValue);
        return static_cast<int>(layout->signatureLength);
    });
}

// ---- content types -----------------------------------------------------------------------

int CPKCS7SSL::GetCipherCertNum(unsigned char* der, unsigned long len) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "GetCipherCertNum");
        const auto bytes = messageBytes(der, len);
        const Pkcs7Ptr p7 = parsePkcs7(bytes.data(), bytes.size());
        if (p7 && OBJ_obj2nid(p7->type) == NID_pkcs7_encrypted) return kInvalid;
        return 0;
    });
}

int CPKCS7SSL::isEnveloped(unsigned char* der, unsigned long len) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "isEnveloped");
        const auto bytes = messageBytes(der, len);
        const Pkcs7Ptr p7 = parsePkcs7(bytes.data(), bytes.size());
        if (!p7 || OBJ_obj2nid(p7->type) == NID_pkcs7_signedAndEnveloped) return 0;
        return kInvalid;
    });
}

// ---- verification ----------------------------------------------------------------------

int CPKCS7SSL::Verify(unsigned char* der, unsigned long len) {
    return guarded(kInvalid, [&] {
        KIVO_LOG_ENTER(m_logger, "Verify");
        const auto bytes = messageBytes(der, len);
        const CmsPtr cms = parseCms(bytes.data(), bytes.size());
        const auto signer = firstSigner(cms.get());
        if (!signer) return kInvalid;

        if (signer->signatureClass == SignatureClass::Rsa) {
            const Pkcs7Ptr p7 = parsePkcs7(bytes.data(), bytes.size());
            if (!p7) return kInvalid;
            ERR_set_mark();
            const int result = PKCS7_verify(p7.get(), nullptr, nullptr, nullptr, nullptr, kPkcs7VerifyFlags);
            ERR_pop_to_mark();
            return result == 1 ? kOk : kInvalid;
        }
        // The other classes are checked as well, over the attached content.
        if (signer->signatureClass == SignatureClass::PlainEcdsa && !signer->hasRsaKey()) {
            return verifyPlainEcdsa(*signer, attachedContent(cms.get())) ? kOk : kInvalid;
        }
        return cmsVerify(cms.get(), {}, nullptr) ? kOk : kInvalid;
    });
}

int CPKCS7SSL::VerifyCMS(unsigned char* der, unsigned long len, unsigned char* content, unsigned long contentLen) {
    return guarded(kInvalid, [&] {
        KIVO_LOG_ENTER(m_logger, "VerifyCMS");
        const auto bytes = messageBytes(der, len);
        const CmsPtr cms = parseCms(bytes.data(), bytes.size());
        const auto signer = firstSigner(cms.get());
        if (!signer) return kInvalid;
        const std::span<const unsigned char> detached =
            content != nullptr ? std::span<const unsigned char>(content, contentLen) : std::span<const unsigned char>{};

        if (signer->hasRsaKey() || signer->signatureClass != SignatureClass::PlainEcdsa) {
            std::string error;
            if (cmsVerify(cms.get(), detached, &error)) return kOk;
            LOG4CXX_ERROR(m_logger, "error on CMS_verify: " << error);
            return kInvalid;
        }
        return verifyPlainEcdsa(*signer, detached) ? kOk : kInvalid;
    });
}

// ---- time stamps ---------------------------------------------------------------------------

int CPKCS7SSL::AddTimeStamp(unsigned char* der, unsigned long* len, unsigned char* token, unsigned long tokenLen) {
    return guarded(kInvalid, [&] {
        KIVO_LOG_ENTER(m_logger, "AddTimeStamp");
        if (der == nullptr || len == nullptr || token == nullptr) return kInvalid;
        std::size_t newLength = 0;
        // The caller's buffer holds the message, the token and the 25 octets
        // of attribute header; a message whose lengths must grow beyond that
        // is refused.
        const std::size_t room = std::size_t{*len} + kTimeStampAttributeHeader + tokenLen;
        if (!appendTimeStampToken(der, *len, room, {token, static_cast<std::size_t>(tokenLen)}, &newLength)) {
            return kInvalid;
        }
        *len = static_cast<unsigned long>(newLength);
        return kOk;
    });
}

__int64 CPKCS7SSL::getTimeFromASN1(const asn1_string_st* t) {
    return guarded<__int64>(0, [&]() -> __int64 {
        KIVO_LOG_ENTER(m_logger, "getTimeFromASN1");
        if (t == nullptr || ASN1_STRING_get0_data(t) == nullptr || ASN1_STRING_length(t) <= 0) return 0;
        const std::string_view text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(t)),
                                    static_cast<std::size_t>(ASN1_STRING_length(t)));
        switch (ASN1_STRING_type(t)) {
            case V_ASN1_UTCTIME: return utcTimeTextToSeconds(text);
            case V_ASN1_GENERALIZEDTIME: return generalizedTimeTextToSeconds(text);
            default: return 0;
        }
    });
}

// ---- entry points kept for the interface ------------------------------------------------------

bool CPKCS7SSL::FindQualifiedSC(unsigned char*, unsigned long) {
    return guarded(false, [] {
        KIVO_LOG_ENTER(m_logger, "FindQualifiedSC");
        return false;
    });
}

int CPKCS7SSL::GetAttrCert(unsigned char*, unsigned long, int, unsigned char**, unsigned long*) {
    return guarded(0, [] {
        KIVO_LOG_ENTER(m_logger, "GetAttrCert");
        return 0;
    });
}

int CPKCS7SSL::GetAttrCertNum(unsigned char*, unsigned long) {
    return guarded(0, [] {
        KIVO_LOG_ENTER(m_logger, "GetAttrCertNum");
        return 0;
    });
}

int CPKCS7SSL::GetCRL(unsigned char*, unsigned long, int, unsigned char**, unsigned long*) {
    return guarded(0, [] {
        KIVO_LOG_ENTER(m_logger, "GetCRL");
        return 0;
    });
}

int CPKCS7SSL::GetCRLNum(unsigned char*, unsigned long) {
    return guarded(0, [] {
        KIVO_LOG_ENTER(m_logger, "GetCRLNum");
        return 0;
    });
}

int CPKCS7SSL::GetCert(unsigned char*, unsigned long, int, unsigned char**, unsigned long*) {
    return guarded(0, [] {
        KIVO_LOG_ENTER(m_logger, "GetCert");
        return 0;
    });
}

int CPKCS7SSL::GetCertChainSize(unsigned char*, unsigned long) {
    return guarded(0, [] {
        KIVO_LOG_ENTER(m_logger, "GetCertChainSize");
        return 0;
    });
}

int CPKCS7SSL::GetNum(unsigned char*, unsigned long) {
    return guarded(0, [] {
        KIVO_LOG_ENTER(m_logger, "GetNum");
        return 0;
    });
}

int CPKCS7SSL::GetParam(unsigned char*, unsigned long, int, unsigned char**, unsigned long*) {
    return guarded(0, [] {
        KIVO_LOG_ENTER(m_logger, "GetParam");
        return 0;
    });
}

int CPKCS7SSL::GetCipherCert(unsigned char*, unsigned long, int, unsigned char**, unsigned long*) {
    return guarded(kInvalid, [] {
        KIVO_LOG_ENTER(m_logger, "GetCipherCert");
        return kInvalid;
    });
}

unsigned char* CPKCS7SSL::GetHashFromSignature(unsigned char* der, unsigned long len, unsigned long* outLen) {
    return guarded<unsigned char*>(nullptr, [&]() -> unsigned char* {
        KIVO_LOG_ENTER(m_logger, "GetHashFromSignature");
        if (!openSigned(der, len)) return nullptr;
        t_signatureHash[0] = 0;
        if (outLen != nullptr) *outLen = 0;
        return t_signatureHash;
    });
}

int CPKCS7SSL::GetTimestampBlob(unsigned char*, unsigned long, unsigned char**, unsigned long*) {
    return guarded(kNotFound, [] {
        KIVO_LOG_ENTER(m_logger, "GetTimestampBlob");
        return kNotFound;
    });
}
