// kivocrypto cert: every field of a certificate or attribute certificate,
// as the library's getters and renderers give it.

#include "tools/kivocrypto/Commands.h"
#include "tools/kivocrypto/DerInput.h"

#include "CertInfoSSL.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace kivocrypto {
namespace {

void printCertUsage(std::ostream& out) {
    out << "usage: kivocrypto cert FILE\n"
           "\n"
           "Prints every field of an X.509 certificate or an attribute\n"
           "certificate (PEM or DER): names, serial, validity, public key,\n"
           "extensions and attributes rendered by the library.\n";
}

// The getters take non-const pointers; they never write through them.
struct Der {
    unsigned char* data;
    unsigned long length;
};

void field(const char* label, const std::string& value) {
    std::printf("  %-22s %s\n", label, value.c_str());
}

std::string text(const char* value) { return value != nullptr ? value : ""; }

void printExtensions(Der d, int count, char* (*oidOf)(unsigned char*, unsigned long, int),
                     char* (*valueOf)(unsigned char*, unsigned long, int)) {
    std::printf("  Extensions (%d):\n", count);
    for (int i = 0; i < count; ++i) {
        const std::string oid = text(oidOf(d.data, d.length, i));
        const std::string value = text(valueOf(d.data, d.length, i));
        std::printf("    %-24s %s\n", oid.c_str(), value.empty() ? "(not rendered)" : value.c_str());
    }
}

void printCertificate(Der d) {
    std::printf("X.509 certificate\n");
    field("Version:", text(CCertInfo::getVersion(d.data, d.length)));
    field("Serial:", text(CCertInfo::getSerialNum(d.data, d.length)));
    field("Signature algorithm:", text(CCertInfo::getSignaturOID(d.data, d.length)));
    field("Issuer:", text(CCertInfo::getIssuer(d.data, d.length)));
    field("Subject:", text(CCertInfo::getSubject(d.data, d.length)));
    field("Not before:", formatLibraryTime(CCertInfo::getNotBefore(d.data, d.length)));
    field("Not after:", formatLibraryTime(CCertInfo::getNotAfter(d.data, d.length)));
    const std::string keyOid = text(CCertInfo::getPkOID(d.data, d.length));
    field("Public key algorithm:", keyOid);
    field("Key size (bits):", std::to_string(CCertInfo::getPkLen(d.data, d.length)));
    const bool ec = keyOid == "1.2.840.10045.2.1";
    field(ec ? "Point:" : "Modulus:", text(CCertInfo::getPkMod(d.data, d.length)));
    field(ec ? "Curve:" : "Exponent:", text(CCertInfo::getPkExp(d.data, d.length)));
    printExtensions(d, CCertInfo::getExtensionNum(d.data, d.length), CCertInfo::getExtensionOID,
                    CCertInfo::getExtensionValue);
    field("Signature:", text(CCertInfo::getCertSigOID(d.data, d.length)));
    field("Signature value:", text(CCertInfo::getCertSigValue(d.data, d.length)));
}

void printAttributeCertificate(Der d) {
    std::printf("Attribute certificate\n");
    field("Serial:", text(CCertInfo::A_getSerial(d.data, d.length)));
    field("Signature algorithm:", text(CCertInfo::A_getSignatureOID(d.data, d.length)));
    field("Issuer:", text(CCertInfo::A_getIssuer(d.data, d.length)));
    field("Holder:", text(CCertInfo::A_getSubject(d.data, d.length)));
    field("Holder serial:", text(CCertInfo::A_getSubjectSerial(d.data, d.length)));
    field("Not before:", formatLibraryTime(CCertInfo::A_getNotBefore(d.data, d.length)));
    field("Not after:", formatLibraryTime(CCertInfo::A_getNotAfter(d.data, d.length)));
    const int attributes = CCertInfo::A_getAttributeNum(d.data, d.length);
    std::printf("  Attributes (%d):\n", attributes);
    for (int i = 0; i < attributes; ++i) {
        const std::string oid = text(CCertInfo::A_getAttributeOID(d.data, d.length, i));
        const std::string value = text(CCertInfo::A_getAttributeValue(d.data, d.length, i));
        std::printf("    %-24s %s\n", oid.c_str(), value.empty() ? "(not rendered)" : value.c_str());
    }
    printExtensions(d, CCertInfo::A_getExtensionNum(d.data, d.length), CCertInfo::A_getExtensionOID,
                    CCertInfo::A_getExtensionValue);
}

}  // namespace

int runCert(const Arguments& arguments) {
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
        printCertUsage(std::cout);
        return kExitOk;
    }
    if (arguments.size() != 1 || (arguments[0].size() > 1 && arguments[0][0] == '-')) {
        printError("cert: expects one FILE (see kivocrypto cert --help)");
        return kExitUsage;
    }
    DerInput input = readDerOrPem(arguments[0]);
    if (!input.error.empty()) {
        printError(arguments[0] + ": " + input.error);
        return kExitFailure;
    }
    Der d{input.der.data(), static_cast<unsigned long>(input.der.size())};
    // A public-key certificate has a subjectPublicKeyInfo; an attribute
    // certificate has none but a serial number of its own.
    if (!text(CCertInfo::getPkOID(d.data, d.length)).empty()) {
        printCertificate(d);
    } else if (!text(CCertInfo::A_getSerial(d.data, d.length)).empty()) {
        printAttributeCertificate(d);
    } else {
        printError(arguments[0] + ": neither a certificate nor an attribute certificate");
        return kExitFailure;
    }
    std::fflush(stdout);
    return kExitOk;
}

}  // namespace kivocrypto
