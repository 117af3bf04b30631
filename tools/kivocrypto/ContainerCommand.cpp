// kivocrypto inspect: what a signature container holds.

#include "tools/kivocrypto/Commands.h"
#include "tools/kivocrypto/DerInput.h"

#include "CertInfoSSL.h"
#include "PKCS7SSL.h"

#include <openssl/bio.h>
#include <openssl/cms.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace kivocrypto {
namespace {

void printInspectUsage(std::ostream& out) {
    out << "usage: kivocrypto inspect FILE\n"
           "\n"
           "Prints what a CMS/PKCS#7 signature container (PEM or DER) holds:\n"
           "its signers, certificates, digest algorithm, signing time,\n"
           "message digest, content and whether a time stamp is attached.\n";
}

std::string hexOf(const unsigned char* bytes, unsigned long count) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned long i = 0; i < count; ++i) {
        text.push_back(kHex[bytes[i] >> 4]);
        text.push_back(kHex[bytes[i] & 0xF]);
    }
    return text;
}

std::string text(const char* value) { return value != nullptr ? value : ""; }

// Subject, issuer and serial of a certificate, indented.
void printCertificateSummary(std::vector<unsigned char>& cert, const char* indent) {
    unsigned char* data = cert.data();
    const unsigned long length = static_cast<unsigned long>(cert.size());
    std::printf("%sSubject: %s\n", indent, text(CCertInfo::getSubject(data, length)).c_str());
    std::printf("%sIssuer:  %s\n", indent, text(CCertInfo::getIssuer(data, length)).c_str());
    std::printf("%sSerial:  %s\n", indent, text(CCertInfo::getSerialNum(data, length)).c_str());
}

// Signers that carry an RFC 3161 time-stamp token as unsigned attribute.
int signersWithTimeStamp(const std::vector<unsigned char>& der) {
    BIO* bio = BIO_new_mem_buf(der.data(), static_cast<int>(der.size()));
    CMS_ContentInfo* cms = bio != nullptr ? d2i_CMS_bio(bio, nullptr) : nullptr;
    int count = 0;
    if (cms != nullptr) {
        STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
        for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i) {
            CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, i);
            if (CMS_unsigned_get_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, -1) >= 0) ++count;
        }
    }
    CMS_ContentInfo_free(cms);
    BIO_free(bio);
    return count;
}

void printSigners(std::vector<unsigned char>& der) {
    unsigned char* data = der.data();
    const unsigned long length = static_cast<unsigned long>(der.size());
    const int signers = CPKCS7SSL::GetSignerCertNum(data, length);
    std::printf("Signers: %d\n", signers);
    for (int i = 0; i < signers; ++i) {
        std::vector<unsigned char> cert(der.size());
        unsigned char* out = cert.data();
        unsigned long certLength = 0;
        std::printf("  [%d]\n", i);
        if (CPKCS7SSL::GetSignerCert(data, length, i, &out, &certLength) != 0) {
            std::printf("    (certificate not in the container)\n");
            continue;
        }
        cert.resize(certLength);
        printCertificateSummary(cert, "    ");
    }
}

void printCertificates(std::vector<unsigned char>& der) {
    unsigned char* data = der.data();
    const unsigned long length = static_cast<unsigned long>(der.size());
    const int certificates = CPKCS7SSL::GetNCertNum(data, length);
    std::printf("Certificates: %d\n", certificates);
    for (int i = 0; i < certificates; ++i) {
        std::vector<unsigned char> cert(der.size());
        unsigned char* out = cert.data();
        unsigned long certLength = 0;
        if (CPKCS7SSL::GetNCert(data, length, i, &out, &certLength) != 0) continue;
        cert.resize(certLength);
        std::printf("  [%d]\n", i);
        printCertificateSummary(cert, "    ");
    }
}

void printSignedAttributes(std::vector<unsigned char>& der) {
    unsigned char* data = der.data();
    const unsigned long length = static_cast<unsigned long>(der.size());
    unsigned long oidLength = 0;
    std::printf("Digest algorithm: %s\n",
                text(CPKCS7SSL::GetHashAlgo(data, length, 0, &oidLength)).c_str());
    const __int64 signingTime = CPKCS7SSL::GetSigningTime(data, length);
    std::printf("Signing time: %s\n", signingTime != 0 ? formatLibraryTime(signingTime).c_str() : "(none)");
    unsigned long hashLength = 0;
    const unsigned char* hash = CPKCS7SSL::GetHash(data, length, &hashLength);
    std::printf("Message digest: %s\n", hash != nullptr ? hexOf(hash, hashLength).c_str() : "(none)");
}

void printContent(std::vector<unsigned char>& der) {
    unsigned long contentLength = 0;
    unsigned char* none = nullptr;
    if (CPKCS7SSL::GetData(der.data(), static_cast<unsigned long>(der.size()), &none, &contentLength) == 0) {
        std::printf("Content: attached, %lu octets\n", contentLength);
    } else {
        std::printf("Content: detached\n");
    }
}

}  // namespace

int runInspect(const Arguments& arguments) {
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
        printInspectUsage(std::cout);
        return kExitOk;
    }
    if (arguments.size() != 1 || (arguments[0].size() > 1 && arguments[0][0] == '-')) {
        printError("inspect: expects one FILE (see kivocrypto inspect --help)");
        return kExitUsage;
    }
    DerInput input = readSignedContainer(arguments[0]);
    if (!input.error.empty()) {
        printError(arguments[0] + ": " + input.error);
        return kExitFailure;
    }
    std::vector<unsigned char>& der = input.der;
    const bool timeStampToken = CPKCS7SSL::IsTimestamp(der.data(), static_cast<unsigned long>(der.size()));
    std::printf("Type: %s\n", timeStampToken ? "RFC 3161 time-stamp token" : "signedData");
    std::printf("Version: %d\n", CPKCS7SSL::GetVersion(der.data(), static_cast<unsigned long>(der.size())));
    printContent(der);
    printSignedAttributes(der);
    printSigners(der);
    printCertificates(der);
    const int stamped = signersWithTimeStamp(der);
    std::printf("Time stamp: %s\n", stamped > 0 ? "present" : "none");
    std::fflush(stdout);
    return kExitOk;
}

}  // namespace kivocrypto
