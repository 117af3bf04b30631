// A PC/SC session with the virtual card that scripts/test.sh starts (pcscd
// with the vsmartcard-vpcd driver, and tools/vcard with cards/test_card.txt).
//
// scripts/test.sh exports:
//   KIVO_PCSC_AVAILABLE=1   pcscd and vcard are up; a missing card is a failure
//   KIVO_VCARD_RECORD       the file where vcard records every exchange
//   KIVO_VCARD_DIR          the folder holding the card's key files
//   KIVO_VCARD_READER       the reader vcard is inserted in
// Without KIVO_PCSC_AVAILABLE the tests that need the card are skipped.
//
// Test processes run in parallel under ctest; a session holds an exclusive
// lock on "<record file>.lock" from start to end, so that the card's state
// and the record file belong to one test at a time.
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
std::vector<RecordedExchange> readRecord(const std::string& path, std::size_t fromByte);

class VcardSession {
public:
    VcardSession() = default;
    ~VcardSession();
    VcardSession(const VcardSession&) = delete;
    VcardSession& operator=(const VcardSession&) = delete;

    // Locks the card, connects to it and waits up to `seconds` for it to be
    // present. Fails the test (with the reason) when it cannot.
    void open(int seconds = 10);
    // The same for the card of a description file: the second
    // card of scripts/test.sh (its reader named in
    // <KIVO_VCARD_DIR>/described.reader, its record described.apdu.log)
    // becomes that card, as described, when powered up anew.
    void openCard(const std::string& description, int seconds = 10);
    // Disconnects with a card reset and releases the lock.
    void close();

    SCARDCONTEXT context() const { return m_context; }
    SCARDHANDLE card() const { return m_card; }
    const std::string& reader() const { return m_reader; }
    DWORD protocol() const { return m_protocol; }

    // Sends a command and returns the whole response (data and status word);
    // empty when SCardTransmit failed.
    CardBytes transmit(const CardBytes& command);
    // Status word of a response.
    static std::uint16_t sw(const CardBytes& response);
    std::uint16_t send(const std::string& hexCommand) { return sw(transmit(hexBytes(hexCommand))); }

    // Starts a new stretch of the record file; `recorded` returns the
    // exchanges since then.
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
};

// Fixture: skips when the card services are not expected, otherwise opens a
// session before each test.
class VcardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override { session.close(); }
    VcardSession session;
};

}  // namespace kivo::test
