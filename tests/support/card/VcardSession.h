// A PC/SC session with the virtual card scripts/test.sh starts (pcscd, vpcd, tools/vcard). It exports
// KIVO_PCSC_AVAILABLE=1, KIVO_VCARD_RECORD (vcard's record of every exchange), KIVO_VCARD_DIR (key files) and
// KIVO_VCARD_READER. A session locks "<record file>.lock" from start to end: the card and its record belong to
// one test process at a time.
#pragma once

#include <winscard.h>
#include <wintypes.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kivo::test {

using CardBytes = std::vector<std::uint8_t>;

CardBytes hexBytes(const std::string& text);
std::string hexText(const CardBytes& bytes);

// True when scripts/test.sh started the card services.
bool cardServicesExpected();

// One exchange as vcard recorded it, both sides in upper-case hex.
struct RecordedExchange {
    std::string command;
    std::string response;
    bool operator==(const RecordedExchange&) const = default;
};

class VcardSession {
public:
    VcardSession() = default;
    ~VcardSession();
    VcardSession(const VcardSession&) = delete;
    VcardSession& operator=(const VcardSession&) = delete;

    // Locks the card, connects and waits up to `seconds` for it; fails the test when it cannot.
    void open(int seconds = 10);
    // The same for the second card (<KIVO_VCARD_DIR>/described.reader), which becomes the card of `description`
    // when powered up anew.
    void openCard(const std::string& description, int seconds = 10);
    // Powers the card down and up again, as pulling it out and putting it back would.
    void powerCycle();
    // Disconnects with a card reset and releases the lock.
    void close();

    SCARDCONTEXT context() const { return m_context; }
    SCARDHANDLE card() const { return m_card; }
    const std::string& reader() const { return m_reader; }
    DWORD protocol() const { return m_protocol; }

    // The whole response (data and status word); empty when SCardTransmit failed.
    CardBytes transmit(const CardBytes& command);
    static std::uint16_t sw(const CardBytes& response);
    std::uint16_t send(const std::string& hexCommand) { return sw(transmit(hexBytes(hexCommand))); }

    // Whether closing fails the test on a successful SELECT sent again as the next command (off where several
    // processes use the card one after the other: each starts from a selection it cannot know).
    bool checkRepeatedSelects = true;

    // Starts a new stretch of the record; `recorded` returns the exchanges since.
    void markRecord();
    std::vector<RecordedExchange> recorded() const;

private:
    void lockCard();
    void openReader(int seconds);

    int m_lock = -1;
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_card = 0;
    DWORD m_protocol = 0;
    std::string m_reader;
    std::string m_record;
    std::size_t m_mark = 0;
    std::size_t m_opened = 0;  // where this session's record begins
};

// Fixture: skips without the card services, else opens a session per test.
class VcardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override { session.close(); }
    VcardSession session;
};

}  // namespace kivo::test
