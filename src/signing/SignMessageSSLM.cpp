// CSignMessage: signing keys, the signing operations, the process-wide
// signing settings and the time-stamp step.

#include "SignMessageSSLM.h"

#include "HashSSL.h"
#include "PKCS7SSL.h"
#include "TimeStampSSL.h"
#include "asn1/Asn1Der.h"
#include "asn1/CmsPkcs7.h"
#include "src/signing/CardKeyOperations.h"
#include "src/signing/SigningKey.h"
#include "src/signing/SigningResults.h"
#include "src/frame/FileIo.h"
#include "src/frame/Guarded.h"
#include "src/frame/LibraryMain.h"
#include "src/frame/Logging.h"
#include "src/container/Pkcs7Layout.h"
#include "src/signing/Pkcs7tool.h"
#include "digest/DigestFactory.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <span>
#include <utility>
#include <vector>

using kivo::guarded;
// Keys, result codes.
using namespace kivo::signing;

// Every exported member runs behind the exception barrier with its failure
// value. Where a member logs its result, the work runs behind a second
// barrier of its own, so the leaving record shows the failure value too.

int CSignMessage::m_cadesLevel = 0;
std::string CSignMessage::m_tsURL;
bool CSignMessage::m_isP12 = false;

CSignMessage::CSignMessage() = default;
CSignMessage::CSignMessage(const CSignMessage&) = default;
CSignMessage& CSignMessage::operator=(const CSignMessage&) = default;
CSignMessage::~CSignMessage() = default;

int CSignMessage::InitSSL() {
    return guarded(0, [] {
        if (m_isP12) kivo::signing::prepareFileKeySigning();
        return 0;
    });
}

void CSignMessage::setTSUrl(std::string url) {
    guarded(0, [&] {
        LOG4CXX_DEBUG(m_logger, "entering setTSUrl");
        m_tsURL = std::move(url);
        return 0;
    });
}

void CSignMessage::setCAdES_Level(int level) {
    guarded(0, [&] {
        LOG4CXX_DEBUG(m_logger, "entering setCAdES_Level");
        m_cadesLevel = level;
        return 0;
    });
}

namespace {

std::atomic<bool> g_standardImprint{false};

int addTimestampTo(unsigned char* container, unsigned long len, unsigned long* capacity, int hash,
                   int signer) {
    const auto& logger = CSignMessage::m_logger;
    if (container == nullptr || capacity == nullptr) {
        return kSignFailed;
    }
    // The current length comes from the container's own header; one that
    // claims more than the caller's buffer cannot be read safely.
    if (*capacity < 2 || container[0] != kivo::asn1::Id::Sequence) {
        LOG4CXX_DEBUG(logger, "no signed data found");
        return kNoSignatureValue;
    }
    unsigned long length = kivo::asn1::elementSize(container, *capacity);
    if (length == 0) {
        LOG4CXX_DEBUG(logger, "no signed data found");
        return kNoSignatureValue;
    }

    // Raw (r‖s) unless the standard imprint over the stored value is asked for.
    const bool raw = !g_standardImprint.load(std::memory_order_relaxed);
    unsigned long signatureSize = 0;
    if (CPKCS7SSL::GetSignatureBlobSize(container, &signatureSize, signer, raw) != 0) {
        LOG4CXX_DEBUG(logger, "no signed data found");
        return kNoSignatureValue;
    }
    std::vector<unsigned char> signature(signatureSize + 1);
    if (CPKCS7SSL::GetSignatureBlob(container, signature.data(), signer, raw) != 0) {
        LOG4CXX_DEBUG(logger, "no signed data found");
        return kNoSignatureValue;
    }

    // A container no token can be added to is refused before the service
    // is asked for one.
    if (!kivo::pkcs7::timeStampedLength({container, length}, 1)) {
        LOG4CXX_DEBUG(logger, "no SignedData with one SignerInfo to add the time stamp to");
        return kNoTimeStampLayout;
    }

    // The request names SHA-1, SHA-256, SHA-384 or SHA-512; any other code
    // (RIPEMD-160 and MD5 among them) is sent as SHA-1, so its imprint is
    // made with SHA-1 too and the service can stamp a true SHA-1 digest.
    const int imprintHash = hash >= 0 && hash <= 3 ? hash : 0;
    unsigned char digest[256] = {};
    int digestLen = 0;
    CHashSSL::HashBlob(signature.data(), signatureSize, imprintHash, digest, &digestLen);

    LOG4CXX_DEBUG(logger, "ceate CTimeStampSSL");
    CTimeStampSSL timeStamp(CSignMessage::m_tsURL, digest,
                            static_cast<unsigned char>(std::clamp(digestLen, 0, 255)), imprintHash);
    LOG4CXX_DEBUG(logger, "send timestamp request");
    timeStamp.sendRequest();
    if (timeStamp.getError() != 0) {
        LOG4CXX_DEBUG(logger, "timestamp request error: " << timeStamp.getError());
        return timeStamp.getError();
    }

    const std::span<const unsigned char> token(timeStamp.getTimeStamp(), timeStamp.getTimeStampLen());
    const auto stampedLength = kivo::pkcs7::timeStampedLength({container, length}, token.size());
    if (!stampedLength) {
        LOG4CXX_DEBUG(logger, "no SignedData with one SignerInfo to add the time stamp to");
        return kNoTimeStampLayout;
    }
    if (*stampedLength > *capacity) {
        LOG4CXX_DEBUG(logger, "timestamp to long: " << *stampedLength);
        *capacity = len;
        return kNoRoomForTimeStamp;
    }
    LOG4CXX_DEBUG(logger, "adding timestamp to pkcs#7");
    std::size_t newLength = 0;
    if (!kivo::pkcs7::appendTimeStampToken(container, length, *capacity, token, &newLength)) return kNoTimeStampLayout;
    *capacity = static_cast<unsigned long>(newLength);
    return 0;
}

}  // namespace

void CSignMessage::setStandardTSImprint(bool standard) {
    g_standardImprint.store(standard, std::memory_order_relaxed);
    guarded(0, [&] {
        LOG4CXX_DEBUG(m_logger, "entering setStandardTSImprint");
        return 0;
    });
}

bool CSignMessage::getStandardTSImprint() { return g_standardImprint.load(std::memory_order_relaxed); }

int CSignMessage::addTimestamp(unsigned char* container, unsigned long len, unsigned long* capacity,
                               int hash, int signer) {
    // -91: no memory for the exchange, so no time stamp obtained.
    return guarded(kTimeStampRequestFailed, [&] {
        KIVO_LOG_ENTER(m_logger, "addTimestamp");
        const int result =
            guarded(kTimeStampRequestFailed, [&] { return addTimestampTo(container, len, capacity, hash, signer); });
        KIVO_LOG_LEAVE(m_logger, "addTimestamp", result);
        return result;
    });
}

// ---- keys ---------------------------------------------------------------

namespace {


// The key queries on a resolved key, with the log lines of the exported
// queries; the signing calls use them too.
int signatureKindOf(const SigningKey* key) {
    KIVO_LOG_ENTER(CSignMessage::m_logger, "getSignAlgoFromPKey");
    const int kind = key != nullptr ? key->signatureKind() : 0;
    KIVO_LOG_LEAVE(CSignMessage::m_logger, "getSignAlgoFromPKey", kind);
    return kind;
}

int checkHashOf(const SigningKey* key, int hash) {
    KIVO_LOG_ENTER(CSignMessage::m_logger, "checkSignHashAlgoPKey");
    const int result = key != nullptr ? key->checkHash(hash) : kNullKey;
    KIVO_LOG_LEAVE(CSignMessage::m_logger, "checkSignHashAlgoPKey", result);
    return result;
}

}  // namespace

unsigned long* CSignMessage::OpenSSLKey(const char* file, const char* password, const char* pin,
                                        int reader, int slot, const char* certId,
                                        const char* pacePin, int pinMode) {
    return guarded<unsigned long*>(nullptr, [&]() -> unsigned long* {
        if (file != nullptr) return OpenSSLKey_P12(file, password, pin, reader, slot, certId);
        KIVO_LOG_ENTER(m_logger, "OpenSSLKey");
        // The card operations log why a key could not be opened.
        CSCM_Interface* key = guarded<CSCM_Interface*>(nullptr, [&]() -> CSCM_Interface* {
            return kivo::cardKeyOperations()->open(pin, reader, slot, certId, pacePin, pinMode);
        });
        if (key == nullptr) return nullptr;
        m_isP12 = false;
        LOG4CXX_DEBUG(m_logger, "leaving OpenSSLKey: OK");
        return reinterpret_cast<unsigned long*>(key);
    });
}

unsigned long* CSignMessage::OpenSSLKey_P12(const char* file, const char* password, const char*,
                                            int, int, const char*) {
    return guarded<unsigned long*>(nullptr, [&]() -> unsigned long* {
        KIVO_LOG_ENTER(m_logger, "OpenSSLKey_P12");
        m_isP12 = true;
        if (file == nullptr) return nullptr;
        BIO* input = BIO_new(BIO_s_file());
        if (input == nullptr) return nullptr;
        if (BIO_read_filename(input, file) <= 0) {
            BIO_free(input);
            ERR_clear_error();
            return nullptr;
        }
        PKCS12* bundle = d2i_PKCS12_bio(input, nullptr);
        if (bundle == nullptr) {
            BIO_free(input);
            ERR_clear_error();
            return nullptr;
        }
        EVP_PKEY* key = nullptr;
        X509* certificate = nullptr;
        STACK_OF(X509)* authorities = nullptr;
        const int parsed = PKCS12_parse(bundle, password, &key, &certificate, &authorities);
        PKCS12_free(bundle);
        BIO_free(input);
        X509_free(certificate);
        sk_X509_pop_free(authorities, X509_free);
        if (parsed != 1) {
            // A wrong password is an ordinary answer, not an error to report.
            EVP_PKEY_free(key);
            ERR_clear_error();
            return nullptr;
        }
        return reinterpret_cast<unsigned long*>(key);
    });
}

void CSignMessage::CloseSSLKey(unsigned long* key) {
    guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "CloseSSLKey");
        if (const auto resolved = keyOfHandle(key, m_isP12)) resolved->close();
        return 0;
    });
}

int CSignMessage::getSignAlgoFromPKey(unsigned long* key) {
    return guarded(0, [&] { return signatureKindOf(keyOfHandle(key, m_isP12).get()); });
}

int CSignMessage::getSignAlgoFromPKeyP12(evp_pkey_st* key) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "getSignAlgoFromPKeyP12");
        int kind = 0;
        if (key != nullptr) {
            switch (EVP_PKEY_base_id(key)) {
                case NID_X9_62_id_ecPublicKey: kind = 2; break;
                case NID_rsassaPss: kind = 1; break;
                default: kind = 0; break;  // rsaEncryption, rsa and anything else
            }
        }
        KIVO_LOG_LEAVE(m_logger, "getSignAlgoFromPKeyP12", kind);
        return kind;
    });
}

int CSignMessage::getSignAlgoFromPKeySCM(CSCM_Interface* key) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "getSignAlgoFromPKeySCM");
        const int kind = guarded(0, [&] {
            return key != nullptr ? kivo::cardKeyOperations()->signatureKind(key) : 0;
        });
        KIVO_LOG_LEAVE(m_logger, "getSignAlgoFromPKeySCM", kind);
        return kind;
    });
}

int CSignMessage::checkSignHashAlgoPKey(unsigned long* key, int hash) {
    // -89, as the card's own check answers when it fails.
    return guarded(kHashNotSupportedNoSha256, [&] { return checkHashOf(keyOfHandle(key, m_isP12).get(), hash); });
}

int CSignMessage::checkSignHashAlgoSCM(CSCM_Interface* key, int hash) {
    return guarded(kHashNotSupportedNoSha256, [&] {
        KIVO_LOG_ENTER(m_logger, "checkSignHashAlgoSCM");
        const int result = guarded(kHashNotSupportedNoSha256, [&] {
            return key != nullptr ? kivo::cardKeyOperations()->checkHash(key, hash) : 0;
        });
        KIVO_LOG_LEAVE(m_logger, "checkSignHashAlgoSCM", result);
        return result;
    });
}

int CSignMessage::InitSignAlgoOID(CPkcs7tool* tool, x509_st* cert) {
    return guarded(0, [&] {
        if (tool == nullptr || cert == nullptr) return 0;
        X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(cert);
        X509_ALGOR* algorithm = nullptr;
        if (publicKey == nullptr ||
            X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &algorithm, publicKey) != 1 ||
            algorithm == nullptr) {
            return 0;
        }
        const ASN1_OBJECT* object = nullptr;
        X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
        if (object == nullptr || OBJ_obj2nid(object) == NID_undef) return 0;
        char dotted[128];
        const int length = OBJ_obj2txt(dotted, sizeof dotted, object, 1);
        if (length > 0 && static_cast<std::size_t>(length) < sizeof dotted) {
            tool->setSignatureAlgorithmOid(dotted);
        }
        return 0;
    });
}

// ---- signing --------------------------------------------------------------

namespace {

constexpr std::size_t kMaxFileNameLength = 256;
// Room kept for the time-stamp attribute in file signing.
constexpr unsigned long kTimeStampRoom = 20000;

// What one signing call signs and how.
struct SignRequest {
    const unsigned char* data = nullptr;
    int length = 0;
    timeb* signingTime = nullptr;
    x509_st* certificate = nullptr;
    const SigningKey* key = nullptr;
    int hash = 1;
    bool embedContent = false;
    _ASN1_CERT_BLOB* certificates = nullptr;
    int certificateCount = 0;
    // Content digest already computed by the caller (empty: hash here).
    std::string contentDigest;
};

// Prepares `tool` for `request`: CAdES level, fallback signature OID, the
// key's hash check and kind. The key check's result (0 when usable).
int prepareTool(CPkcs7tool& tool, const SignRequest& request) {
    tool.setCadesLevel(CSignMessage::m_cadesLevel);
    CSignMessage::InitSignAlgoOID(&tool, request.certificate);
    if (request.key != nullptr) request.key->prepare();
    const int check = checkHashOf(request.key, request.hash);
    if (check != 0) return check;
    tool.setKeyKind(signatureKindOf(request.key));
    tool.setSigningKeyOctets(request.key != nullptr ? request.key->signatureOctets() : 0);
    tool.setKnownContentDigest(request.contentDigest);
    return 0;
}

int buildContainer(CPkcs7tool& tool, const SignRequest& request, unsigned long* length) {
    if (request.length < 0) return kSignFailed;
    return tool.BuildSignedData(request.certificate, request.hash, request.data,
                                static_cast<unsigned long>(request.length), request.signingTime,
                                request.embedContent, length, request.certificates,
                                request.certificateCount);
}

int containerLength(const SignRequest& request, unsigned long* outLen) {
    if (outLen == nullptr) return kNoLength;
    CPkcs7tool tool;
    const int check = prepareTool(tool, request);
    if (check != 0) return check;
    unsigned long length = 0;
    if (buildContainer(tool, request, &length) != 0) return kNoLength;
    *outLen = length;
    return 0;
}

// Room for the signature itself while the container is signed: the
// library's own buffer, never the caller's. Large enough for any
// signature of the key (a DER ECDSA-Sig-Value is at most twice the field
// plus its headers) and of any card.
std::size_t signatureRoom(const SignRequest& request, unsigned long containerLength) {
    constexpr std::size_t kCardSignatureRoom = 1024;  // RSA up to 8192 bits
    const std::size_t keyOctets = request.key != nullptr ? request.key->signatureOctets() : 0;
    return std::max({std::size_t{containerLength}, 2 * keyOctets + 16, kCardSignatureRoom});
}

int signContainer(const SignRequest& request, unsigned char* out, unsigned long* outLen) {
    if (out == nullptr) return kNullOutput;
    CPkcs7tool tool;
    unsigned long reported = 0;
    int result = prepareTool(tool, request);
    if (result == 0) result = buildContainer(tool, request, &reported);
    if (result != 0) return result;
    // The length the length query reports for the same arguments; the
    // caller sized `out` by it.
    if (outLen != nullptr) *outLen = reported;
    std::vector<unsigned char> signature(signatureRoom(request, reported));
    result = tool.SignAttributes(0, request.key, signature.data(), signature.size());
    if (result != 0) return result;
    // The placeholder holds any signature of the key, so the container
    // never grows; should it all the same, nothing past the reported
    // length is written.
    if (tool.GetEncodedLength() > reported) {
        LOG4CXX_ERROR(CSignMessage::m_logger, "signed container of " << tool.GetEncodedLength()
                                                  << " octets exceeds the reported length " << reported);
        return kSignFailed;
    }
    std::memcpy(out, tool.GetEncoded(), tool.GetEncodedLength());
    if (outLen != nullptr) *outLen = tool.GetEncodedLength();
    return 0;
}

// The two buffer members' work with their entering and leaving lines;
// file signing runs them on the digest it computed itself and logs them
// the same way.
int measureLogged(const SignRequest& request, unsigned long* outLen) {
    KIVO_LOG_ENTER(CSignMessage::m_logger, "SignBlobSSLForLength");
    const int result = guarded(kNoLength, [&] { return containerLength(request, outLen); });
    KIVO_LOG_LEAVE(CSignMessage::m_logger, "SignBlobSSLForLength", result);
    return result;
}

int signLogged(const SignRequest& request, unsigned char* out, unsigned long* outLen) {
    KIVO_LOG_ENTER(CSignMessage::m_logger, "SignBlobSSL");
    const int result = guarded(kSignFailed, [&] { return signContainer(request, out, outLen); });
    KIVO_LOG_LEAVE(CSignMessage::m_logger, "SignBlobSSL", result);
    return result;
}

SignRequest blobRequest(unsigned char* data, int len, timeb* signingTime, x509_st* cert,
                        const SigningKey* key, int hash, bool embedContent, _ASN1_CERT_BLOB* certs,
                        int certCount) {
    SignRequest request;
    request.data = data;
    request.length = len;
    request.signingTime = signingTime;
    request.certificate = cert;
    request.key = key;
    request.hash = hash;
    request.embedContent = embedContent;
    request.certificates = certs;
    request.certificateCount = certCount;
    return request;
}

int checkFileNames(const char* inFile, const char* outFile) {
    if (inFile == nullptr || outFile == nullptr) return kNullName;
    if (std::strlen(inFile) > kMaxFileNameLength || std::strlen(outFile) > kMaxFileNameLength) {
        return kNameTooLong;
    }
    if (std::strcmp(inFile, outFile) == 0 || kivo::sameExistingFile(inFile, outFile)) return kSameFile;
    return 0;
}

// The content digest of a file signed detached: streamed, never held.
kivo::ReadStatus digestOfFile(const char* path, int hash, std::string* hex) {
    auto digest = kivo::newDigest(kivo::cms::contentDigestAlgorithm(hash));
    if (!digest) return kivo::ReadStatus::CannotOpen;
    digest->Reset();
    const kivo::ReadStatus status = kivo::streamFile(
        path, [&](const unsigned char* piece, std::size_t length) {
            kivo::updateDigest(*digest, piece, length);
        });
    if (status != kivo::ReadStatus::Ok) return status;
    unsigned char value[kivo::kMaxDigestLength];
    digest->Final(value);
    BytesToHex(value, digest->DigestLength(), hex);
    return status;
}

int fileStatusCode(kivo::ReadStatus status) {
    switch (status) {
        case kivo::ReadStatus::Ok: return 0;
        case kivo::ReadStatus::Empty: return kInputEmpty;
        default: return kInputNotReadable;
    }
}

// The results by which the key's checks refuse a hash code; the file
// calls pass them through.
bool refusesHash(int result) { return result == kHashNotSupported || result == kHashNotSupportedNoSha256; }

int signFile(const char* inFile, const char* outFile, x509_st* cert, const SigningKey* key, int hash,
             _ASN1_CERT_BLOB* certs, int certCount, bool enveloped) {
    const int names = checkFileNames(inFile, outFile);
    if (names != 0) return names;

    // The content is hashed once here and both builds below use the digest.
    // Detached, the container never holds the content, so the file is only
    // streamed through the digest; embedded, it is mapped.
    std::unique_ptr<kivo::MappedInput> mapped;
    std::string contentDigest;
    if (enveloped) {
        mapped = std::make_unique<kivo::MappedInput>(inFile);
        if (mapped->status() == kivo::MappedInput::Status::CannotOpen) return kInputNotReadable;
        if (mapped->status() == kivo::MappedInput::Status::Empty) return kInputEmpty;
        // The memory calls take the content length as an int.
        if (mapped->size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            return kInputNotReadable;
        }
    } else {
        const int status = fileStatusCode(digestOfFile(inFile, hash, &contentDigest));
        if (status != 0) return status;
    }

    timeb now{};
    now.time = std::time(nullptr);
    if (cert == nullptr) return 0;
    const bool withTimeStamp = !CSignMessage::m_tsURL.empty();

    SignRequest request = blobRequest(nullptr, 0, &now, cert, key, hash, enveloped, certs, certCount);
    if (mapped) {
        request.data = const_cast<unsigned char*>(mapped->data());
        request.length = static_cast<int>(mapped->size());
        contentDigest = kivo::cms::contentDigestHex(hash, mapped->data(), mapped->size());
    }
    request.contentDigest = contentDigest;
    if (request.contentDigest.empty()) return kSignFailed;

    // A hash code the card refuses is told before anything is built: the
    // length already runs the key's checks.
    unsigned long length = 0;
    const int measured = measureLogged(request, &length);
    if (refusesHash(measured)) return measured;
    if (measured != 0) return kSignFailed;
    if (withTimeStamp) length += kTimeStampRoom;
    unsigned long capacity = 2 * length + 1;
    // Left uninitialised: only what is written is ever touched.
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[capacity]);

    const int signedResult = signLogged(request, buffer.get(), &length);
    if (refusesHash(signedResult)) return signedResult;
    if (signedResult != 0) return kSignFailed;

    if (withTimeStamp) {
        LOG4CXX_DEBUG(CSignMessage::m_logger, "CSignMessage: addTimestamp");
        const int stamped = CSignMessage::addTimestamp(buffer.get(), length, &capacity, hash, 0);
        if (stamped != 0) return stamped;
        length = capacity;
    }
    if (!kivo::writeFileAtomically(outFile, buffer.get(), length)) return kOutputNotWritable;
    return 0;
}

}  // namespace

int CSignMessage::SignBlobSSL(unsigned char* data, int len, unsigned char* out,
                              unsigned long* outLen, timeb* signingTime, x509_st* cert,
                              unsigned long* key, int hash, bool embedContent,
                              _ASN1_CERT_BLOB* certs, int certCount) {
    return guarded(kSignFailed, [&] {
        const auto signingKey = keyOfHandle(key, m_isP12);
        return signLogged(blobRequest(data, len, signingTime, cert, signingKey.get(), hash, embedContent,
                                      certs, certCount),
                          out, outLen);
    });
}

int CSignMessage::SignBlobSSLForLength(unsigned char* data, int len, unsigned char*,
                                       unsigned long* outLen, timeb* signingTime, x509_st* cert,
                                       unsigned long* key, int hash, bool embedContent,
                                       _ASN1_CERT_BLOB* certs, int certCount) {
    return guarded(kNoLength, [&] {
        const auto signingKey = keyOfHandle(key, m_isP12);
        return measureLogged(blobRequest(data, len, signingTime, cert, signingKey.get(), hash, embedContent,
                                         certs, certCount),
                             outLen);
    });
}

int CSignMessage::SignBlobSSLRaw(unsigned char* data, int len, unsigned char* out,
                                 unsigned long* outLen, timeb*, x509_st*, unsigned long* key,
                                 int hash, bool, bool dataIsDigest, bool cardOption) {
    return guarded(kSignFailed, [&] {
        KIVO_LOG_ENTER(m_logger, "SignBlobSSLRaw");
        const int result = guarded(kSignFailed, [&] {
            if (out == nullptr) return kNullOutput;
            // No certificate: the raw signature has no algorithm OID to take
            // from one, and no content digest is known beforehand.
            SignRequest request;
            const auto signingKey = keyOfHandle(key, m_isP12);
            request.key = signingKey.get();
            request.hash = hash;
            CPkcs7tool tool;
            const int check = prepareTool(tool, request);
            if (check != 0) return check;
            return tool.SignRaw(data, len, request.key, out, outLen, hash, dataIsDigest, cardOption);
        });
        KIVO_LOG_LEAVE(m_logger, "SignBlobSSLRaw", result);
        return result;
    });
}

int CSignMessage::RSADecryptBlobSSL(unsigned char* in, int inLen, unsigned char* out,
                                    unsigned long* outLen, x509_st*, unsigned long* key) {
    return guarded(kSignFailed, [&] {
        KIVO_LOG_ENTER(m_logger, "RSADecryptBlobSSL");
        const int result = guarded(kSignFailed, [&] {
            if (const auto signingKey = keyOfHandle(key, m_isP12)) {
                return signingKey->decrypt(in, inLen, out, outLen);
            }
            // No key: the card path reports a null output before the key.
            return !m_isP12 && out == nullptr ? kNullOutput : kSignFailed;
        });
        KIVO_LOG_LEAVE(m_logger, "RSADecryptBlobSSL", result);
        return result;
    });
}

int CSignMessage::SignDetached(char* inFile, char* outFile, x509_st* cert, unsigned long* key,
                               int hash, _ASN1_CERT_BLOB* certs, int certCount) {
    return SignDetachedEnveloped(inFile, outFile, cert, key, hash, certs, certCount, false);
}

int CSignMessage::SignEnveloped(char* inFile, char* outFile, x509_st* cert, unsigned long* key,
                                int hash, _ASN1_CERT_BLOB* certs, int certCount) {
    return SignDetachedEnveloped(inFile, outFile, cert, key, hash, certs, certCount, true);
}

int CSignMessage::SignDetachedEnveloped(char* inFile, char* outFile, x509_st* cert,
                                        unsigned long* key, int hash, _ASN1_CERT_BLOB* certs,
                                        int certCount, bool enveloped) {
    return guarded(kSignFailed, [&] {
        KIVO_LOG_ENTER(m_logger, "SignDetachedEnveloped");
        const int result = guarded(kSignFailed, [&] {
            return signFile(inFile, outFile, cert, keyOfHandle(key, m_isP12).get(), hash, certs,
                            certCount, enveloped);
        });
        KIVO_LOG_LEAVE(m_logger, "SignDetachedEnveloped", result);
        return result;
    });
}
