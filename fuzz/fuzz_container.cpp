// Every CPKCS7SSL member that reads a message, and the CCms wrapper, on
// arbitrary bytes. Caller buffers are as large as the input, as the
// library's own callers size them; the members that take no length are
// called only when the input's outer header claims no more than is there,
// since they read the length from it.
#include "fuzz/FuzzInput.h"

#include "CmsSSL.h"
#include "PKCS7SSL.h"
#include "asn1/Asn1Der.h"

#include <openssl/asn1.h>

#include <algorithm>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// A DER SEQUENCE of 304 octets, the token AddTimeStamp appends.
Bytes token() {
    Bytes t = {0x30, 0x82, 0x01, 0x2C};
    t.resize(304, 0x5A);
    return t;
}

void lengthMembers(unsigned char* der, unsigned long len) {
    Bytes buffer(std::max<unsigned long>(len, 1));
    unsigned char* out = buffer.data();
    unsigned long outLen = len;
    for (int index = 0; index < 2; ++index) {
        CPKCS7SSL::GetSignerCert(der, len, index, &out, &outLen);
        CPKCS7SSL::GetSignerCertEx(der, len, index, &out, &outLen);
        CPKCS7SSL::GetNCert(der, len, index, &out, &outLen);
        CPKCS7SSL::GetSignedAttrCert(der, len, index, &out, &outLen);
        CPKCS7SSL::GetHashAlgo(der, len, index, &outLen);
    }
    CPKCS7SSL::GetSignerCertNum(der, len);
    CPKCS7SSL::GetNCertNum(der, len);
    CPKCS7SSL::GetSignedAttrCertNum(der, len);
    outLen = len;
    CPKCS7SSL::GetData(der, len, nullptr, &outLen);
    outLen = len;
    CPKCS7SSL::GetData(der, len, &out, &outLen);
    CPKCS7SSL::GetHash(der, len, &outLen);
    CPKCS7SSL::GetTimestampHash(der, len, &outLen);
    CPKCS7SSL::GetHashAlgoPkcs1(der, len, 0, &outLen);
    CPKCS7SSL::GetVersion(der, len);
    CPKCS7SSL::GetSigningTime(der, len);
    CPKCS7SSL::IsTimestamp(der, len);
    CPKCS7SSL::GetCipherCertNum(der, len);
    CPKCS7SSL::isEnveloped(der, len);
    CPKCS7SSL::GetHashFromSignature(der, len, &outLen);
    CPKCS7SSL::Verify(der, len);
    CPKCS7SSL::VerifyCMS(der, len, nullptr, 0);
    // The last quarter of the input as detached content.
    const unsigned long contentLen = len / 4;
    CPKCS7SSL::VerifyCMS(der, len - contentLen, der + len - contentLen, contentLen);
}

void headerMembers(unsigned char* der, std::size_t size) {
    if (size == 0 || kivo::asn1::elementSize(der, size) == 0) return;
    Bytes buffer(size);
    unsigned long outSize = 0;
    for (const bool raw : {false, true}) {
        if (CPKCS7SSL::GetSignatureBlobSize(der, &outSize, 0, raw) == 0 && outSize <= size) {
            CPKCS7SSL::GetSignatureBlob(der, buffer.data(), 0, raw);
        }
    }
    CPKCS7SSL::GetSignerRSAKey(der, buffer.data(), 0);
    CPKCS7SSL::GetSignerRSAKeySize(der, 0);
    unsigned long offset = 0;
    CPKCS7SSL::GetRSAKeySize(der, &offset);
}

void addTimeStamp(const std::uint8_t* data, std::size_t size) {
    Bytes t = token();
    Bytes room(size + 25 + t.size());
    std::copy(data, data + size, room.begin());
    // An exact-size block, so that a write past the room shows.
    kivo::fuzz::ExactCopy buffer(room.data(), room.size());
    unsigned long length = static_cast<unsigned long>(size);
    CPKCS7SSL::AddTimeStamp(buffer.data(), &length, t.data(), static_cast<unsigned long>(t.size()));
}

// The input split in two: signature and certificate.
void pkcs1(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return;
    const std::size_t split = (static_cast<std::size_t>(data[0]) << 8 | data[1]) % size;
    kivo::fuzz::ExactCopy sig(data, split);
    kivo::fuzz::ExactCopy cert(data + split, size - split);
    unsigned long hashLen = 0;
    int algo = 0;
    CPKCS7SSL::GetHashFromPKCS1Signature(sig.data(), sig.size(), cert.data(), cert.size(), &hashLen, &algo);
}

void times(const std::uint8_t* data, std::size_t size) {
    const int length = static_cast<int>(std::min<std::size_t>(size, 40));
    for (const int type : {V_ASN1_UTCTIME, V_ASN1_GENERALIZEDTIME}) {
        ASN1_STRING* time = ASN1_STRING_type_new(type);
        if (time != nullptr && ASN1_STRING_set(time, data, length) == 1) CPKCS7SSL::getTimeFromASN1(time);
        ASN1_STRING_free(time);
    }
}

void wrapper(unsigned char* der, std::size_t size) {
    CCms cms(der, static_cast<unsigned int>(size));
    CCms copy(cms);
    CCms assigned(nullptr, 0);
    assigned = copy;
    if (cms.getDataContent() != nullptr) {
        CCmsDataContent content(*cms.getDataContent());
        (void)content.getCbCmsData();
    }
    CCms::GetData(der, static_cast<unsigned int>(size), nullptr, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kivo::fuzz::ExactCopy input(data, size);
    lengthMembers(input.data(), input.size());
    headerMembers(input.data(), input.size());
    addTimeStamp(data, size);
    pkcs1(data, size);
    times(data, size);
    wrapper(input.data(), input.size());
    return 0;
}
