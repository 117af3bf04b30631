// CCertInfo: certificate fields read from DER, the certificate object and the trust store.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

#include <string>

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

    // Folder of the trust store; "unset" until the store is initialised.
    static std::string m_storePath;

    static kivo::LoggerPtr m_logger;
};
