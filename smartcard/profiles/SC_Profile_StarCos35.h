// StarCos 3.5: as StarCos 3.4, with a DF select that takes up to 255 bytes
// of control information (Le FF), GET DATA in the proprietary class A0,
// and signing with PSO COMPUTE DIGITAL SIGNATURE after an MSE SET that is
// sent only when the key or algorithm differs from the environment the
// card already holds.
#pragma once

#include "smartcard/profiles/SC_Profile_StarCos34.h"

class CSC_Profile_StarCos35 : public CSC_Profile_StarCos34 {
public:
    // A0 CA P1 P2 00: the whole object (up to 256 bytes), whatever Le the
    // caller names.
    CardResult GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out, std::uint16_t le) override;
    CardResult SCSelectMF() override;
    CardResult SCSelectDF(const std::uint8_t* fid, std::uint32_t length) override;
    // As StarCos 3.2; the restored environment replaces the one set last.
    CardResult PreSigning(std::int32_t cardProfile, const std::string& keyPath) override;
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    // Whether the card holds a signature environment this profile set.
    bool SecurityEnvironmentSet() const { return m_securityEnvironmentSet; }

protected:
    const char* ProfileName() const override { return "CSC_Profile_StarCos35"; }
    // MSE SET only when the card does not already hold exactly that
    // environment.
    CardResult SetSignatureEnvironment(std::uint8_t keyReference, std::uint32_t algorithm) override;
    // The card's environment is no longer known (failure, other folder).
    void ForgetSecurityEnvironment();
    // A refused signature leaves the card's environment unknown.
    void SignatureRefused() override;

private:
    bool m_securityEnvironmentSet = false;
    Bytes m_environment;  // the MSE SET data the card accepted last
};
