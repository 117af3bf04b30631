#include "smartcard/profiles/SC_Profile_CardOS60.h"

#include "smartcard/transport/CardTrace.h"
#include "smartcard/transport/PaceRequest.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <fstream>

using kivo::CardTrace;
namespace card = kivo::card;
namespace pace = kivo::card::pace;

namespace {

constexpr std::size_t kMaxCacheEntries = 256;

void wipe(std::string& text) {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

}  // namespace

CSC_Profile_CardOS60::~CSC_Profile_CardOS60() { FreePACE(); }

void CSC_Profile_CardOS60::FreePACE() {
    if (m_pace.established) {
        std::vector<std::uint8_t> answer;
        ExecutePace(pace::destroyChannelRequest(), answer);
    }
    for (auto& entry : m_pace.cache) wipe(entry.second);
    m_pace.cache.clear();
    m_pace.readerHasPace = false;
    m_pace.established = false;
}

void CSC_Profile_CardOS60::AddPaceCacheEntries(const std::string& line) {
    for (std::size_t from = 0; from <= line.size() && m_pace.cache.size() < kMaxCacheEntries;) {
        std::size_t to = line.find(',', from);
        if (to == std::string::npos) to = line.size();
        const std::size_t equals = line.find('=', from);
        if (equals != std::string::npos && equals > from && equals < to) {
            std::string& value = m_pace.cache[line.substr(from, equals - from)];
            wipe(value);
            value.assign(line, equals + 1, to - equals - 1);
        }
        from = to + 1;
    }
}

void CSC_Profile_CardOS60::LoadPaceCache() {
    const char* file = std::getenv("PACE_CANCACHE");
    if (file == nullptr || *file == '\0') return;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        AddPaceCacheEntries(line);
        wipe(line);
    }
    CardTrace::write(CardTrace::cLevelInfo, "PACE cache entries: %d\n",
                     static_cast<int>(m_pace.cache.size()));
}

bool CSC_Profile_CardOS60::InitPACE(const std::string& pin) {
    const TraceScope trace(*this, "InitPACE");
    FreePACE();
    // The reader's features, asked for here: the card key runs PACE
    // before anything else has looked at the reader.
    RefreshPinPadFeatures();
    m_pace.readerHasPace = IsPaceAvailable();
    if (!m_pace.readerHasPace) {
        CardTrace::write(CardTrace::cLevelInfo, "reader offers no PACE: card used without it\n");
        return true;
    }
    LoadPaceCache();
    std::string cardAccessNumber = CardAccessNumber(pin);
    const bool established = EstablishChannel(cardAccessNumber);
    wipe(cardAccessNumber);
    return established;
}

std::string CSC_Profile_CardOS60::CardAccessNumber(const std::string& given) {
    if (!given.empty() || m_pace.cache.empty()) return given;
    const auto entry = m_pace.cache.find(GetSerialNumber());
    return entry == m_pace.cache.end() ? std::string() : entry->second;
}

bool CSC_Profile_CardOS60::EstablishChannel(const std::string& cardAccessNumber) {
    const auto* digits = reinterpret_cast<const std::uint8_t*>(cardAccessNumber.data());
    auto request = pace::establishChannelRequest(pace::Password::Can, {digits, cardAccessNumber.size()});
    if (!request) return false;
    std::vector<std::uint8_t> answer;
    const bool sent = ExecutePace(*request, answer);
    OPENSSL_cleanse(request->data(), request->size());
    const auto outcome = sent ? pace::parseEstablishAnswer(answer) : std::nullopt;
    if (!outcome) {
        CardTrace::write(CardTrace::cLevelInfo, "PACE: no valid answer from the reader\n");
        return false;
    }
    CardTrace::write(CardTrace::cLevelInfo, "PACE: result 0x%08x, %s\n",
                     static_cast<unsigned>(outcome->result), pace::resultText(outcome->result));
    m_pace.established = outcome->result == pace::cResultOk;
    return m_pace.established;
}

bool CSC_Profile_CardOS60::IsPaceReader(const std::string&) { return IsPaceAvailable(); }

void CSC_Profile_CardOS60::HasPaceReader() { m_pace.readerHasPace = IsPaceAvailable(); }

bool CSC_Profile_CardOS60::EncryptTrustedChannelData(const std::uint8_t*, std::uint32_t,
                                                     Bytes& out) {
    out.clear();
    return false;
}

bool CSC_Profile_CardOS60::DecryptTrustedChannelData(const std::uint8_t*, std::uint32_t,
                                                     Bytes& out) {
    out.clear();
    return false;
}

CardResult CSC_Profile_CardOS60::SCSelectAID(const std::uint8_t* aid, std::uint32_t length) {
    const TraceScope trace(*this, "SCSelectAID");
    return SelectApplicationId(aid, length, 0x00);
}

// Sent in plain: the trusted channel that would wrap it (CLA 0C) is never
// active.
CardResult CSC_Profile_CardOS60::SCVerify(std::uint8_t reference, const std::uint8_t* pin,
                                          std::uint32_t length) {
    const TraceScope trace(*this, "SCVerify");
    if (pin == nullptr && length != 0) return card::cFailed;
    PinData data;
    if (length != 0) data.append(pin, length);
    return SendPinCommand(cInsVerify, 0x00, reference, data.bytes());
}
