// One DER class decoding arbitrary bytes, then re-encoding what it read.
// Built once per class (KIVO_FUZZ_CLASS names it), as fuzz_<class>.
#include "fuzz/FuzzInput.h"

#include "asn1/Asn1Primitives.h"
#include "asn1/CmsAlgorithm.h"
#include "asn1/CmsAttributes.h"
#include "asn1/CmsCertificate.h"
#include "asn1/CmsEnvelopedData.h"
#include "asn1/CmsPkcs7.h"
#include "asn1/CmsSignedData.h"

#include <type_traits>

#ifndef KIVO_FUZZ_CLASS
#error "KIVO_FUZZ_CLASS must name the class to fuzz"
#endif

namespace {

using Fuzzed = KIVO_FUZZ_CLASS;

// A whole message also goes through the signer accessors and a signature
// replacement, the way the builder and the inspection use it.
[[maybe_unused]] void exerciseMessage(CAsn1_Pkcs7& message, const unsigned char* data, std::size_t size) {
    (void)message.getContentTypeCode();
    for (std::size_t signer = 0; signer < 2; ++signer) {
        (void)message.getSignerSignedAttributes(signer);
        (void)message.getSignerSignature(signer, false);
        (void)message.getSignerSignature(signer, true);
    }
    const std::size_t signatureLength = size < 64 ? size : 64;
    (void)message.setSignerSignature(0, data, signatureLength);
}

template <typename Object>
void exerciseAccessors(Object& object, const unsigned char* data, std::size_t size) {
    if constexpr (std::is_same_v<Object, CAsn1_Pkcs7>) exerciseMessage(object, data, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kivo::fuzz::ExactCopy input(data, size);
    Fuzzed object(input.data(), input.size());
    (void)object.getError();
    (void)object.getElementSize();
    exerciseAccessors(object, input.data(), input.size());
    if (object.getError() == 0) {
        (void)object.encode();
        // Reads every octet the object claims to hold: a length that
        // disagrees with the buffer shows up under AddressSanitizer.
        kivo::fuzz::ExactCopy encoded(object.getPb(), object.getCb());
        (void)encoded;
    }
    return 0;
}
