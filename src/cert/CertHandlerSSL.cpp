// CCertHandler: fills a CCertInfo from a key store's certificate file, from
// an X509 or from the first signer of a PKCS#7 container, and renders single
// fields of an X509 with OpenSSL.
//
// Every text written is NUL-terminated and at most 2047 characters long, so
// a caller's buffer of 2048 bytes (the capacity of a CCertInfo text) holds
// it. No exception leaves a member: each body runs guarded and answers with
// the member's failure value.

#include "CertHandlerSSL.h"

#include "HashSSL.h"
#include "src/cert/CertFieldText.h"

#include "src/frame/Guarded.h"
#include "src/frame/Asn1Time.h"
#include "src/frame/Logging.h"
#include "src/frame/NameText.h"
#include "src/frame/OpenSSLHandles.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace {

using kivo::guarded;

// Store name that stands for a signature card instead of a folder.
constexpr const char* kSmartCardStore = "--SCARD--";
// File names recorded for a certificate that did not come from files.
constexpr const char* kSmartCardFiles = "SCARD";

// RFC 2253 string escaping (non-ASCII bytes as \XX), ", " between RDNs,
// " + " inside multi-valued RDNs, short names, certificate order.
constexpr unsigned long kReadableNameFlags = 0x20317;
static_assert(kReadableNameFlags == (ASN1_STRFLGS_RFC2253 | XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_FN_SN));
// Capacity for an issuer or subject text: at most 199 characters.
constexpr int kNameCapacity = 200;
// X509_NAME_get_text_by_NID capacity for the commonName, terminator included.
constexpr int kCommonNameCapacity = 256;
// Bytes of a caller's buffer that the helpers may write (see the file comment).
constexpr std::size_t kOutCapacity = 2048;
// Bytes GetPubkeySSL clears for keys other than RSA and DSA.
constexpr std::size_t kPubkeyClearBytes = 4096;
// strftime output, terminator included.
constexpr std::size_t kTimeTextCapacity = 128;
constexpr const char* kLongTimeFormat = "%A, %B %d, %Y, %Hh %Mmin %Ssec";
constexpr const char* kShortTimeFormat = "%Y.%m.%d %H:%M:%S";
constexpr int kShortTimeSelector = 1;
// Octets of the SHA-1 fingerprint and the signing code of SHA-1 for HashBlob.
constexpr int kFingerprintOctets = 20;
constexpr int kSha1SigningCode = 0;

using kivo::BioPtr;
using kivo::Pkcs7Ptr;
using kivo::X509Ptr;

// Copies `text` into `out`, cut to the helpers' limit.
void putText(char* out, std::string_view text) {
    const std::size_t length = text.size() < kOutCapacity ? text.size() : kOutCapacity - 1;
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

// One validity time as local time in the long or short format.
int formatTime(const ASN1_TIME* time, char* out, int format) {
    out[0] = '\0';
    if (time == nullptr) return -1;
    const unsigned char* data = ASN1_STRING_get0_data(time);
    const int length = ASN1_STRING_length(time);
    if (data == nullptr || length <= 0) return -1;
    const auto seconds = kivo::asn1TimeTextToSeconds(
        std::string_view(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length)));
    if (!seconds) return -1;
    const std::time_t value = static_cast<std::time_t>(*seconds);
    std::tm local{};
    if (localtime_r(&value, &local) == nullptr) return -1;
    char text[kTimeTextCapacity];
    const std::size_t written = std::strftime(
        text, sizeof text, format == kShortTimeSelector ? kShortTimeFormat : kLongTimeFormat, &local);
    if (written == 0) return -1;
    putText(out, std::string_view(text, written));
    return 0;
}

// Issuer or subject in the readable one-line form, folded to Latin-1.
int readableName(X509_NAME* name, char* out) {
    out[0] = '\0';
    if (name == nullptr) return -1;
    char text[kNameCapacity] = {};
    int capacity = kNameCapacity;
    if (CCertHandler::X509_NAME_oneline_ex(name, text, &capacity, kReadableNameFlags) == nullptr) {
        // Longer than 199 characters (or not printable): the text stays empty.
        return -1;
    }
    kivo::foldEscapedUtf8ToLatin1(text);
    putText(out, text);
    return 0;
}

}  // namespace

CCertHandler::CCertHandler() = default;
CCertHandler::CCertHandler(const CCertHandler&) = default;
CCertHandler& CCertHandler::operator=(const CCertHandler&) = default;
CCertHandler::~CCertHandler() = default;

// ---- filling the certificate object ----------------------------------------------

void CCertHandler::describe(x509_st* cert, bool withFingerprint) {
    char text[kOutCapacity];
    for (const kivo::cert::CertFieldText& field : kivo::cert::certFieldTexts()) {
        if (field.store == nullptr || (field.onlyOutsideStore && !withFingerprint)) continue;
        field.write(cert, text);
        (m_info.*field.store)(text);
    }
}

CCertInfo* CCertHandler::GetEntrySSL(const char* csCertStore, const char* prefix, int iReaderID,
                                     int iSlotID) {
    return guarded<CCertInfo*>(nullptr, [&]() -> CCertInfo* {
        KIVO_LOG_ENTER(m_logger, "GetEntrySSL");
        LOG4CXX_DEBUG(m_logger, " csCertStore : " << (csCertStore != nullptr ? csCertStore : "(null)"));
        LOG4CXX_DEBUG(m_logger, " prefix : " << (prefix != nullptr ? prefix : "(null)"));
        LOG4CXX_DEBUG(m_logger, " iReaderID : " << iReaderID);
        LOG4CXX_DEBUG(m_logger, " iSlotID : " << iSlotID);
        if (csCertStore == nullptr || prefix == nullptr || *csCertStore == '\0') {
            LOG4CXX_ERROR(m_logger, "GetEntrySSL: no certificate store or prefix given");
            KIVO_LOG_LEAVE(m_logger, "GetEntrySSL", "NULL");
            return nullptr;
        }
        if (std::strcmp(csCertStore, kSmartCardStore) == 0) {
            // Nothing to read from files; the card side fills the object.
            KIVO_LOG_LEAVE(m_logger, "GetEntrySSL", "OK");
            return &m_info;
        }

        // The folder ends in exactly one "/"; a trailing "\" (as written on
        // Windows) counts as that separator.
        std::string folder = csCertStore;
        if (folder.back() == '\\') folder.pop_back();
        if (folder.empty() || folder.back() != '/') folder += '/';
        const std::string certFile = folder + prefix + ".cert.pem";
        m_info.SSLdir(folder.c_str());
        m_info.SSLprefix(prefix);
        m_info.SSLpkeyfilename((folder + prefix + ".key").c_str());
        m_info.SSLcertfilename(certFile.c_str());
        std::printf("%s\n", certFile.c_str());

        // Only a regular file is opened: reading a pipe or device could block.
        std::error_code error;
        if (!std::filesystem::is_regular_file(certFile, error)) {
            LOG4CXX_ERROR(m_logger, "GetEntrySSL: no certificate file " << certFile);
            KIVO_LOG_LEAVE(m_logger, "GetEntrySSL", "NULL");
            return nullptr;
        }
        FILE* file = std::fopen(certFile.c_str(), "r");
        if (file == nullptr) {
            LOG4CXX_ERROR(m_logger, "GetEntrySSL: cannot open " << certFile);
            KIVO_LOG_LEAVE(m_logger, "GetEntrySSL", "NULL");
            return nullptr;
        }
        X509Ptr cert(PEM_read_X509(file, nullptr, nullptr, nullptr));
        std::fclose(file);
        if (!cert) {
            openSSL_LogError(m_logger, "GetEntrySSL: no PEM certificate in " + certFile);
            KIVO_LOG_LEAVE(m_logger, "GetEntrySSL", "NULL");
            return nullptr;
        }
        if (m_info.SetX509Cert(cert.get()) != 0) {
            KIVO_LOG_LEAVE(m_logger, "GetEntrySSL", "NULL");
            return nullptr;
        }
        describe(cert.get(), false);
        KIVO_LOG_LEAVE(m_logger, "GetEntrySSL", "OK");
        return &m_info;
    });
}

CCertInfo* CCertHandler::GetEntrySSL(x509_st* cert) {
    return guarded<CCertInfo*>(nullptr, [&]() -> CCertInfo* {
        KIVO_LOG_ENTER(m_logger, "GetEntrySSL");
        if (cert == nullptr) {
            LOG4CXX_ERROR(m_logger, "GetEntrySSL: no certificate given");
            KIVO_LOG_LEAVE(m_logger, "GetEntrySSL", "NULL");
            return nullptr;
        }
        m_info.SSLdir(kSmartCardFiles);
        m_info.SSLprefix(kSmartCardFiles);
        m_info.SSLpkeyfilename(kSmartCardFiles);
        m_info.SSLcertfilename(kSmartCardFiles);
        describe(cert, true);
        KIVO_LOG_LEAVE(m_logger, "GetEntrySSL", "OK");
        return &m_info;
    });
}

CCertInfo* CCertHandler::GetCertFromPKCS7(const unsigned char* der, unsigned long len) {
    return guarded<CCertInfo*>(nullptr, [&]() -> CCertInfo* {
        KIVO_LOG_ENTER(m_logger, "GetCertFromPKCS7");
        if (der == nullptr || len == 0 || len > INT_MAX) {
            LOG4CXX_ERROR(m_logger, "GetCertFromPKCS7: no container given");
            KIVO_LOG_LEAVE(m_logger, "GetCertFromPKCS7", "NULL");
            return nullptr;
        }
        BioPtr input(BIO_new_mem_buf(der, static_cast<int>(len)));
        Pkcs7Ptr p7(input ? d2i_PKCS7_bio(input.get(), nullptr) : nullptr);
        if (!p7 || !PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr) {
            openSSL_LogError(m_logger, "GetCertFromPKCS7: not a PKCS#7 SignedData");
            KIVO_LOG_LEAVE(m_logger, "GetCertFromPKCS7", "NULL");
            return nullptr;
        }
        STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7.get());
        PKCS7_SIGNER_INFO* first =
            sk_PKCS7_SIGNER_INFO_num(signers) > 0 ? sk_PKCS7_SIGNER_INFO_value(signers, 0) : nullptr;
        X509* cert = nullptr;
        if (first != nullptr && first->issuer_and_serial != nullptr) {
            cert = X509_find_by_issuer_and_serial(p7->d.sign->cert, first->issuer_and_serial->issuer,
                                                  first->issuer_and_serial->serial);
        }
        if (cert == nullptr) {
            LOG4CXX_ERROR(m_logger, "GetCertFromPKCS7: the first signer's certificate is not in the container");
            KIVO_LOG_LEAVE(m_logger, "GetCertFromPKCS7", "NULL");
            return nullptr;
        }
        if (m_info.SetX509Cert(cert) != 0) {
            KIVO_LOG_LEAVE(m_logger, "GetCertFromPKCS7", "NULL");
            return nullptr;
        }
        CCertInfo* info = GetEntrySSL(cert);
        KIVO_LOG_LEAVE(m_logger, "GetCertFromPKCS7", (info != nullptr ? "OK" : "NULL"));
        return info;
    });
}

// ---- texts of one certificate ----------------------------------------------------

int CCertHandler::GetFingerPrintSSL(x509_st* cert, char* out) {
    return guarded(-1, [&] {
        KIVO_LOG_ENTER(m_logger, "GetFingerPrintSSL");
        if (cert == nullptr || out == nullptr) return -1;
        out[0] = '\0';
        unsigned char* der = nullptr;
        const int length = i2d_X509(cert, &der);
        if (length <= 0) {
            openSSL_LogError(m_logger, "GetFingerPrintSSL: i2d_X509 failed");
            return -1;
        }
        unsigned char digest[64] = {};
        int digestLength = 0;
        HashBlob(der, static_cast<unsigned long>(length), kSha1SigningCode, digest, &digestLength);
        OPENSSL_free(der);
        if (digestLength < kFingerprintOctets) return -1;
        for (int i = 0; i < kFingerprintOctets; ++i) {
            std::snprintf(out + 3 * i, 4, "%02x ", digest[i]);
        }
        KIVO_LOG_LEAVE(m_logger, "GetFingerPrintSSL", out);
        return 0;
    });
}

int CCertHandler::GetIssuerSSL(x509_st* cert, char* out) {
    return guarded(-1, [&] {
        KIVO_LOG_ENTER(m_logger, "GetIssuerSSL");
        if (cert == nullptr || out == nullptr) return -1;
        return readableName(X509_get_issuer_name(cert), out);
    });
}

int CCertHandler::GetSubjectSSL(x509_st* cert, char* out) {
    return guarded(-1, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSubjectSSL");
        if (cert == nullptr || out == nullptr) return -1;
        return readableName(X509_get_subject_name(cert), out);
    });
}

int CCertHandler::GetSubjectsNameSSL(x509_st* cert, char* out) {
    return guarded(-1, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSubjectsNameSSL");
        if (cert == nullptr || out == nullptr) return -1;
        out[0] = '\0';
        // Copies at most 255 characters and terminates; no commonName leaves
        // the text empty.
        X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, out, kCommonNameCapacity);
        return 0;
    });
}

int CCertHandler::GetSerialNumberSSL(x509_st* cert, char* out) {
    return guarded(-1, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSerialNumberSSL");
        if (cert == nullptr || out == nullptr) return -1;
        out[0] = '\0';
        BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
        char* hex = serial != nullptr ? BN_bn2hex(serial) : nullptr;
        BN_free(serial);
        if (hex == nullptr) {
            openSSL_LogError(m_logger, "GetSerialNumberSSL: serial number not readable");
            return -1;
        }
        putText(out, hex);
        OPENSSL_free(hex);
        return 0;
    });
}

int CCertHandler::GetSignatureAlgSSL(x509_st* cert, char* out) {
    return guarded(-1, [&] {
        KIVO_LOG_ENTER(m_logger, "GetSignatureAlgSSL");
        if (cert == nullptr || out == nullptr) return -1;
        out[0] = '\0';
        const char* name = OBJ_nid2ln(X509_get_signature_nid(cert));
        if (name == nullptr) return -1;
        putText(out, name);
        return 0;
    });
}

int CCertHandler::GetNotBeforeSSL(x509_st* cert, char* out, int format) {
    return guarded(-1, [&] {
        KIVO_LOG_ENTER(m_logger, "GetNotBeforeSSL");
        if (cert == nullptr || out == nullptr) return -1;
        return formatTime(X509_get0_notBefore(cert), out, format);
    });
}

int CCertHandler::GetNotAfterSSL(x509_st* cert, char* out, int format) {
    return guarded(-1, [&] {
        KIVO_LOG_ENTER(m_logger, "GetNotAfterSSL");
        if (cert == nullptr || out == nullptr) return -1;
        return formatTime(X509_get0_notAfter(cert), out, format);
    });
}

int CCertHandler::GetKeyUsageSSL(x509_st* cert, char* out) {
    return guarded(-1, [&] {
        KIVO_LOG_ENTER(m_logger, "GetKeyUsageSSL");
        if (cert == nullptr || out == nullptr) return -1;
        if (X509_get_ext_by_NID(cert, NID_key_usage, -1) < 0) {
            putText(out, "0");
        } else {
            std::snprintf(out, kOutCapacity, "%d", static_cast<int>(X509_get_key_usage(cert)));
        }
        return 0;
    });
}

int CCertHandler::GetPubkeySSL(x509_st* cert, char* out) {
    return guarded(-1, [&] {
        KIVO_LOG_ENTER(m_logger, "GetPubkeySSL");
        if (out == nullptr) return -1;
        EVP_PKEY* key = cert != nullptr ? X509_get0_pubkey(cert) : nullptr;
        const int type = key != nullptr ? EVP_PKEY_get_base_id(key) : NID_undef;
        if (type != EVP_PKEY_RSA && type != EVP_PKEY_DSA) std::memset(out, 0, kPubkeyClearBytes);
        return 0;
    });
}

unsigned long CCertHandler::GetCertVersionSSL(x509_st* cert) {
    return guarded(0UL, [&] {
        KIVO_LOG_ENTER(m_logger, "GetCertVersionSSL");
        return cert != nullptr ? static_cast<unsigned long>(X509_get_version(cert)) : 0UL;
    });
}

char* CCertHandler::X509_NAME_oneline_ex(X509_name_st* name, char* buf, int* len, unsigned long flags) {
    return guarded<char*>(nullptr, [&]() -> char* {
        KIVO_LOG_ENTER(m_logger, "X509_NAME_oneline_ex");
        if (name == nullptr) return nullptr;
        BioPtr bio(BIO_new(BIO_s_mem()));
        if (!bio || X509_NAME_print_ex(bio.get(), name, 0, flags) < 0) {
            openSSL_LogError(m_logger, "X509_NAME_oneline_ex: X509_NAME_print_ex failed");
            return nullptr;
        }
        char* printed = nullptr;
        const long length = BIO_get_mem_data(bio.get(), &printed);
        if (length < 0 || length >= INT_MAX) return nullptr;
        if (buf != nullptr && len != nullptr && *len > length) {
            std::memset(buf, 0, static_cast<std::size_t>(*len));
            if (length > 0) std::memcpy(buf, printed, static_cast<std::size_t>(length));
            return buf;
        }
        if (len != nullptr) *len = static_cast<int>(length) + 1;
        return nullptr;
    });
}

char* CCertHandler::X509_NAME_oneline_readable(X509_name_st* name, char* buf, int len) {
    return guarded<char*>(nullptr, [&] {
        KIVO_LOG_ENTER(m_logger, "X509_NAME_oneline_readable");
        return X509_NAME_oneline_ex(name, buf, &len, kReadableNameFlags);
    });
}

int CCertHandler::HashBlob(unsigned char* data, unsigned long len, int code, unsigned char* out, int* outLen) {
    return CHashSSL::HashBlob(data, len, code, out, outLen);
}
