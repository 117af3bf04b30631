// One described card (support/cards/<name>.txt or given text): through pcscd with the card
// services, else vcard's model in this process behind the scripted PC/SC layer.
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
    // A card described by `description`; `name` tells such cards apart.
    CardUnderTest(std::string name, std::string description)
        : m_name(std::move(name)), m_descriptionText(std::move(description)) {}
    ~CardUnderTest();
    CardUnderTest(const CardUnderTest&) = delete;
    CardUnderTest& operator=(const CardUnderTest&) = delete;

    // Starts from the described card; fails the test when it cannot.
    void open();
    // The model in this process even with the card services, to pull the card out after
    // `transmits` more commands (`reinsert` powers it up anew, also through pcscd) or present it as T=0.
    void openInProcess();
    void pullOutAfter(int transmits);
    void reinsert();
    void speakT0();
    bool throughPcsc() const { return m_session.has_value(); }
    std::string readerName() const;

    // Connects `profile` to the card's reader and marks the record.
    void connect(CSC_Profile_Base& profile);
    template <class Profile>
    std::unique_ptr<Profile> connected(std::int32_t cardType = 0) {
        auto profile = std::make_unique<Profile>();
        if (cardType != 0) profile->SetCardType(cardType);
        connect(*profile);
        return profile;
    }

    // The exchanges (or only their commands) since the last mark, in upper-case hex.
    void mark();
    std::vector<RecordedExchange> exchanges() const;
    std::vector<std::string> commands() const;
    // Sends one command outside any profile; the response.
    CardBytes transmit(const std::string& hexCommand);
    // A key file the description names (file=...), for OpenSSL checks.
    std::string keyFile(const std::string& file) const;

private:
    std::string descriptionPath();

    std::string m_name;
    std::string m_descriptionText;
    std::string m_writtenDescription;  // removed with the object
    std::optional<VcardSession> m_session;
    std::unique_ptr<vcard::Card> m_model;
    std::unique_ptr<ScriptedPcsc> m_pcsc;
    CardKeyFolder* m_keys = nullptr;  // shared by every test of the process
    std::vector<RecordedExchange> m_record;
    std::size_t m_mark = 0;
};

// The forms a secret could take in a trace or log: the text, the hex of its ASCII bytes and of its
// digits packed, joined or by blanks or colons, in either case.
std::vector<std::string> secretForms(const std::string& secret);

// Fixture of a profile suite on one described card.
class ProfileOnCard : public ::testing::Test {
protected:
    explicit ProfileOnCard(const std::string& name) : card(name) {}
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(card.open()); }
    CardUnderTest card;
};

}  // namespace kivo::test
