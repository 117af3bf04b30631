// CCertInfoSC: what the card key layer needs to know about the certificate
// of a card entry, read from its DER: the key algorithm, told by the OID of
// the certificate's public key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CCertInfoSC {
public:
    enum class KeyAlgorithm { Unknown, Rsa, Ec };

    static constexpr std::string_view cRsaOid = "1.2.840.113549.1.1.1";
    static constexpr std::string_view cEcOid = "1.2.840.10045.2.1";

    // Parses `der`; a certificate that does not parse gives an empty OID
    // and KeyAlgorithm::Unknown.
    explicit CCertInfoSC(const std::vector<std::uint8_t>& der);

    const std::string& PublicKeyOid() const { return m_publicKeyOid; }
    KeyAlgorithm GetKeyAlgorithm() const { return AlgorithmOfOid(m_publicKeyOid); }

    static KeyAlgorithm AlgorithmOfOid(std::string_view oid);

private:
    std::string m_publicKeyOid;
};
