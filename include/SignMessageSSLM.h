// CSignMessage: signing keys, signing operations, the CAdES level and the
// time-stamp service URL.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

#include <sys/timeb.h>

#include <string>

// One DER certificate handed to a signing call; the certificates of an
// array are written after the signer certificate, in array order.
struct _ASN1_CERT_BLOB {
    unsigned char* pbData;
    unsigned long cbData;
};

// What LoadSmartCardInfos tells of a reader and its card. Its layout is
// part of the interface: the fields stay in this order and of these types.
struct FSmartCardInfos {
    int reader;              // the reader index asked for
    int profile;             // card profile number; 0 without a recognised card
    bool cardPresent;        // a card is in the reader
    int paceType;            // the card's PACE type (-1 for a card without PACE); 0 without a recognised card
    int slots;               // always 6
    char readerName[256];    // NUL-terminated, at most 254 characters
    char serialNumber[256];  // the card's serial number, NUL-terminated, at most 254 characters
    bool pinPad;             // a PIN pad that the settings do not turn off ("KeyboardPIN")
    bool paceReader;         // the reader runs PACE itself
};

class CPkcs7tool;     // the SignedData builder behind every signing call
class CSCM_Interface;  // a key on a signature card

// Key handles (unsigned long*) point to an OpenSSL EVP_PKEY (file keys) or
// to a card key. The handle does not record its kind: m_isP12 tells the
// kind of the key opened last, so file and card keys are not held open at
// the same time.
//
// Hash codes of the signing calls: 0 SHA-1, 1 SHA-256, 2 SHA-384,
// 3 SHA-512, 4 RIPEMD-160, 5 MD5, any other SHA-256.
class KIVO_API CSignMessage {
public:
    CSignMessage();
    CSignMessage(const CSignMessage& other);
    CSignMessage& operator=(const CSignMessage& other);
    virtual ~CSignMessage();

    // ---- keys --------------------------------------------------------
    // With a file name: the private key of a PKCS#12 file (the card
    // arguments are ignored). Without: a card key. Null on failure.
    static unsigned long* OpenSSLKey(const char* file, const char* password, const char* pin,
                                     int reader, int slot, const char* certId,
                                     const char* pacePin, int pinMode);
    // The private key of a PKCS#12 file opened with `password`; only
    // `file` and `password` are used. Null on failure.
    static unsigned long* OpenSSLKey_P12(const char* file, const char* password, const char* pin,
                                         int reader, int slot, const char* certId);
    // Releases a handle of either kind; null is ignored.
    static void CloseSSLKey(unsigned long* key);
    // Signature key kind: 0 RSA PKCS#1 v1.5 (also unknown keys and null),
    // 1 RSASSA-PSS, 2 ECDSA.
    static int getSignAlgoFromPKey(unsigned long* key);
    static int getSignAlgoFromPKeyP12(evp_pkey_st* key);
    static int getSignAlgoFromPKeySCM(CSCM_Interface* key);
    // 0 when the key signs with hash code `hash`; -37 null handle; a card
    // key may refuse with -88 (it signs SHA-256) or -89.
    static int checkSignHashAlgoPKey(unsigned long* key, int hash);
    static int checkSignHashAlgoSCM(CSCM_Interface* key, int hash);
    // Writes the dotted OID of the certificate's public-key algorithm into
    // the builder (the signature algorithm written when no other applies).
    // Always 0.
    static int InitSignAlgoOID(CPkcs7tool* tool, x509_st* cert);

    // ---- signing -----------------------------------------------------
    // A DER SignedData of `data` signed with `key` for the signer `cert`:
    // signed attributes by the CAdES level, the signing time (null: now),
    // the content embedded or not, `certs` after the signer certificate.
    // `out` must hold what SignBlobSSLForLength reports for the same
    // arguments. 0; -301 null out; -300 null certificate; -24 signing
    // failed; -37, -88, -89 from the key checks.
    static int SignBlobSSL(unsigned char* data, int len, unsigned char* out, unsigned long* outLen,
                           timeb* signingTime, x509_st* cert, unsigned long* key, int hash,
                           bool embedContent, _ASN1_CERT_BLOB* certs, int certCount);
    // The length SignBlobSSL will write (exact for RSA keys, an upper bound
    // for ECDSA keys); nothing is signed and `out` is not used. 0; -29 no
    // length pointer or no container; -37, -88, -89 from the key checks.
    static int SignBlobSSLForLength(unsigned char* data, int len, unsigned char* out,
                                    unsigned long* outLen, timeb* signingTime, x509_st* cert,
                                    unsigned long* key, int hash, bool embedContent,
                                    _ASN1_CERT_BLOB* certs, int certCount);
    // A bare signature value of `data` (no container): a file key signs
    // the bytes as given when `dataIsDigest`, else their digest by `hash`.
    // `signingTime`, `cert` and `embedContent` are not used. 0; -301 null
    // out; -24 signing failed; 255 the card failed.
    static int SignBlobSSLRaw(unsigned char* data, int len, unsigned char* out,
                              unsigned long* outLen, timeb* signingTime, x509_st* cert,
                              unsigned long* key, int hash, bool embedContent, bool dataIsDigest,
                              bool cardOption);
    // RSA decryption with a card key; a file key gives -24.
    static int RSADecryptBlobSSL(unsigned char* in, int inLen, unsigned char* out,
                                 unsigned long* outLen, x509_st* cert, unsigned long* key);

    // File to file, signed now, time-stamped when a time-stamp URL is set.
    // The output appears complete or not at all. 0 (also, writing nothing,
    // for a null certificate); -1008 null file name; -1007 a name longer
    // than 256 characters; -35 equal names; -1012 input not readable;
    // -1025 empty input; -36 output not writable; -24 signing failed;
    // -88, -89 from the card; time-stamp codes from addTimestamp.
    static int SignDetached(char* inFile, char* outFile, x509_st* cert, unsigned long* key,
                            int hash, _ASN1_CERT_BLOB* certs, int certCount);
    static int SignEnveloped(char* inFile, char* outFile, x509_st* cert, unsigned long* key,
                             int hash, _ASN1_CERT_BLOB* certs, int certCount);
    static int SignDetachedEnveloped(char* inFile, char* outFile, x509_st* cert,
                                     unsigned long* key, int hash, _ASN1_CERT_BLOB* certs,
                                     int certCount, bool enveloped);

    // Runs OpenSSL's initialisation again when a PKCS#12 key is in use.
    // Always returns 0.
    static int InitSSL();

    // Time-stamp service URL for the signing operations.
    static void setTSUrl(std::string url);
    // Selects the signed attributes: 1 leaves out signingTime, 5 leaves out
    // messageDigest and signingCertificateV2, other values keep all four.
    static void setCAdES_Level(int level);

    // Time-stamps the signature value of signer `signer` of the DER
    // container in place. The imprint is the digest of the signature value
    // by hash code `hash`: 0 SHA-1, 1 SHA-256, 2 SHA-384, 3 SHA-512; any
    // other code time-stamps with SHA-1. Which octets of an ECDSA signature
    // value are digested depends on setStandardTSImprint. `len` is the
    // container's length, `*capacity` the size of the buffer on entry and
    // the new length on success. The container may be attached or detached,
    // of any size and length form (see CPKCS7SSL::AddTimeStamp). 0; -24 null
    // argument; -91/-92 time-stamp failure (a service that cannot be
    // reached yields no response: -92); -93 no room (container unchanged,
    // *capacity = len); -94 no signature value, or no DER SEQUENCE within
    // the buffer; -22 the container is not a SignedData with one SignerInfo
    // a token can be added to.
    // Which octets the time-stamp imprint covers, process-wide. Off (the
    // default): under an ECDSA signature algorithm the signature value in
    // its raw r‖s form, as the library has always done. On: the signature
    // value as stored in the container (the DER ECDSA-Sig-Value), which is
    // what RFC 3161 and CAdES verifiers (OpenSSL, Bouncy Castle) hash; only
    // then do they accept the time stamp of an ECDSA signature. RSA and
    // RSASSA-PSS signatures give the same imprint either way.
    static void setStandardTSImprint(bool standard);
    static bool getStandardTSImprint();
    static int addTimestamp(unsigned char* container, unsigned long len, unsigned long* capacity,
                            int hash, int signer);

    // ---- the card in a reader ------------------------------------------
    // Reader indexes as the PC/SC reader list counts them; each call runs
    // card detection on a reader list of its own.
    static bool IsSmartCardPresent(int reader);
    // A card of a known product: its card profile number is not 0.
    static bool isSmartCardSupported(int reader);
    // -1 for a negative index or no card, 0 for a card of no known
    // product, else the card profile number.
    static int GetSmartCardProfileType(int reader);
    // The card's PACE type (-1 for a card without PACE); 0 for a negative
    // index or no recognised card.
    static int GetSmartCardPACEType(int reader);
    // The card's serial number text; empty when there is none.
    static std::string GetSmartCardSerialNum(int reader);
    // Whether the card may sign with the hash code; false without a
    // recognised card.
    static bool IsSmartCardHashAlgoSupported(int reader, int hash);
    // Fills `info` for the reader; true when the card was recognised.
    // False for a negative index or a null `info`.
    static bool LoadSmartCardInfos(int reader, FSmartCardInfos* info);

    static int m_cadesLevel;         // 0 until setCAdES_Level
    static std::string m_tsURL;      // time-stamp service; empty: none
    static bool m_isP12;             // true while the key in use is a file key
    static kivo::LoggerPtr m_logger;
};
