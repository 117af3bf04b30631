// One described card (tests/support/cards/<name>.txt) for the profile
// suites. When scripts/test.sh runs the card services, the card is the vcard
// it started for that description, reached through pcscd and vpcd in its own
// reader, and what the card received is read from vcard's record. Otherwise
// the same card is vcard's model in this process behind the scripted PC/SC
// layer. Either way each `open` starts from the card as described (vcard
// runs with --fresh-at-power-on and the session powers the card up anew),
// and every test body runs unchanged on both.
#pragma once

#include "smartcard/base/SC_Profile_Base.h"
#include "tests/support/card/CryptoCheck.h"
#include "tests/support/card/PcscScript.h"
#include "tests/support/card/VcardSession.h"
#include "tools/vcard/Card.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kivo::test {

class CardUnderTest {
public:
    explicit CardUnderTest(std::string name) : m_name(std::move(name)) {}
    // A card described by `description` (what a description file holds)
    // rather than by a file of support/cards; `name` tells such cards apart.
    CardUnderTest(std::string name, std::string description)
        : m_name(std::move(name)), m_descriptionText(std::move(description)) {}
    ~CardUnderTest();
    CardUnderTest(const CardUnderTest&) = delete;
    CardUnderTest& operator=(const CardUnderTest&) = delete;

    // Starts from the described card; fails the test when it cannot.
    void open();
    // Starts from the described card as vcard's model in this process even
    // when the card services run: for what only the scripted layer can do.
    void openInProcess();
    // Pulls the card out of the reader after `transmits` more commands
    // (in-process cards only); `reinsert` puts it back, powered up anew.
    void pullOutAfter(int transmits);
    // Presents the card as a T=0 card (in-process cards only): answers
    // with data come behind 61xx, for the transport's GET RESPONSE.
    void speakT0();
    void reinsert();
    bool throughPcsc() const { return m_session.has_value(); }
    // The name of the reader the card is in.
    std::string readerName() const;

    // Connects `profile` to the card's reader; the record is marked after.
    void connect(CSC_Profile_Base& profile);
    template <class Profile>
    std::unique_ptr<Profile> connected(std::int32_t cardType = 0) {
        auto profile = std::make_unique<Profile>();
        if (cardType != 0) profile->SetCardType(cardType);
        connect(*profile);
        return profile;
    }

    // The exchanges since the last mark, commands and responses in upper-case hex.
    void mark();
    std::vector<RecordedExchange> exchanges() const;
    std::vector<std::string> commands() const;
    // Sends one command outside any profile (state checks); the response.
    CardBytes transmit(const std::string& hexCommand);

    // A key file the description names (file=...), for OpenSSL checks.
    std::string keyFile(const std::string& file) const;

private:
    void openModel(const std::string& description);
    // The description file: the one of support/cards, or the given text
    // written to a temporary file (removed with the object).
    std::string descriptionPath();

    std::string m_name;
    std::string m_descriptionText;
    std::string m_writtenDescription;
    std::optional<VcardSession> m_session;
    // In-process card: the model, the scripted PC/SC layer and the record.
    std::unique_ptr<vcard::Card> m_model;
    std::unique_ptr<ScriptedPcsc> m_pcsc;
    CardKeyFolder* m_keys = nullptr;  // shared by every test of the process
    std::vector<RecordedExchange> m_record;
    std::size_t m_mark = 0;
};

// The forms a secret could take in a trace or log line: the text, and the
// hex of its ASCII bytes and of its digits packed two to a byte (as a
// format-2 block carries them), joined, by blanks or by colons, in either case.
std::vector<std::string> secretForms(const std::string& secret);

// Fixture of a profile suite on one described card.
class ProfileOnCard : public ::testing::Test {
protected:
    explicit ProfileOnCard(const std::string& name) : card(name) {}
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(card.open()); }
    CardUnderTest card;
};

}  // namespace kivo::test
