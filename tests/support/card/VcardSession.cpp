#include "tests/support/card/VcardSession.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace kivo::test {

namespace {
std::string env(const char* name, const char* fallback = "") {
    const char* value = std::getenv(name);
    return value ? value : fallback;
}

std::vector<RecordedExchange> readRecord(const std::string& path, std::size_t fromByte) {
    std::ifstream in(path);
    in.seekg(static_cast<std::streamoff>(fromByte));
    std::vector<RecordedExchange> exchanges;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("> ", 0) == 0) exchanges.push_back({line.substr(2), ""});
        else if (line.rfind("< ", 0) == 0 && !exchanges.empty()) exchanges.back().response = line.substr(2);
    }
    return exchanges;
}
}  // namespace

CardBytes hexBytes(const std::string& text) {
    std::string digits;
    std::copy_if(text.begin(), text.end(), std::back_inserter(digits), [](unsigned char c) { return std::isxdigit(c); });
    CardBytes bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) bytes.push_back(std::stoi(digits.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string hexText(const CardBytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (auto b : bytes) text += {digits[b >> 4], digits[b & 15]};
    return text;
}

bool cardServicesExpected() { return env("KIVO_PCSC_AVAILABLE") == "1"; }

VcardSession::~VcardSession() { close(); }

void VcardSession::open(int seconds) {
    m_record = env("KIVO_VCARD_RECORD");
    ASSERT_FALSE(m_record.empty()) << "KIVO_VCARD_RECORD is not set";
    m_reader = env("KIVO_VCARD_READER", "Virtual PCD 00 00");
    openReader(seconds);
}

void VcardSession::openCard(const std::string& description, int seconds) {
    const std::string dir = env("KIVO_VCARD_DIR");
    ASSERT_FALSE(dir.empty()) << "KIVO_VCARD_DIR is not set";
    m_record = dir + "/described.apdu.log";
    std::ifstream readerFile(dir + "/described.reader");
    std::getline(readerFile, m_reader);
    ASSERT_FALSE(m_reader.empty()) << "no reader for the described cards in " << dir;
    // Under the card's lock: name the description, then power the card up anew, which makes vcard become that
    // card as described.
    ASSERT_NO_FATAL_FAILURE(lockCard());
    ASSERT_TRUE(std::ofstream(dir + "/described.card", std::ios::trunc) << description << "\n") << "cannot name the card in " << dir;
    ASSERT_NO_FATAL_FAILURE(openReader(seconds));
    const LONG rv = SCardReconnect(m_card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_UNPOWER_CARD, &m_protocol);
    ASSERT_EQ(rv, SCARD_S_SUCCESS) << "SCardReconnect: " << pcsc_stringify_error(rv);
    markRecord();
}

void VcardSession::lockCard() {
    if (m_lock >= 0) return;
    m_lock = ::open((m_record + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(m_lock, 0) << "cannot open the card lock file";
    ASSERT_EQ(flock(m_lock, LOCK_EX), 0);
}

void VcardSession::openReader(int seconds) {
    ASSERT_NO_FATAL_FAILURE(lockCard());
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_context);
    ASSERT_EQ(rv, SCARD_S_SUCCESS) << "SCardEstablishContext: " << pcsc_stringify_error(rv);

    // pcscd notices the card a moment after vcard connects to vpcd.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    SCARD_READERSTATE state{};
    state.szReader = m_reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    while (true) {
        rv = SCardGetStatusChange(m_context, 0, &state, 1);
        if (rv == SCARD_S_SUCCESS && (state.dwEventState & SCARD_STATE_PRESENT)) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "no card in reader \"" << m_reader << "\": " << pcsc_stringify_error(rv);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    rv = SCardConnect(m_context, m_reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &m_card, &m_protocol);
    ASSERT_EQ(rv, SCARD_S_SUCCESS) << "SCardConnect: " << pcsc_stringify_error(rv);
    markRecord();
    m_opened = m_mark;
}

// A SELECT the card answered with success, sent again as the very next
// command, asks the card what the library already knew: every card suite
// fails on it.
void expectNoRepeatedSelect(const std::vector<RecordedExchange>& exchanges) {
    for (std::size_t i = 1; i < exchanges.size(); ++i) {
        const RecordedExchange& before = exchanges[i - 1];
        const bool selected = before.command.rfind("00A4", 0) == 0 && before.response.size() >= 4 &&
                              (before.response.substr(before.response.size() - 4) == "9000" ||
                               before.response.substr(before.response.size() - 4, 2) == "61");
        EXPECT_FALSE(selected && exchanges[i].command == before.command) << "SELECT sent twice in a row: " << before.command;
    }
}

void VcardSession::powerCycle() {
    const LONG rv = SCardReconnect(m_card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_UNPOWER_CARD, &m_protocol);
    EXPECT_EQ(rv, SCARD_S_SUCCESS) << "SCardReconnect: " << pcsc_stringify_error(rv);
}

void VcardSession::close() {
    if (m_card && !m_record.empty() && checkRepeatedSelects) expectNoRepeatedSelect(readRecord(m_record, m_opened));
    if (m_card) SCardDisconnect(std::exchange(m_card, 0), SCARD_RESET_CARD);
    if (m_context) SCardReleaseContext(std::exchange(m_context, 0));
    if (m_lock >= 0) ::close(std::exchange(m_lock, -1));  // releases the lock
}

CardBytes VcardSession::transmit(const CardBytes& command) {
    const SCARD_IO_REQUEST* pci = m_protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    CardBytes response(65538);
    DWORD length = static_cast<DWORD>(response.size());
    const LONG rv = SCardTransmit(m_card, pci, command.data(), static_cast<DWORD>(command.size()), nullptr, response.data(), &length);
    if (rv != SCARD_S_SUCCESS) ADD_FAILURE() << "SCardTransmit: " << pcsc_stringify_error(rv);
    response.resize(rv == SCARD_S_SUCCESS ? length : 0);
    return response;
}

std::uint16_t VcardSession::sw(const CardBytes& response) {
    return response.size() < 2 ? 0 : static_cast<std::uint16_t>(response[response.size() - 2] << 8 | response.back());
}

void VcardSession::markRecord() {
    std::ifstream in(m_record, std::ios::ate);
    m_mark = in ? static_cast<std::size_t>(in.tellg()) : 0;
}

std::vector<RecordedExchange> VcardSession::recorded() const { return readRecord(m_record, m_mark); }

void VcardTest::SetUp() {
    if (!cardServicesExpected()) {
        GTEST_SKIP() << "card services not running: KIVO_PCSC_AVAILABLE is unset; "
                        "scripts/test.sh starts pcscd with vpcd and vcard for these tests";
    }
    session.open();
}

}  // namespace kivo::test
