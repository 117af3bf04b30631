// CCertHandler: certificate object built from a store, a container or a card.
#pragma once

#include "CertInfoSSL.h"
#include "KivoExport.h"
#include "KivoLogger.h"

struct X509_name_st;

class KIVO_API CCertHandler {
public:
    CCertHandler();
    CCertHandler(const CCertHandler& other);
    CCertHandler& operator=(const CCertHandler& other);
    virtual ~CCertHandler();

    // Fills the handler's certificate object from the file pair of a key
    // store: `csCertStore` is the folder (a trailing "/" or "\" is taken as
    // the separator), the certificate is read from <folder>/<prefix>.cert.pem
    // and <folder>/<prefix>.key is recorded as the key file. Null when an
    // argument is null or the file holds no PEM certificate.
    //
    // The store name "--SCARD--" reads no file: the object is returned as it
    // stands (empty for a new handler); filling it from the card is the card
    // side's job. `iReaderID` and `iSlotID` are only logged.
    CCertInfo* GetEntrySSL(const char* csCertStore, const char* prefix, int iReaderID, int iSlotID);
    // Writes the texts of `cert` (file names "SCARD"); does not store the
    // certificate itself. Null for a null certificate.
    CCertInfo* GetEntrySSL(x509_st* cert);
    // Stores and describes the certificate of the first signer of a DER
    // PKCS#7 SignedData; null when the container does not decode, the signer's
    // certificate is not in it or cannot be stored.
    CCertInfo* GetCertFromPKCS7(const unsigned char* der, unsigned long len);

    // Same operation as CHashSSL::HashBlob (signing code).
    static int HashBlob(unsigned char* data, unsigned long len, int code,
                        unsigned char* out, int* outLen);

    // ---- texts of one certificate --------------------------------------------
    // Each writes a NUL-terminated text into `out` and returns 0; -1 when the
    // certificate or `out` is null (`out` then untouched) or OpenSSL cannot
    // render the field (`out` then empty). `out` must hold 2048 bytes; no
    // text written is longer than 2047 characters.

    // SHA-1 of the DER certificate, each octet as "%02x " (60 characters).
    static int GetFingerPrintSSL(x509_st* cert, char* out);
    // Issuer and subject in OpenSSL's one-line form (flags 0x20317) folded
    // to Latin-1. A name longer than 199 characters gives an empty text.
    static int GetIssuerSSL(x509_st* cert, char* out);
    static int GetSubjectSSL(x509_st* cert, char* out);
    // The subject's commonName, at most 255 characters; empty when absent.
    static int GetSubjectsNameSSL(x509_st* cert, char* out);
    // The serial number in upper-case hex without leading zeros.
    static int GetSerialNumberSSL(x509_st* cert, char* out);
    // OpenSSL's long name of the signature algorithm.
    static int GetSignatureAlgSSL(x509_st* cert, char* out);
    // Validity as local time: `format` 1 "%Y.%m.%d %H:%M:%S", any other
    // value "%A, %B %d, %Y, %Hh %Mmin %Ssec".
    static int GetNotBeforeSSL(x509_st* cert, char* out, int format);
    static int GetNotAfterSSL(x509_st* cert, char* out, int format);
    // The keyUsage bits as OpenSSL reports them, in decimal; "0" without the
    // extension.
    static int GetKeyUsageSSL(x509_st* cert, char* out);
    // Writes nothing for RSA and DSA keys; for any other key, or none,
    // clears 4096 bytes of `out` (which must hold that many).
    static int GetPubkeySSL(x509_st* cert, char* out);
    // The 0-based X.509 version (2 for version 3); 0 for null.
    static unsigned long GetCertVersionSSL(x509_st* cert);

    // Prints `name` with X509_NAME_print_ex and `flags`. When `buf` is given
    // and the capacity `*len` exceeds the printed length, clears `*len` bytes
    // of `buf`, copies the text and returns `buf`. Otherwise stores the
    // capacity the text needs (terminator included) through `len`, leaves
    // `buf` unchanged and returns null.
    static char* X509_NAME_oneline_ex(X509_name_st* name, char* buf, int* len, unsigned long flags);
    // X509_NAME_oneline_ex with flags 0x20317 and capacity `len`.
    static char* X509_NAME_oneline_readable(X509_name_st* name, char* buf, int len);

    static kivo::LoggerPtr m_logger;

private:
    // Writes version, serial number, signature algorithm, the four validity
    // texts, subject, display name and issuer of `cert` into m_info, and
    // the fingerprint when `withFingerprint` is set.
    void describe(x509_st* cert, bool withFingerprint);

    CCertInfo m_info;
};
