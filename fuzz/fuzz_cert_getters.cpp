// Every static getter of CCertInfo, both the certificate and the
// attribute-certificate families, on arbitrary bytes; the indexed ones for
// the first entries. Each returned text is read to its end and a returned
// key element through its reported size, so that a result outside its
// buffer or the input shows up under AddressSanitizer.
#include "fuzz/FuzzInput.h"

#include "CertInfoSSL.h"

#include <cstring>

namespace {

volatile std::size_t g_sink;

void read(const char* text) {
    if (text != nullptr) g_sink = g_sink + std::strlen(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kivo::fuzz::ExactCopy input(data, size);
    unsigned char* p = input.data();
    const unsigned long n = input.size();

    read(CCertInfo::getVersion(p, n));
    read(CCertInfo::getSignaturOID(p, n));
    read(CCertInfo::getCertSigOID(p, n));
    read(CCertInfo::getCertSigValue(p, n));
    read(CCertInfo::getIssuer(p, n));
    read(CCertInfo::S_getIssuerName(p, n));
    read(CCertInfo::getSubject(p, n));
    read(CCertInfo::getSerialNum(p, n));
    read(CCertInfo::S_getSerial(p, n));
    g_sink = g_sink + static_cast<std::size_t>(CCertInfo::getNotBefore(p, n));
    g_sink = g_sink + static_cast<std::size_t>(CCertInfo::getNotAfter(p, n));
    read(CCertInfo::getPkOID(p, n));
    read(CCertInfo::getPkMod(p, n));
    read(CCertInfo::getPkExp(p, n));
    g_sink = g_sink + static_cast<std::size_t>(CCertInfo::getPkLen(p, n));
    if (const unsigned char* key = CCertInfo::getPublicKey(p, n)) {
        const int keySize = CCertInfo::getPublicKeySize(p, n);
        for (int i = 0; i < keySize; ++i) g_sink = g_sink + key[i];
    }
    g_sink = g_sink + static_cast<std::size_t>(CCertInfo::getPublicKeyBits(p, n));
    g_sink = g_sink + static_cast<std::size_t>(CCertInfo::getExtensionNum(p, n));

    read(CCertInfo::A_getSubject(p, n));
    read(CCertInfo::A_getSubjectSerial(p, n));
    read(CCertInfo::A_getIssuer(p, n));
    read(CCertInfo::A_getSerial(p, n));
    read(CCertInfo::A_getSignatureOID(p, n));
    g_sink = g_sink + static_cast<std::size_t>(CCertInfo::A_getNotBefore(p, n));
    g_sink = g_sink + static_cast<std::size_t>(CCertInfo::A_getNotAfter(p, n));
    g_sink = g_sink + static_cast<std::size_t>(CCertInfo::A_getAttributeNum(p, n));
    g_sink = g_sink + static_cast<std::size_t>(CCertInfo::A_getExtensionNum(p, n));

    for (int index = 0; index <= 3; ++index) {
        read(CCertInfo::getExtensionOID(p, n, index));
        read(CCertInfo::getExtensionValue(p, n, index));
        read(CCertInfo::A_getAttributeOID(p, n, index));
        read(CCertInfo::A_getAttributeValue(p, n, index));
        read(CCertInfo::A_getExtensionOID(p, n, index));
        read(CCertInfo::A_getExtensionValue(p, n, index));
    }
    return 0;
}
