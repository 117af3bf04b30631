// CCertInfo: certificate fields read from DER, the certificate object and the trust store.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

#include <string>

struct x509_store_st;

class KIVO_API CCertInfo {
public:
    CCertInfo();
    CCertInfo(const CCertInfo& other);
    CCertInfo& operator=(const CCertInfo& other);
    virtual ~CCertInfo();

    // ---- fields of a DER public-key certificate -------------------------------
    // `cert` points at the DER certificate, `len` is the number of octets
    // readable there. Text results live in a buffer of each getter (per
    // thread) that its next call overwrites; failure gives an empty text,
    // 0, -1 or null as noted.

    static char* getVersion(unsigned char* cert, unsigned long len);      // "0", "1", "2"
    static char* getSignaturOID(unsigned char* cert, unsigned long len);  // tbsCertificate.signature
    static char* getCertSigOID(unsigned char* cert, unsigned long len);   // outer signatureAlgorithm
    static char* getCertSigValue(unsigned char* cert, unsigned long len); // signatureValue as hex
    static char* getIssuer(unsigned char* cert, unsigned long len);       // DN text
    static char* S_getIssuerName(unsigned char* cert, unsigned long len); // as getIssuer, own buffer
    static char* getSubject(unsigned char* cert, unsigned long len);      // DN text
    static char* getSerialNum(unsigned char* cert, unsigned long len);    // content octets as hex
    static char* S_getSerial(unsigned char* cert, unsigned long len);     // as getSerialNum, own buffer
    // Validity as seconds from mktime of the fields taken as local standard time; 0 on failure.
    static __int64 getNotBefore(unsigned char* cert, unsigned long len);
    static __int64 getNotAfter(unsigned char* cert, unsigned long len);

    static char* getPkOID(unsigned char* cert, unsigned long len);  // key algorithm OID
    // RSA: modulus without its first octet; EC: the encoded point (hex).
    static char* getPkMod(unsigned char* cert, unsigned long len);
    // RSA: public exponent in lower-case hex; EC: the named curve's OID.
    static char* getPkExp(unsigned char* cert, unsigned long len);
    static int getPkLen(unsigned char* cert, unsigned long len);  // 4 * strlen(getPkMod)
    // RSA: the RSAPublicKey SEQUENCE; EC: the subjectPublicKey BIT STRING
    // (a pointer into `cert`); null otherwise.
    static unsigned char* getPublicKey(unsigned char* cert, unsigned long len);
    static int getPublicKeySize(unsigned char* cert, unsigned long len);  // -1 on failure
    static int getPublicKeyBits(unsigned char* cert, unsigned long len);  // -1 on failure
    // getPkMod, getPkLen and getPublicKeyBits drop the first octet of an
    // RSA modulus, the 00 that keeps a well-formed modulus positive. A
    // modulus written without it (some card certificates; OpenSSL reads
    // them) then loses a real octet: 1016 bits for a 1024-bit key. With
    // `true` the first octet is dropped only when it is 00, and the three
    // tell the key's size. Process-wide, default false.
    static void SetModulusSignOctetOnly(bool onlySignOctet);

    static int getExtensionNum(unsigned char* cert, unsigned long len);
    static char* getExtensionOID(unsigned char* cert, unsigned long len, int index);
    static char* getExtensionValue(unsigned char* cert, unsigned long len, int index);

    // ---- fields of a DER attribute certificate --------------------------------
    static char* A_getSubject(unsigned char* cert, unsigned long len);
    static char* A_getSubjectSerial(unsigned char* cert, unsigned long len);
    static char* A_getIssuer(unsigned char* cert, unsigned long len);
    static char* A_getSerial(unsigned char* cert, unsigned long len);
    static char* A_getSignatureOID(unsigned char* cert, unsigned long len);
    static __int64 A_getNotBefore(unsigned char* cert, unsigned long len);
    static __int64 A_getNotAfter(unsigned char* cert, unsigned long len);
    static int A_getAttributeNum(unsigned char* cert, unsigned long len);
    static char* A_getAttributeOID(unsigned char* cert, unsigned long len, int index);
    static char* A_getAttributeValue(unsigned char* cert, unsigned long len, int index);
    static int A_getExtensionNum(unsigned char* cert, unsigned long len);
    static char* A_getExtensionOID(unsigned char* cert, unsigned long len, int index);
    static char* A_getExtensionValue(unsigned char* cert, unsigned long len, int index);

    // ---- entry points kept for the interface; they always return 0 ------------
    static char* S_getHash(unsigned char* cert, unsigned long len);
    static unsigned char* S_getPublicKey(unsigned char* cert, unsigned long len);
    static char* getDisplayname(unsigned char* cert, unsigned long len);
    static char* getFingerprint(unsigned char* cert, unsigned long len);
    static int getKeyUsage(unsigned char* cert, unsigned long len);
    static char* getSignatur(unsigned char* cert, unsigned long len);

    // ---- the certificate object -------------------------------------------------
    // An object holds one certificate and nineteen display texts about it.
    // Each text holds at most 2047 characters; a setter copies its argument
    // (cut to that length; null clears the text) and returns 0, or -1 when
    // the object has no text storage (allocation failed at construction).
    int SetFingerPrint(const char* text);
    int SetSubPubKey(const char* text);
    int SetSubPubKeyAlg(const char* text);
    int SetSubject(const char* text);
    int SetIssuer(const char* text);
    int NotAfter(const char* text);      // long format
    int NotBefore(const char* text);     // long format
    int SetSignatureAlg(const char* text);
    int SetCertVersion(const char* text);
    int SetSerialNumber(const char* text);
    int NotAfterRaw(const char* text);   // short format
    int NotBeforeRaw(const char* text);  // short format
    int DisplayName(const char* text);
    int SSLprefix(const char* text);
    int SSLdir(const char* text);
    int SSLcertfilename(const char* text);
    int SSLpkeyfilename(const char* text);
    int SetCertID(const char* text);

    // Replaces the held certificate by one decoded from `*der` (advanced past
    // the certificate on success). -56 when it does not decode; the object
    // then holds no certificate.
    int SetX509Cert(unsigned char** der, unsigned long len);
    // Replaces the held certificate by a duplicate of `cert`; -56 when there
    // is nothing to duplicate or duplication fails (no certificate held then).
    int SetX509Cert(x509_st* cert);

    // The texts, owned by the object.
    char* GetIssuer();
    char* GetSerialNumber();
    char* GetSignatureAlg();
    char* GetSubPubKeyAlg();
    // The held certificate, still owned by the object; null when none.
    x509_st* GetX509Cert();

    // The viewer's list: 11 fields, each with a name and detail lines.
    int GetNumberOfFields();
    const char* GetFieldName(int field);
    int GetNumberOfDetails(int field);
    // A detail line: for subject (0) and issuer (1) the component selected by
    // `index`, for fields 2 to 10 the whole text. The pointer stays valid
    // until the next GetDetails call on this object.
    const char* GetDetails(int field, int index);

    // Copies the text named by `name` ("VERSION", "SERIALNUMBER", "VALIDFROM",
    // "VALIDUNTIL", "USER", "ISSUER", "DISPLAYNAME", "CERTID", "FINGERPRINT";
    // compared case-sensitively) into `out`, which must hold 2048 bytes, and
    // stores its length through `outLen`. Always returns 0; an unknown name
    // or a null argument writes nothing.
    int GetCertFieldSSL(const char* name, char* out, int* outLen);
    // The same names (compared without regard to case) and "KEYUSAGE",
    // rendered from `cert` by the CCertHandler helpers into `out`, which must
    // hold 2048 bytes. -1 for a null certificate, name or buffer, else 0.
    // The last argument is not used.
    static int GetCertFieldX509(x509_st* cert, const char* name, char* out, int* unused);

    // Entry points kept for the interface; they always return 0.
    static int CheckCertSignature(unsigned char* cert, unsigned long certLen,
                                  unsigned char* issuer, unsigned long issuerLen);
    static int GetChainSize(unsigned char* cert, unsigned long len);
    static int GetNextChainCert(unsigned char* cert, unsigned long len, unsigned char** issuer,
                                unsigned long* issuerLen);
    unsigned char* GetCertRaw();
    unsigned long GetCertRawLength();

    // ---- the process-wide trust store ----------------------------------------
    // Not thread-safe: loading, cleaning up and chain walks must not overlap.

    // Loads the store from the certificate files of `path` ("*.crt", "*.pem",
    // "*.der", "*.cer"; PEM or DER content) and returns how many were taken.
    // A directory already loaded is not read again (0). With `add`, the
    // "*.crt" files are only counted and the others are added to the current
    // store; without a store nothing is added then. A null path gives 0 and
    // leaves the store as it is.
    static int InitSSL_CAStore(const char* path, bool add);
    static int AddDir2Store(std::string dir, x509_store_st* store, bool countOnly);
    static bool AddCert2Store(std::string file, x509_store_st* store, bool countOnly);
    // The first certificate of a file (PEM tried first, then DER); the caller
    // frees it with X509_free. Null when the file holds none.
    static x509_st* ReadX509(std::string file, bool print);
    static x509_st* ReadX509_PEM_Cert(std::string file);
    static x509_st* ReadX509_DER_Cert(std::string file);
    // Adds one DER certificate; creates the store (path "set") when there is none.
    static bool AddCertToSSL_CAStore(unsigned char* der, unsigned long len);
    static void CleanUpSSL_CAStore();

    // Largest issuer certificate sslGetNextChainCert copies out, and the
    // size of sslGetChainSize's work buffers.
    static constexpr unsigned long kMaxChainCertLength = 10000;

    // Finds the issuer of `cert` in the store loaded from `storePath` (null:
    // the store as loaded) and copies its DER into the buffer `*issuer`, which
    // must hold kMaxChainCertLength bytes; its length goes to `*issuerLen`.
    // 0 when an issuer was found; 0x80010000 when none was found, or when the
    // certificate is a self-signed root (the root is then copied out); -56
    // when the certificate does not decode, an argument is null, or the
    // issuer is longer than kMaxChainCertLength (nothing copied, the needed
    // length stored through `issuerLen`).
    static int sslGetNextChainCert(unsigned char* cert, unsigned long len, unsigned char** issuer,
                                   unsigned long* issuerLen, const char* storePath);
    // The number of issuers above `cert` up to and including a self-signed
    // root. The walk stops at a certificate longer than kMaxChainCertLength
    // or at an issuer already met (a cycle of cross certificates).
    static int sslGetChainSize(unsigned char* cert, unsigned long len, const char* storePath);
    // 0 when `issuer`'s public key verifies `cert`'s signature, 1 when not,
    // -56 when either certificate does not decode. `storePath` is not used.
    static int sslCheckCertSignature(unsigned char* cert, unsigned long certLen,
                                     unsigned char* issuer, unsigned long issuerLen,
                                     const char* storePath);

    // The trust store; null until first loaded.
    static x509_store_st* m_store;
    // Folder the store was loaded from: "unset" when nothing is loaded, "set"
    // when the store was made for certificates added from memory.
    static std::string m_storePath;

    static kivo::LoggerPtr m_logger;

private:
    // Slots of the text storage: the nineteen texts, then the buffer that
    // GetDetails answers in.
    enum TextSlot {
        kCspName,
        kFingerprint,
        kSubjectPublicKey,
        kSubjectPublicKeyAlgorithm,
        kSubject,
        kIssuer,
        kNotAfterLong,
        kNotBeforeLong,
        kSignatureAlgorithm,
        kCertVersion,
        kSerialNumber,
        kNotAfterShort,
        kNotBeforeShort,
        kDisplayName,
        kKeyFilePrefix,
        kKeyFileDirectory,
        kCertFileName,
        kKeyFileName,
        kCertId,
        kDetailsResult,
        kSlotCount
    };
    static constexpr unsigned long kTextCapacity = 2048;

    char* text(TextSlot slot);
    int setText(TextSlot slot, const char* value);

    // kSlotCount * kTextCapacity bytes on the heap, owned; null only when
    // the allocation failed.
    char* m_texts;
    x509_st* m_cert;
};
