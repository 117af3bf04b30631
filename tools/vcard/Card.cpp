#include "tools/vcard/Card.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <string>

namespace vcard {

namespace {
enum Instruction : std::uint8_t {
    kVerify = 0x20,
    kChangeReferenceData = 0x24,
    kResetRetryCounter = 0x2C,
    kManageSecurityEnvironment = 0x22,
    kPerformSecurityOperation = 0x2A,
    kGetChallenge = 0x84,
    kGetResponse = 0xC0,
    kInternalAuthenticate = 0x88,
    kExternalAuthenticate = 0x82,
    kSelect = 0xA4,
    kReadBinary = 0xB0,
    kReadRecord = 0xB2,
    kGetData = 0xCA,
    kUpdateBinary = 0xD6,
    kPaceHook = 0xF0,
};

constexpr std::uint8_t kPaceHookClass = 0x80;
constexpr std::uint8_t kPaceHookOpen = 0x00;
constexpr std::uint8_t kPaceHookClose = 0x01;

// What a PACE card answers before its channel stands: what a terminal
// reads and sets up to run PACE.
bool answeredWithoutChannel(std::uint8_t ins) {
    return ins == kSelect || ins == kReadBinary || ins == kGetData || ins == kManageSecurityEnvironment;
}
}  // namespace

void Card::reset() {
    files.resetSelection();
    security.reset();
    m_chained.clear();
    m_chainIns = 0;
    m_pending.clear();
    m_paceChannel = false;
}

Bytes Card::process(const Bytes& command) {
    std::optional<Apdu> parsed = parseApdu(command);
    if (!parsed) return status(0x6700);
    if (parsed->ins == kGetResponse && (parsed->cla & 0x80) == 0) return getResponse(*parsed);
    m_pending.clear();
    const std::uint8_t ins = parsed->ins;
    return heldForGetResponse(ins, answer(std::move(*parsed)));
}

Bytes Card::heldForGetResponse(std::uint8_t ins, Bytes response) {
    // get-response=all or a list of instruction bytes (CA,2A): data of
    // those answers wait for GET RESPONSE behind 61xx, as on a T=0 card.
    const std::string held = dialect->text("get-response");
    if (held.empty() || response.size() <= 2) return response;
    const std::size_t data = response.size() - 2;
    if (response[data] != 0x90 || response[data + 1] != 0x00) return response;
    if (held != "all" && !listsInstruction(held, ins)) return response;
    m_pending.assign(response.begin(), response.begin() + static_cast<std::ptrdiff_t>(data));
    return status(static_cast<std::uint16_t>(0x6100 | (data & 0xFF)));
}

bool Card::listsInstruction(const std::string& list, std::uint8_t ins) {
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        if (item.size() == 2 && std::isxdigit(static_cast<unsigned char>(item[0])) &&
            std::isxdigit(static_cast<unsigned char>(item[1])) && std::stoul(item, nullptr, 16) == ins) {
            return true;
        }
    }
    return false;
}

Bytes Card::getResponse(const Apdu& apdu) {
    if (m_pending.empty()) return status(0x6985);
    if (apdu.p1 != 0 || apdu.p2 != 0) return status(0x6A86);
    if (!apdu.le || !apdu.data.empty()) return status(0x6700);
    const std::size_t take = std::min<std::size_t>(apdu.expected(), m_pending.size());
    Bytes out(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(take));
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(take));
    if (m_pending.empty()) return withStatus(std::move(out), 0x9000);
    return withStatus(std::move(out), static_cast<std::uint16_t>(0x6100 | (m_pending.size() & 0xFF)));
}

Bytes Card::paceHook(const Apdu& apdu) {
    if (apdu.p2 != 0) return status(0x6A86);
    if (apdu.p1 == kPaceHookClose && apdu.data.empty()) {
        m_paceChannel = false;
        return status(0x9000);
    }
    if (apdu.p1 != kPaceHookOpen) return status(0x6A86);
    const std::string can = dialect->text("pace-can");
    m_paceChannel = !can.empty() && Bytes(can.begin(), can.end()) == apdu.data;
    return status(m_paceChannel ? 0x9000 : 0x6300);
}

Bytes Card::answer(Apdu apdu) {
    if (dialect->has("pace-can")) {
        if (apdu.cla == kPaceHookClass && apdu.ins == kPaceHook) return paceHook(apdu);
        if (!m_paceChannel && !answeredWithoutChannel(apdu.ins)) return status(0x6982);
    }
    // Inter-industry classes only (first bit clear), but for GET DATA in
    // the proprietary class a family names (get-data-class).
    const bool proprietaryGetData =
        apdu.ins == kGetData && dialect->has("get-data-class") &&
        apdu.cla == dialect->hex("get-data-class", 0x100);
    if ((apdu.cla & 0x80) && !proprietaryGetData) return status(0x6E00);

    // Command chaining (CLA bit 0x10): the data of each link is collected
    // and the last link runs with all of it.
    if (apdu.cla & 0x10) {
        if (!m_chained.empty() && m_chainIns != apdu.ins) {
            m_chained.clear();
            return status(0x6883);
        }
        m_chainIns = apdu.ins;
        m_chained.insert(m_chained.end(), apdu.data.begin(), apdu.data.end());
        return status(0x9000);
    }
    if (!m_chained.empty()) {
        if (m_chainIns != apdu.ins) {
            m_chained.clear();
            return status(0x6883);
        }
        apdu.data.insert(apdu.data.begin(), m_chained.begin(), m_chained.end());
        m_chained.clear();
    }

    switch (apdu.ins) {
    case kSelect: return files.select(apdu);
    case kReadBinary: return files.readBinary(apdu);
    case kUpdateBinary: return files.updateBinary(apdu);
    case kReadRecord: return files.readRecord(apdu);
    case kVerify: return security.verify(apdu);
    case kChangeReferenceData: return security.changeReferenceData(apdu);
    case kResetRetryCounter: return security.resetRetryCounter(apdu);
    case kManageSecurityEnvironment: return security.manageSecurityEnvironment(apdu);
    case kPerformSecurityOperation:
        if (apdu.p1 == 0x9E && apdu.p2 == 0x9A) return security.computeSignature(apdu);
        if (apdu.p1 == 0x90 && apdu.p2 == 0xA0) return security.hash(apdu);
        // DECIPHER: padding indicator and cryptogram (86) or the cryptogram (84).
        if (apdu.p1 == 0x80 && (apdu.p2 == 0x86 || apdu.p2 == 0x84)) return security.decipher(apdu);
        return status(0x6A86);
    case kGetChallenge: return getChallenge(apdu);
    case kInternalAuthenticate: return security.internalAuthenticate(apdu);
    case kExternalAuthenticate: return security.externalAuthenticate(apdu);
    case kGetData: return getData(apdu);
    default: return status(0x6D00);
    }
}

Bytes Card::getChallenge(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return status(0x6A86);
    if (!apdu.le || !apdu.data.empty()) return status(0x6700);
    Bytes challenge(apdu.expected());
    if (RAND_bytes(challenge.data(), static_cast<int>(challenge.size())) != 1) return status(0x6F00);
    security.noteChallenge(challenge);
    return withStatus(std::move(challenge), 0x9000);
}

Bytes Card::getData(const Apdu& apdu) {
    auto it = dataObjects.find(static_cast<std::uint16_t>(apdu.p1 << 8 | apdu.p2));
    if (it == dataObjects.end()) return status(0x6A88);
    return withStatus(it->second, 0x9000);
}

}  // namespace vcard
