// CVerifyMsg: verification of CMS/PKCS#7 and PKCS#1 signatures.
//
// CheckSignDetached runs every check the caller asks for and returns the
// bitwise OR of the codes of the checks that failed; 0 means that every
// requested check passed. Nothing survives a call: the container, the trust
// store, the store context, CRLs and OCSP objects are made and freed within
// it. The library-wide trust store of CCertInfo is not used.
//
// Times: the verification time is a struct timeb of which only the whole
// seconds count. Certificate and CRL times are read the library's way
// (their UTC fields taken as local standard time) and compared with the
// local broken-down verification time field by field, year to second; the
// comparisons agree with UTC when the process runs with TZ=UTC.
#pragma once

#include "KivoExport.h"

#include <sys/timeb.h>

#include <string>

class KIVO_API CVerifyMsg {
public:
    CVerifyMsg();
    CVerifyMsg(const CVerifyMsg& other);
    CVerifyMsg& operator=(const CVerifyMsg& other);
    virtual ~CVerifyMsg();

    // ---- checks (the `checks` bit mask) ----------------------------------------
    // The signature over the content (OpenSSL's PKCS#7 verification, the
    // signer certificate taken from the container and not verified).
    static constexpr unsigned int cCheckSignature = 0x01;
    // The signer's chain against a trust store made of `caFile`/`caPath`
    // (certificates carried in the container are not used), then the
    // validity periods along the chain by `validityModel`.
    static constexpr unsigned int cCheckChain = 0x04;
    // The signer certificate is valid at `verifyTime` (only with a time).
    static constexpr unsigned int cCheckSignerValidity = 0x08;
    // The revocation status of the signer certificate, by `crlMode`.
    static constexpr unsigned int cCheckRevocation = 0x10;

    // ---- revocation sources (`crlMode`; the lowest set bit counts) ------------
    static constexpr unsigned int cCrlOpenSSL = 0x01;        // OpenSSL's CRL checking in the trust store
    static constexpr unsigned int cCrlDistribution = 0x02;   // distribution points read, nothing checked
    static constexpr unsigned int cCrlDirectory = 0x04;      // every "*.crl" file in the directory `crlSource`
    static constexpr unsigned int cCrlOcsp = 0x08;           // OCSP at `crlSource`, else the certificate's URL

    // ---- validity models (`validityModel`) ------------------------------------
    // Chain model: each issuer must be valid when its subject became valid.
    // Any other value is the shell model: every certificate must be valid
    // at the reference time.
    static constexpr int cChainModel = 1;

    // ---- result codes (OR-combined) -------------------------------------------
    static constexpr unsigned int cSignatureInvalid = 0x80000001;
    static constexpr unsigned int cRevoked = 0x80000004;
    static constexpr unsigned int cOcspCommunication = 0x80000200;
    static constexpr unsigned int cSignerNotValid = 0x80004000;
    static constexpr unsigned int cChainNotValid = 0x80008000;
    static constexpr unsigned int cNoTrustedChain = 0x80010000;
    static constexpr unsigned int cOcspNoUrl = 0x80080000;
    // In the OpenSSL CRL mode the return value of OpenSSL's chain
    // verification with CRL checking is OR-ed in as it is: 1 when it passed.
    static constexpr unsigned int cOpenSSLCrlPassed = 0x00000001;

    // ---- strict verification policy (process-wide, default off) ----------------
    // By default the checks keep the library's long-standing rules, which
    // existing hosts rely on but which can mislead:
    //  - the chain check fails only when an issuer is missing (OpenSSL
    //    errors 2 and 20), so a self-signed signer outside the trust store, a
    //    certificate whose signature does not verify, a CA certificate
    //    without the CA flag, a path-length or name-constraint violation or
    //    an unknown critical extension all pass;
    //  - a GeneralizedTime is read by the two-digit year rule, so a notAfter
    //    of 2050 reads as 1950 and 99991231235959Z ("no expiry") as 1999;
    //  - the CRL directory mode matches serial numbers against every CRL,
    //    whoever issued or signed it.
    // Under the strict policy every chain error OpenSSL reports sets
    // cNoTrustedChain, except the validity-period errors, which the validity
    // steps judge by their model; the validity steps read four-digit years
    // as written (a date past what time_t holds is "no expiry"); and a CRL
    // counts for a certificate only when the certificate's issuer issued it
    // and its signature verifies with that issuer's key from the trust
    // store (CRLs not used are listed by GetIgnoredCrls). The policy also
    // governs CCrlSSL::FindCertInCrl. Safe to set from any thread; set it
    // before verifications start.
    static void SetStrictPolicy(bool strict);
    static bool GetStrictPolicy();

    // What the last CheckSignDetached (or CCrlSSL::FindCertInCrl) call on
    // the calling thread learned besides its result code, under either
    // policy:
    //  - the OpenSSL verification error (X509_V_ERR_*, 0 when none) of its
    //    chain check and OpenSSL's text for it; a validity-period error is
    //    not reported here, the validity steps judge those. OpenSSL's
    //    "invalid CA certificate" is reported as X509_V_ERR_KEYUSAGE_NO_CERTSIGN
    //    when the certificate has the CA flag but its key usage lacks
    //    keyCertSign;
    //  - the CRLs the strict policy did not use, one "CRL: reason" line each.
    static int GetLastChainError();
    static std::string GetLastChainErrorText();
    static std::string GetIgnoredCrls();

    // Verifies the DER PKCS#7/CMS SignedData `signature`.
    //  attached       1: the content is inside the signature; any other
    //                 value: the content is `data`/`dataLen` (null with
    //                 length 0 is empty content), also when the container
    //                 carries content of its own
    //  checks         cCheck* bits; 0 gives 0 whatever the input
    //  crlMode        cCrl* bits, for cCheckRevocation
    //  crlSource      the CRL directory (cCrlDirectory) or the OCSP
    //                 responder URL (cCrlOcsp; null: the certificate's own)
    //  errorText      not written
    //  verifyTime     the verification time; null: see below
    //  unused         not used
    //  validityModel  cChainModel or the shell model
    //  caFile, caPath the trust store's PEM file of certificates (and CRLs)
    //                 and hashed certificate directory; null selects
    //                 OpenSSL's default locations
    // Without `verifyTime` the chain check uses the first signed attribute
    // holding a UTCTime (the signing time), or the current time when the
    // signer has signed attributes but none of them is a UTCTime; without
    // signed attributes it is skipped. The CRL and OCSP revocation-time
    // comparisons use the current time then. The revocation check in the
    // OpenSSL CRL and OCSP modes builds its own trust store and context when
    // cCheckChain is not asked for; a store that cannot be built gives
    // cNoTrustedChain. A container without a usable signer certificate
    // fails every requested check that needs it (chain: cNoTrustedChain,
    // signer validity: cSignerNotValid, revocation: cNoTrustedChain).
    int CheckSignDetached(unsigned char* signature, unsigned int signatureLen, int attached,
                          unsigned char* data, unsigned int dataLen, unsigned int checks,
                          unsigned int crlMode, char* crlSource, char* errorText,
                          struct timeb* verifyTime, int unused, int validityModel,
                          const char* caFile, const char* caPath);

    // Verifies a bare RSA PKCS#1 v1.5 signature of `data` made with the key
    // of the DER certificate `cert`: the hash inside the signature must equal
    // the hash of `data` by the algorithm its DigestInfo names (SHA-1 when it
    // names none). Hashes of different lengths never count as equal. Sets
    // the first byte of `errorText` (when not null) to 0; the other
    // arguments are not used. 0, or cSignatureInvalid.
    int CheckSignPKCS1Detached(unsigned char* signature, unsigned int signatureLen,
                               unsigned char* cert, unsigned int certLen, unsigned char* data,
                               unsigned int dataLen, unsigned int unusedFlags,
                               unsigned long unusedLength, char* unusedText, char* errorText,
                               struct timeb* verifyTime, int unused1, int unused2,
                               const char* caFile, const char* caPath);
};
