// A small card operating-system profile for driving CSC_Profile_Base in the tests: an ISO 7816 card with FCP
// answers to SELECT (as CardOS and StarCos cards give them), the plain base PIN handling, and MSE SET + PSO for
// signing and deciphering. It matches what tools/vcard answers, so the base class can be exercised on the test
// card and checked at the card.
#pragma once

#include "tests/support/card/VcardSession.h"

#include "smartcard/base/SC_Profile_Base.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kivo::test {

class TestProfile : public CSC_Profile_Base {
public:
    TestProfile();

    // When set, GetFileLen reports this instead of the FCP's size: a card whose FCP claims more (or less) than
    // the file holds.
    std::optional<std::uint32_t> claimedFileLength;
    // Unblocking with the PUK alone (no new PIN), as some card systems do.
    bool unblockWithPukOnly = false;

    std::uint32_t GetFileLen() override;
    // The base class sends no GET DATA of its own; the test card has no data objects.
    CardResult GetData(std::uint8_t, std::uint8_t, Bytes&, std::uint16_t) override { return kivo::card::cFailed; }
    CardResult SCSelectMF() override;
    CardResult SCSelectDF(const std::uint8_t* fid, std::uint32_t length) override;
    CardResult SCSelectEF(const std::uint8_t* fid) override;
    CardResult SCSelectAID(const std::uint8_t* aid, std::uint32_t length) override;
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits, const std::uint8_t* data,
                          std::uint32_t dataLength, Bytes& signature, std::uint32_t algorithm,
                          std::uint8_t keyReference) override;
    CardResult SCDecipher(const std::string& keyPath, std::uint32_t keyBits, const std::uint8_t* data,
                          std::uint32_t dataLength, Bytes& plain, std::uint32_t algorithm,
                          std::uint8_t keyReference) override;
    void CreateModifyStruct() override;
    void CreateVerifyStruct() override;
    void InitUnblockMode() override;

private:
    CardResult select(std::uint8_t p1, const std::uint8_t* data, std::uint32_t length);
    // MSE SET for the template (B6 signature, B8 confidentiality).
    CardResult setSecurityEnvironment(std::uint8_t crt, std::uint32_t algorithm, std::uint8_t keyReference);
    // 9000 copies the response to `out`; 6982 is 13; anything else 255.
    CardResult takeOperationResult(bool sent, Bytes& out);
};

// The commands the profile sends, as vcard records them (upper-case hex).
namespace apdu {
inline const std::string kSelectMf = "00A40004023F0000";
inline std::string selectDf(const std::string& fid) { return "00A4010402" + fid + "00"; }
inline std::string selectEf(const std::string& fid) { return "00A4020402" + fid + "00"; }
}  // namespace apdu

// 00 01 02 ... as the description's seq: contents.
CardBytes sequenceBytes(std::size_t from, std::size_t count);

}  // namespace kivo::test
