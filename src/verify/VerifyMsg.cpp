// CVerifyMsg: the signature, the signer's chain, the validity periods and
// the revocation status, each as the caller asks, OR-combined.

#include "VerifyMsg.h"

#include "HashSSL.h"
#include "PKCS7SSL.h"
#include "src/frame/LibraryMain.h"
#include "src/frame/Logging.h"
#include "src/container/Pkcs7Reader.h"
#include "src/verify/VerifyPolicy.h"
#include "src/verify/VerifyRevocation.h"
#include "src/verify/VerifyTrustStore.h"
#include "src/verify/VerifyValidity.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace {

using kivo::loggers::module;
namespace pk = kivo::pkcs7;
namespace vf = kivo::verify;

// PKCS7_verify flags: the signature only; the signer's certificate comes
// from the container and is not verified.
constexpr int kSignatureOnlyFlags = PKCS7_NOVERIFY | PKCS7_NOCHAIN;
constexpr unsigned int kExceptionResult = CVerifyMsg::cSignatureInvalid;
const unsigned char kNoContent[1] = {0};
constexpr const char* kRsassaPssOid = "1.2.840.113549.1.1.10";

std::string hex(unsigned int value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// Whether the content is passed separately: any `attached` but 1.
bool isDetached(int attached) { return attached != 1; }

struct BioChainDeleter {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using BioChainPtr = std::unique_ptr<BIO, BioChainDeleter>;

// Stream over the separately passed content (null data with length 0 is
// empty content); null when the content is in the container, or when a
// null pointer comes with a length.
//
// The memory stream sits behind a pass-through filter. OpenSSL 3.0's
// PKCS7_verify and CMS_verify copy a plain memory stream into one of their
// own and lose that copy when the container's digest cannot be set up; a
// stream of another type is used as it is.
BioChainPtr contentStream(int attached, const unsigned char* data, unsigned int dataLen) {
    if (!isDetached(attached) || dataLen > static_cast<unsigned int>(INT_MAX)) return nullptr;
    if (data == nullptr && dataLen != 0) return nullptr;
    // An empty content still needs a stream, which OpenSSL will not make
    // over a null pointer.
    const unsigned char* bytes = dataLen == 0 ? kNoContent : data;
    BioChainPtr memory(BIO_new_mem_buf(bytes, static_cast<int>(dataLen)));
    BioChainPtr filter(BIO_new(BIO_f_null()));
    if (!memory || !filter) return nullptr;
    BIO_push(filter.get(), memory.release());
    return filter;
}

// The dotted signature algorithm of the container's first signer.
std::string firstSignatureAlgorithm(PKCS7* container) {
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(container);
    if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) < 1) return {};
    const PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    if (signer->digest_enc_alg == nullptr) return {};
    char text[128] = {};
    if (OBJ_obj2txt(text, sizeof text, signer->digest_enc_alg->algorithm, 1) <= 0) return {};
    return text;
}

// OpenSSL's CMS verification of every signer, without certificate checks,
// over the same content. Used where OpenSSL's PKCS#7 verification falls
// short: it verifies with the key's default scheme and never reads
// RSASSA-PSS parameters (a PSS signature made with an rsaEncryption key
// fails there while its CMS code verifies it), and with separately passed
// content and more than one digest algorithm it frees only one of the
// digest streams it chains onto the content (the others leak on every
// call), while its CMS code frees them all.
bool verifyWithCms(const unsigned char* signature, unsigned int signatureLen, int attached,
                      const unsigned char* data, unsigned int dataLen) {
    const pk::CmsPtr cms = pk::parseCms(signature, signatureLen);
    if (!cms) return false;
    const BioChainPtr content = contentStream(attached, data, dataLen);
    if (isDetached(attached) && !content) return false;
    const bool ok = CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr,
                               CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) == 1;
    ERR_clear_error();
    return ok;
}

// The number of digest algorithms the SignedData names.
int digestAlgorithmCount(PKCS7* container) {
    if (!PKCS7_type_is_signed(container) || container->d.sign == nullptr) return 0;
    return sk_X509_ALGOR_num(container->d.sign->md_algs);
}

// Step 0x01: the signature over the content.
unsigned int checkSignature(PKCS7* container, const unsigned char* signature, unsigned int signatureLen,
                            int attached, const unsigned char* data, unsigned int dataLen) {
    if (container == nullptr) return CVerifyMsg::cSignatureInvalid;
    // Content that cannot be streamed (a null pointer with a length, or
    // more than OpenSSL's memory streams hold) cannot match a signature.
    const BioChainPtr content = contentStream(attached, data, dataLen);
    if (isDetached(attached) && !content) return CVerifyMsg::cSignatureInvalid;
    if (isDetached(attached) && digestAlgorithmCount(container) > 1) {
        return verifyWithCms(signature, signatureLen, attached, data, dataLen) ? 0 : CVerifyMsg::cSignatureInvalid;
    }
    const int verified = PKCS7_verify(container, nullptr, nullptr, content.get(), nullptr, kSignatureOnlyFlags);
    // The reason is not reported: a signature that does not verify is an
    // ordinary answer.
    ERR_clear_error();
    if (verified >= 1) return 0;
    if (firstSignatureAlgorithm(container) == kRsassaPssOid &&
        verifyWithCms(signature, signatureLen, attached, data, dataLen)) {
        LOG4CXX_DEBUG(module, "RSASSA-PSS signature verified with CMS_verify");
        return 0;
    }
    return CVerifyMsg::cSignatureInvalid;
}

// What the chain check leaves for the revocation check.
struct ChainState {
    vf::StorePtr store;
    vf::StoreContextPtr context;
};

// A trust store and a context initialised with `signer`; an empty state
// when either cannot be made.
ChainState openChain(X509* signer, const char* caFile, const char* caPath) {
    ChainState state;
    state.context.reset(X509_STORE_CTX_new());
    state.store = vf::buildTrustStore(caFile, caPath);
    if (!state.context || !state.store) return {};
    X509_STORE_set_flags(state.store.get(), 0);
    if (!vf::initialiseContext(state.context.get(), state.store.get(), signer)) return {};
    return state;
}

// OpenSSL 3 reports a CA certificate without keyCertSign in its key usage
// as an invalid CA, as it does one without the CA flag; the caller is told
// which of the two it is.
int specificChainError(X509_STORE_CTX* context, int error) {
    if (error != X509_V_ERR_INVALID_CA) return error;
    X509* certificate = X509_STORE_CTX_get_current_cert(context);
    if (certificate == nullptr) return error;
    const uint32_t flags = X509_get_extension_flags(certificate);
    const bool caFlag = (flags & EXFLAG_CA) != 0;
    const bool certSign = (flags & EXFLAG_KUSAGE) == 0 || (X509_get_key_usage(certificate) & KU_KEY_CERT_SIGN) != 0;
    return caFlag && !certSign ? X509_V_ERR_KEYUSAGE_NO_CERTSIGN : error;
}

// OpenSSL's chain verification, judged by the policy in force. By default
// only a missing issuer breaks the chain; expiry and every other complaint
// are left to the validity check that follows (hosts rely on that rule,
// although it calls a self-signed signer outside the trust store or a
// forged certificate signature trusted). Under the strict policy OpenSSL
// leaves the validity periods to that check and every error it reports
// breaks the chain. The error is noted for the caller either way, except a
// validity-period error, which the validity check judges.
bool chainTrusted(X509_STORE_CTX* context) {
    const bool strict = vf::strictPolicy();
    if (strict) X509_VERIFY_PARAM_set_flags(X509_STORE_CTX_get0_param(context), X509_V_FLAG_NO_CHECK_TIME);
    if (X509_verify_cert(context) == 1) return true;
    const int error = X509_STORE_CTX_get_error(context);
    LOG4CXX_DEBUG(module, "X509_verify_cert: error " << error << " (" << X509_verify_cert_error_string(error) << ")");
    ERR_clear_error();
    if (!vf::isValidityPeriodError(error)) vf::noteChainError(specificChainError(context, error));
    if (strict) return false;
    return error != X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT && error != X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
}

// Step 0x04: the chain to a trusted certificate, then the validity periods
// along it.
unsigned int checkChain(PKCS7* container, X509* signer, ChainState& state, const char* caFile,
                        const char* caPath, const timeb* verifyTime, int validityModel) {
    // Without the signer's certificate there is no chain to build; the
    // signature check has already failed. OpenSSL then reports no missing
    // issuer, so the default rules set no bit here; the strict ones count
    // it as no trusted chain.
    if (signer == nullptr) return vf::strictPolicy() ? CVerifyMsg::cNoTrustedChain : 0;
    state = openChain(signer, caFile, caPath);
    if (!state.context) return CVerifyMsg::cNoTrustedChain;

    if (!chainTrusted(state.context.get())) return CVerifyMsg::cNoTrustedChain;

    std::optional<std::int64_t> reference;
    if (verifyTime != nullptr) {
        reference = static_cast<std::int64_t>(verifyTime->time);
    } else {
        reference = vf::signingTimeReference(container);
    }
    if (!reference) return 0;  // no time to judge the chain by
    return vf::Check_TimeNested_CA(state.context.get(), *reference, validityModel) < 0
               ? CVerifyMsg::cChainNotValid
               : 0;
}

unsigned int checkSignDetached(unsigned char* signature, unsigned int signatureLen, int attached,
                               unsigned char* data, unsigned int dataLen, unsigned int checks,
                               unsigned int crlMode, char* crlSource, timeb* verifyTime,
                               int validityModel, const char* caFile, const char* caPath) {
    vf::resetDiagnostics();
    if (checks == 0) return 0;
    kivo::loadOpenSSLAlgorithms();
    const pk::Pkcs7Ptr container = pk::parsePkcs7(signature, signatureLen);
    unsigned int result = 0;

    if ((checks & CVerifyMsg::cCheckSignature) != 0) {
        result |= checkSignature(container.get(), signature, signatureLen, attached, data, dataLen);
    }

    X509* signer = vf::firstSignerCertificate(container.get());
    ChainState chain;
    if ((checks & CVerifyMsg::cCheckChain) != 0) {
        result |= checkChain(container.get(), signer, chain, caFile, caPath, verifyTime, validityModel);
    }

    // The same for the signer's validity: no certificate, nothing to judge
    // by the default rules.
    const bool judgeSigner = signer != nullptr || vf::strictPolicy();
    if ((checks & CVerifyMsg::cCheckSignerValidity) != 0 && verifyTime != nullptr && judgeSigner) {
        if (vf::Check_TimeNested(container.get(), nullptr, verifyTime, validityModel) != 0) {
            result |= CVerifyMsg::cSignerNotValid;
        }
    }

    if ((checks & CVerifyMsg::cCheckRevocation) != 0) {
        // The OpenSSL CRL and OCSP modes, and the strict CRL directory mode,
        // work through the trust store. When the chain check was not asked
        // for, they get a store and context of their own, made the same way.
        const unsigned int source = vf::revocationSource(crlMode);
        if (vf::sourceUsesStore(source) && (checks & CVerifyMsg::cCheckChain) == 0 && signer != nullptr) {
            chain = openChain(signer, caFile, caPath);
        }
        result |= vf::Check_CRL(signer, chain.store.get(), chain.context.get(), crlMode, crlSource, verifyTime,
                                validityModel);
    }
    return result;
}

unsigned int checkSignPkcs1(unsigned char* signature, unsigned int signatureLen, unsigned char* cert,
                            unsigned int certLen, unsigned char* data, unsigned int dataLen) {
    if (signature == nullptr || cert == nullptr || (data == nullptr && dataLen != 0)) {
        return CVerifyMsg::cSignatureInvalid;
    }
    unsigned long signedLength = 0;
    int algorithm = 0;
    const unsigned char* signedHash =
        CPKCS7SSL::GetHashFromPKCS1Signature(signature, signatureLen, cert, certLen, &signedLength, &algorithm);
    if (signedHash == nullptr || signedLength == 0) return CVerifyMsg::cSignatureInvalid;
    // The extracted hash lives in CPKCS7SSL's result buffer; keep a copy
    // before hashing.
    const std::string extracted(reinterpret_cast<const char*>(signedHash), signedLength);

    unsigned char empty = 0;
    unsigned long computedLength = 0;
    const unsigned char* computed =
        CHashSSL::calculateHashBin(data != nullptr ? data : &empty, dataLen, algorithm, &computedLength);
    // Hashes of different lengths are different hashes, even when one is a
    // prefix of the other.
    if (computed == nullptr || computedLength != extracted.size()) return CVerifyMsg::cSignatureInvalid;
    return std::memcmp(computed, extracted.data(), extracted.size()) == 0 ? 0 : CVerifyMsg::cSignatureInvalid;
}

}  // namespace

CVerifyMsg::CVerifyMsg() = default;
CVerifyMsg::CVerifyMsg(const CVerifyMsg&) = default;
CVerifyMsg& CVerifyMsg::operator=(const CVerifyMsg&) = default;
CVerifyMsg::~CVerifyMsg() = default;

int CVerifyMsg::CheckSignDetached(unsigned char* signature, unsigned int signatureLen, int attached,
                                  unsigned char* data, unsigned int dataLen, unsigned int checks,
                                  unsigned int crlMode, char* crlSource, char* /*errorText*/,
                                  struct timeb* verifyTime, int /*unused*/, int validityModel,
                                  const char* caFile, const char* caPath) {
    unsigned int result = kExceptionResult;
    try {
        KIVO_LOG_ENTER(module, "CheckSignDetached");
        LOG4CXX_DEBUG(module, "checks " << hex(checks) << ", crlMode " << hex(crlMode) << ", validityModel "
                                        << validityModel);
        result = checkSignDetached(signature, signatureLen, attached, data, dataLen, checks, crlMode, crlSource,
                                   verifyTime, validityModel, caFile, caPath);
        KIVO_LOG_LEAVE(module, "CheckSignDetached", hex(result));
    } catch (...) {
        // Only allocation can throw here; the result says the signature
        // could not be verified.
        ERR_clear_error();
    }
    return static_cast<int>(result);
}

int CVerifyMsg::CheckSignPKCS1Detached(unsigned char* signature, unsigned int signatureLen,
                                       unsigned char* cert, unsigned int certLen, unsigned char* data,
                                       unsigned int dataLen, unsigned int /*unusedFlags*/,
                                       unsigned long /*unusedLength*/, char* /*unusedText*/, char* errorText,
                                       struct timeb* /*verifyTime*/, int /*unused1*/, int /*unused2*/,
                                       const char* /*caFile*/, const char* /*caPath*/) {
    unsigned int result = kExceptionResult;
    try {
        KIVO_LOG_ENTER(module, "CheckSignPKCS1Detached");
        if (errorText != nullptr) errorText[0] = '\0';
        result = checkSignPkcs1(signature, signatureLen, cert, certLen, data, dataLen);
        KIVO_LOG_LEAVE(module, "CheckSignPKCS1Detached", hex(result));
    } catch (...) {
        ERR_clear_error();
    }
    return static_cast<int>(result);
}

void CVerifyMsg::SetStrictPolicy(bool strict) { vf::setStrictPolicy(strict); }
bool CVerifyMsg::GetStrictPolicy() { return vf::strictPolicy(); }
int CVerifyMsg::GetLastChainError() { return vf::diagnostics().chainError; }

std::string CVerifyMsg::GetLastChainErrorText() {
    try {
        return vf::diagnostics().chainErrorText;
    } catch (...) {
        return {};
    }
}

std::string CVerifyMsg::GetIgnoredCrls() {
    try {
        return vf::diagnostics().ignoredCrls;
    } catch (...) {
        return {};
    }
}
