// StarCos 3.5: as StarCos 3.4, with a DF select that takes up to 255 bytes
// of control information (Le FF), GET DATA in the proprietary class A0,
// and signing with PSO COMPUTE DIGITAL SIGNATURE after an MSE SET that is
// sent only when the key or algorithm differs from the environment the
// card already holds. RSA-PSS is computed by the card from the plain hash.
#pragma once

#include "smartcard/profiles/SC_Profile_StarCos34.h"

class CSC_Profile_StarCos35 : public CSC_Profile_StarCos34 {
public:
    // A0 CA P1 P2 00: the whole object (up to 256 bytes), whatever Le the
    // caller names.
    CardResult GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out, std::uint16_t le) override;
    CardResult SCSelectMF() override;
    CardResult SCSelectDF(const std::uint8_t* fid, std::uint32_t length) override;
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    // PSS: the plain hash, checked against the hash's length (the card
    // encodes it); anything else as the base builds it.
    CardResult BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                               const std::uint8_t* hash, std::uint32_t hashLength, Bytes& out,
                               bool pad) override;
    // Whether the card holds a signature environment this profile set.
    bool SecurityEnvironmentSet() const { return m_securityEnvironmentSet; }

protected:
    const char* ProfileName() const override { return "CSC_Profile_StarCos35"; }
    // MSE SET of the digital signature template for `keyReference` and
    // `algorithm`, unless the card already holds exactly that environment.
    CardResult SetSignatureEnvironment(std::uint8_t keyReference, std::uint32_t algorithm);
    // The card's environment is no longer known (failure, other folder).
    void ForgetSecurityEnvironment();
    // Called with the status word in SW1/SW2 when the card refused to sign.
    virtual void SignatureRefused() {}

private:
    // MSE SET when needed, then PSO COMPUTE DIGITAL SIGNATURE of `block`;
    // a refusal forgets the environment.
    CardResult SignWithEnvironment(const Bytes& block, std::uint8_t keyReference,
                                   std::uint32_t algorithm, Bytes& signature);

    bool m_securityEnvironmentSet = false;
    Bytes m_environment;  // the MSE SET data the card accepted last
};
