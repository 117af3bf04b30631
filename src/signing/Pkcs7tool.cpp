// The SignedData builder: assembly through the DER classes, signing of the
// signed attributes and raw signing with the call's signing key.

#include "src/signing/Pkcs7tool.h"

#include "asn1/CmsPkcs7.h"
#include "src/signing/SigningKey.h"
#include "src/signing/SigningResults.h"

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <algorithm>
#include <vector>

using kivo::asn1::Id;

namespace {

using kivo::signing::kNoCertificate;
using kivo::signing::kSignFailed;
constexpr int kContentTypeSignedData = 2;

// The signature input of signed attributes: their DER with the [0]
// IMPLICIT tag replaced by the SET OF tag.
std::vector<unsigned char> signatureInput(const CAsn1Base& signedAttributes) {
    std::vector<unsigned char> input(signedAttributes.getPb(),
                                     signedAttributes.getPb() + signedAttributes.getCb());
    if (!input.empty()) input[0] = kivo::asn1::octet(Id::Set);
    return input;
}

}  // namespace

CPkcs7tool::CPkcs7tool() : m_container(std::make_unique<CAsn1_Pkcs7>()) {}

CPkcs7tool::~CPkcs7tool() = default;

int CPkcs7tool::BuildSignedData(x509_st* signerCert, int hash, const unsigned char* content,
                                unsigned long contentLen, timeb* signingTime, bool embedContent,
                                unsigned long* encodedLen, _ASN1_CERT_BLOB* extraCerts,
                                int extraCount) {
    if (signerCert == nullptr) return kNoCertificate;
    m_hash = hash;
    m_content = content;
    m_contentLen = contentLen;
    m_container->setContentTypeCode(kContentTypeSignedData);
    m_container->setSignatureScheme(m_keyKind);
    m_container->setSigningKeyOctets(m_signingKeyOctets);

    unsigned char* certificateDer = nullptr;
    const int certificateLen = i2d_X509(signerCert, &certificateDer);
    if (certificateLen <= 0) return kNoCertificate;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> certificateOwner(
        certificateDer, [](unsigned char* der) { OPENSSL_free(der); });

    // A negative count or no array means no further certificates. An
    // entry without bytes, like any other failure of the assembly, leaves
    // the container unbuilt: the result stays 0 (only the signer
    // certificate gives -300) and the signing step then fails.
    std::vector<std::unique_ptr<CAsn1_Cert>> extras;
    std::vector<const CAsn1Base*> extraViews;
    for (int i = 0; extraCerts != nullptr && i < extraCount; ++i) {
        extras.push_back(std::make_unique<CAsn1_Cert>(extraCerts[i].pbData, extraCerts[i].cbData));
        extraViews.push_back(extras.back().get());
    }

    const std::int64_t seconds = signingTime != nullptr ? signingTime->time : 0;
    m_container->createSignedData(certificateDer, static_cast<std::size_t>(certificateLen), hash, content,
                                  contentLen, signingTime != nullptr ? &seconds : nullptr, embedContent,
                                  m_cadesLevel, m_signatureAlgorithmOid, extraViews, m_knownContentDigest);
    if (encodedLen != nullptr) *encodedLen = GetEncodedLength();
    return 0;
}

int CPkcs7tool::SignAttributes(int signerIndex, const kivo::signing::SigningKey* key,
                               unsigned char* sigBuffer, std::size_t sigRoom) {
    if (key == nullptr || sigBuffer == nullptr || signerIndex < 0) return kSignFailed;
    const CAsn1_AuthAttributes* attributes =
        m_container->getSignerSignedAttributes(static_cast<std::size_t>(signerIndex));
    if (attributes == nullptr || attributes->getPb() == nullptr || attributes->getCb() == 0) {
        return kSignFailed;
    }
    const std::vector<unsigned char> input = signatureInput(*attributes);
    // An ECDSA signature algorithm makes the container store r‖s as DER;
    // under any other (the key's own OID) the DER goes in as it is.
    std::size_t signatureLen = sigRoom;
    if (!key->signInput(input.data(), input.size(), m_hash, signerHasEcdsaAlgorithm(signerIndex),
                        sigBuffer, &signatureLen) ||
        !m_container->setSignerSignature(static_cast<std::size_t>(signerIndex), sigBuffer,
                                         signatureLen)) {
        return kSignFailed;
    }
    return 0;
}

int CPkcs7tool::SignRaw(const unsigned char* data, int len, const kivo::signing::SigningKey* key,
                        unsigned char* out, unsigned long* outLen, int hash, bool dataIsDigest,
                        bool cardFlag) {
    if (key == nullptr || out == nullptr || len < 0 || (data == nullptr && len != 0)) {
        return kSignFailed;
    }
    return key->signRaw(data, static_cast<std::size_t>(len), hash, dataIsDigest, cardFlag, out, outLen);
}

bool CPkcs7tool::signerHasEcdsaAlgorithm(int signerIndex) const {
    const CAsn1_Pkcs7_Sd* signedData = m_container->signedData();
    const CAsn1_SignerInfo* signer =
        signedData != nullptr ? signedData->getSignerInfo(static_cast<std::size_t>(signerIndex)) : nullptr;
    return signer != nullptr && signer->isEcSignature();
}

const unsigned char* CPkcs7tool::GetEncoded() const { return m_container->getPb(); }

unsigned long CPkcs7tool::GetEncodedLength() const { return m_container->getCb(); }
