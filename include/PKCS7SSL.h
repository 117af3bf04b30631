// CPKCS7SSL: read access to a signature container (signer, certificates, time stamp).
//
// Every member is static and takes a DER-encoded PKCS#7/CMS message. Results
// come back in one of three ways, fixed per member:
//  - into a caller buffer (`unsigned char** out`, `unsigned long* outLen`):
//    the DER is copied to *out and its length stored; the library cannot
//    know the buffer's size, so the caller supplies one as large as the
//    message (no single element of a message is longer than the message);
//  - into a result buffer of the library whose address is returned; it is
//    per thread and stays valid until the same thread calls the same member
//    again; never free it;
//  - as the return value.
// Result codes: 0 success, -22 invalid input or failure, -94 signer or
// structure not found (signature blob members), -1 not found (GetData,
// GetSignerCertEx, GetSignerRSAKeySize). Indexes are 0-based. Output
// buffers are never written on failure.
//
// Members without a length argument (GetSignatureBlob*, GetSignerRSAKey*,
// GetRSAKeySize) take the message's length from its own outer header.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

class KIVO_API CPKCS7SSL {
public:
    CPKCS7SSL();
    CPKCS7SSL(const CPKCS7SSL& other);
    CPKCS7SSL& operator=(const CPKCS7SSL& other);
    virtual ~CPKCS7SSL();

    // ---- signers and certificates ---------------------------------------------
    // Number of signer infos; 0 when unparsable or not signedData.
    static int GetSignerCertNum(unsigned char* der, unsigned long len);
    // The certificate of signer `index`, found in the certificate set by the
    // signer's issuer and serial number. 0, or -22.
    static int GetSignerCert(unsigned char* der, unsigned long len, int index,
                             unsigned char** out, unsigned long* outLen);
    // As GetSignerCert, then the certificate list is searched for the first
    // certificate with the same issuer and serial number text. 0, -1 when no
    // certificate matches, -22 for unusable input.
    static int GetSignerCertEx(unsigned char* der, unsigned long len, int index,
                               unsigned char** out, unsigned long* outLen);
    // Number of certificates in the certificate set; 0 when not signedData.
    static int GetNCertNum(unsigned char* der, unsigned long len);
    // Certificate `index` of the set. 0, or -22.
    static int GetNCert(unsigned char* der, unsigned long len, int index,
                        unsigned char** out, unsigned long* outLen);
    // Values of the first signer's signed attribute 2.5.4.58 (attribute
    // certificates); 0 when absent.
    static int GetSignedAttrCertNum(unsigned char* der, unsigned long len);
    // Value `index` of that attribute when it is a SEQUENCE. Always 0; the
    // outputs are written only when the value exists.
    static int GetSignedAttrCert(unsigned char* der, unsigned long len, int index,
                                 unsigned char** out, unsigned long* outLen);

    // ---- content, digests, times ----------------------------------------------
    // The encapsulated content of a signedData. With `out` (or *out) null
    // only *outLen is set to its size; otherwise the content is copied when
    // *outLen is at least its size (nothing is copied otherwise) and *outLen
    // is set to the size. 0, or -1 when unparsable, not signedData or detached.
    static int GetData(unsigned char* der, unsigned long len, unsigned char** out,
                       unsigned long* outLen);
    // The first signer's message digest: its messageDigest signed attribute,
    // or without signed attributes the last octets of the raw RSA-decrypted
    // signature (as many as the first digest algorithm produces). Result
    // buffer; null when unparsable, not signedData or without a usable key.
    static unsigned char* GetHash(unsigned char* der, unsigned long len, unsigned long* hashLen);
    // The same as GetHash, for time-stamp tokens.
    static unsigned char* GetTimestampHash(unsigned char* der, unsigned long len,
                                           unsigned long* hashLen);
    // Dotted OID of digest algorithm `index` (SHA-1, SHA-256/384/512, MD5,
    // RIPEMD-160), *outLen = text length + 1. For any other algorithm the
    // result buffer is returned as it was and *outLen is left alone. Null
    // when unparsable, not signedData or the index is out of range.
    static char* GetHashAlgo(unsigned char* der, unsigned long len, int index,
                             unsigned long* outLen);
    // The signature OID matching the DigestInfo inside a raw RSA-decrypted
    // PKCS#1 v1.5 block; empty text and *outLen 0 when none matches.
    static char* GetHashAlgoPkcs1(unsigned char* block, unsigned long len, int unused,
                                  unsigned long* outLen);
    // The hash inside an RSA PKCS#1 v1.5 signature made with `cert`'s key.
    // *algo: 6 SHA-512, 5 SHA-384, 4 SHA-256, 2 RIPEMD-160, 3 MD5, otherwise
    // 1 (SHA-1, also when no DigestInfo matches); it is 0 until then. Result
    // buffer; null when the certificate or its RSA key is unusable.
    static unsigned char* GetHashFromPKCS1Signature(unsigned char* sig, unsigned long sigLen,
                                                    unsigned char* cert, unsigned long certLen,
                                                    unsigned long* hashLen, int* algo);
    // SignedData version; 0 when not signedData.
    static int GetVersion(unsigned char* der, unsigned long len);
    // The first signer's signingTime as seconds since 1970; 0 when absent.
    static __int64 GetSigningTime(unsigned char* der, unsigned long len);
    // True for a signedData whose encapsulated content type is TSTInfo
    // (1.2.840.113549.1.9.16.1.4), i.e. an RFC 3161 time-stamp token.
    static bool IsTimestamp(unsigned char* der, unsigned long len);

    // ---- signature values (the library's own DER classes) ---------------------
    // Length of signer `index`'s signature value (r‖s for ECDSA when `raw`).
    // 0, or -94.
    static int GetSignatureBlobSize(unsigned char* der, unsigned long* outSize, int index, bool raw);
    // Copies that value to `out`. 0, or -94.
    static int GetSignatureBlob(unsigned char* der, unsigned char* out, int index, bool raw);
    // The public key octets of signer `index`'s certificate (RSA: the
    // RSAPublicKey SEQUENCE; EC: the subjectPublicKey BIT STRING) to `out`.
    // 0, or -94.
    static int GetSignerRSAKey(unsigned char* der, unsigned char* out, int index);
    // Key size in bits of that certificate; -1 when not found.
    static int GetSignerRSAKeySize(unsigned char* der, int index);
    // Length of the first signer's signature value in a message of the
    // builder's layout, with *offset set to where the value starts. -22 for
    // a message of another layout.
    static int GetRSAKeySize(unsigned char* der, unsigned long* offset);

    // ---- content types ----------------------------------------------------------
    // 0 for every content type but encryptedData, which gives -22.
    static int GetCipherCertNum(unsigned char* der, unsigned long len);
    // 0 for signedAndEnvelopedData or unparsable input; -22 for any other type.
    static int isEnveloped(unsigned char* der, unsigned long len);

    // ---- verification ---------------------------------------------------------
    // Verifies the first signer's signature over the attached content,
    // without certificate checks. 0 valid, -22 otherwise.
    static int Verify(unsigned char* der, unsigned long len);
    // Verifies the first signer against the detached `content` (null or
    // empty: the attached content), without certificate checks; plain ECDSA
    // (0.4.0.127.0.7.1.1.4.1, r‖s) is checked by hand. 0 valid, -22 otherwise.
    static int VerifyCMS(unsigned char* der, unsigned long len, unsigned char* content,
                         unsigned long contentLen);

    // ---- time stamps ------------------------------------------------------------
    // Appends `token` as the unsigned attribute id-aa-timeStampToken to the
    // only SignerInfo of a DER SignedData, in place: any length forms, with
    // or without encapsulated content, certificates, CRLs or unsigned
    // attributes. Every enclosing length is rewritten, growing a length
    // field where the new length needs it. The buffer must have room for
    // *len + 25 + tokenLen octets; *len is the message length and becomes
    // the new one. On the builder's layout the output is the 25-octet
    // attribute header and the token at the end, with the five two-octet
    // lengths patched. 0, or -22 (nothing written) for a message that is
    // not such a SignedData (indefinite lengths included), a token that is
    // not one DER element, or a result that needs more room than that.
    static int AddTimeStamp(unsigned char* der, unsigned long* len, unsigned char* token,
                            unsigned long tokenLen);
    // UTCTime or GeneralizedTime to seconds since 1970 (fields read as local
    // time, offset applied); 0 for a null or malformed time.
    static __int64 getTimeFromASN1(const asn1_string_st* t);

    // ---- entry points kept for the interface --------------------------------------
    static bool FindQualifiedSC(unsigned char* der, unsigned long len);                  // false
    static int GetAttrCert(unsigned char* der, unsigned long len, int index,
                           unsigned char** out, unsigned long* outLen);                   // 0
    static int GetAttrCertNum(unsigned char* der, unsigned long len);                     // 0
    static int GetCRL(unsigned char* der, unsigned long len, int index, unsigned char** out,
                      unsigned long* outLen);                                             // 0
    static int GetCRLNum(unsigned char* der, unsigned long len);                          // 0
    static int GetCert(unsigned char* der, unsigned long len, int index, unsigned char** out,
                       unsigned long* outLen);                                            // 0
    static int GetCertChainSize(unsigned char* der, unsigned long len);                   // 0
    static int GetNum(unsigned char* der, unsigned long len);                             // 0
    static int GetParam(unsigned char* der, unsigned long len, int index, unsigned char** out,
                        unsigned long* outLen);                                           // 0
    static int GetCipherCert(unsigned char* der, unsigned long len, int index,
                             unsigned char** out, unsigned long* outLen);                 // -22
    // An empty result buffer (*outLen 0); null when unparsable or not signedData.
    static unsigned char* GetHashFromSignature(unsigned char* der, unsigned long len,
                                               unsigned long* outLen);
    static int GetTimestampBlob(unsigned char* der, unsigned long len, unsigned char** out,
                                unsigned long* outLen);                                   // -1

    static kivo::LoggerPtr m_logger;
};
