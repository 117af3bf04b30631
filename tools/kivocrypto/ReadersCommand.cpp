// kivocrypto readers: the PC/SC readers with their card, ATR and pin pad.

#include "tools/kivocrypto/ArgumentCursor.h"
#include "tools/kivocrypto/Commands.h"

#include "SCMutils.h"

#include <PCSC/winscard.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace kivocrypto {
namespace {

// Exit codes of this command besides kExitOk and kExitUsage.
constexpr int kExitNoReaders = 3;
constexpr int kExitNoService = 4;

constexpr int kDefaultTimeoutSeconds = 15;
constexpr int kMaxTimeoutSeconds = 3600;

void printReadersUsage(std::ostream& out) {
    out << "usage: kivocrypto readers [--timeout SECONDS]\n"
           "\n"
           "Lists the PC/SC smart-card readers, one block per reader:\n"
           "\n"
           "INDEX: NAME\n"
           "   card: present, ATR 3B:8A:80:...\n"
           "   pin pad: no\n"
           "\n"
           "The first line of a block starts in the first column, the two\n"
           "lines below it are indented by three spaces. 'card:' is 'present'\n"
           "or 'absent' followed by the ATR as upper-case hex bytes joined by\n"
           "':' ('---' without a card). 'pin pad:' is 'yes' or 'no' as the\n"
           "reader reports it through the inserted card ('no' as well when the\n"
           "KeyboardPIN setting has PINs typed on the keyboard), or\n"
           "'unknown (no card)' when no card is there to connect through.\n"
           "\n"
           "--timeout gives up after SECONDS (1 to 3600, default 15) when the\n"
           "PC/SC service does not answer.\n"
           "\n"
           "Exit codes: 0 readers listed, 2 usage error, 3 no smart-card readers\n"
           "found, 4 the PC/SC service cannot be reached or did not answer.\n";
}

// Parses a whole number of seconds in [1, kMaxTimeoutSeconds]; 0 otherwise.
int secondsOf(const std::string& text) {
    if (text.empty() || text.size() > 4) return 0;
    int seconds = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        seconds = seconds * 10 + (c - '0');
    }
    return seconds <= kMaxTimeoutSeconds ? seconds : 0;
}

// Ends the process with kExitNoService when it is not dismissed within the
// given time: a PC/SC service that accepts the connection but never answers
// would otherwise block the listing for ever.
class Watchdog {
public:
    explicit Watchdog(int seconds)
        : m_thread([this, seconds] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (m_cv.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_done; })) {
                  return;
              }
              printError("readers: the PC/SC service did not answer within " +
                         std::to_string(seconds) + " s");
              std::_Exit(kExitNoService);
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_one();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;  // last: starts after the members it uses
};

// What the library's card utilities do not tell, straight from PC/SC:
// whether the service answers, and the ATR of the card in each reader by
// name ("---" without a card).
struct ReaderCards {
    bool reachable = false;
    std::map<std::string, std::string> atrs;
};

std::string atrText(const SCARD_READERSTATE& state) {
    if ((state.dwEventState & SCARD_STATE_PRESENT) == 0 || state.cbAtr == 0) return "---";
    std::string text;
    char byte[4];
    for (DWORD i = 0; i < state.cbAtr && i < sizeof state.rgbAtr; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : ":%02X", state.rgbAtr[i]);
        text += byte;
    }
    return text;
}

ReaderCards readerCards() {
    ReaderCards cards;
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return cards;
    cards.reachable = true;
    char* list = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    if (SCardListReaders(context, nullptr, reinterpret_cast<char*>(&list), &length) == SCARD_S_SUCCESS) {
        for (const char* name = list; name < list + length && *name != '\0'; name += std::strlen(name) + 1) {
            SCARD_READERSTATE state{};
            state.szReader = name;
            state.dwCurrentState = SCARD_STATE_UNAWARE;
            const bool known = SCardGetStatusChange(context, 0, &state, 1) == SCARD_S_SUCCESS;
            cards.atrs[name] = known ? atrText(state) : "---";
        }
        SCardFreeMemory(context, list);
    }
    SCardReleaseContext(context);
    return cards;
}

// The block of one reader as the usage text describes it: name and pin
// pad from the library's card utilities, the card state and ATR from PC/SC.
std::string describeReader(CSCUtils& utils, const ReaderCards& cards, int index) {
    const std::string name = utils.GetReaderName(index);
    const auto found = cards.atrs.find(name);
    const std::string atr = found != cards.atrs.end() ? found->second : "---";
    const bool present = atr != "---";
    std::string block = std::to_string(index) + ": " + name + "\n";
    block += std::string("   card: ") + (present ? "present" : "absent") + ", ATR " + atr + "\n";
    // Without a card the reader cannot be connected to and asked, so a
    // "no" would be a guess.
    const char* pinPad = !present ? "unknown (no card)" : utils.getPINPADSupport(index) == 1 ? "yes" : "no";
    block += std::string("   pin pad: ") + pinPad + "\n";
    return block;
}

}  // namespace

int runReaders(const Arguments& arguments) {
    int timeoutSeconds = kDefaultTimeoutSeconds;
    ArgumentCursor cursor(arguments, "readers");
    while (cursor.next()) {
        if (!cursor.isOption()) {
            printError("readers: unexpected argument '" + cursor.current() +
                       "' (see kivocrypto readers --help)");
            return kExitUsage;
        }
        const std::string option = cursor.current();
        if (option == "--help" || option == "-h") {
            printReadersUsage(std::cout);
            return kExitOk;
        }
        if (option == "--timeout") {
            std::string value;
            if (!cursor.takeValue(value)) return kExitUsage;
            timeoutSeconds = secondsOf(value);
            if (timeoutSeconds == 0) {
                printError("readers: --timeout takes whole seconds from 1 to " +
                           std::to_string(kMaxTimeoutSeconds) + ", not '" + value + "'");
                return kExitUsage;
            }
            continue;
        }
        cursor.reportUnknown();
        return kExitUsage;
    }

    // The library's card trace is on by default; listing readers should
    // not leave a trace file behind.
    CSCUtils::SetLogLevel(0);

    // Everything is gathered first, so that a timeout leaves no half listing.
    std::string listing;
    {
        Watchdog watchdog(timeoutSeconds);
        // PC/SC also tells a service that cannot be reached from one
        // without readers, which the reader count of the card utilities
        // does not.
        const ReaderCards cards = readerCards();
        if (!cards.reachable) {
            printError("readers: the PC/SC service cannot be reached (is pcscd running?)");
            return kExitNoService;
        }
        CSCUtils utils;
        const int count = utils.GetNumReaders();
        for (int index = 0; index < count; ++index) listing += describeReader(utils, cards, index);
    }
    if (listing.empty()) {
        printError("readers: no smart-card readers found");
        return kExitNoReaders;
    }
    std::cout << listing << std::flush;
    return kExitOk;
}

}  // namespace kivocrypto
