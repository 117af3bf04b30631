// vcard: a virtual smart card for the vsmartcard-vpcd reader driver of
// pcscd. It reads a card description (see Description.h), connects to vpcd
// and answers as that card until SIGTERM or SIGINT, connecting again
// whenever the connection drops.
//
//   vcard [--host H] [--port P] [--base DIR] [--record FILE]
//         [--fresh-at-power-on] [--card-from FILE] DESCRIPTION

#include "tools/vcard/Card.h"
#include "tools/vcard/Description.h"
#include "tools/vcard/Recorder.h"
#include "tools/vcard/VpcdLink.h"

#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

void usage() {
    std::cerr << "usage: vcard [--host H] [--port P] [--base DIR] [--record FILE] [--fresh-at-power-on]\n"
                 "             DESCRIPTION\n"
                 "  --host    vpcd host (default 127.0.0.1)\n"
                 "  --port    vpcd port (default 35963)\n"
                 "  --base    folder for the description's files (default: its own)\n"
                 "  --record  append every APDU and its response to FILE\n"
                 "  --fresh-at-power-on\n"
                 "            every power-on starts from the description again (PINs,\n"
                 "            counters and files as described), so each test gets the same card\n"
                 "  --card-from FILE\n"
                 "            at every power-on, become the card whose description FILE\n"
                 "            names (one path; DESCRIPTION until FILE names one)\n";
}

struct Options {
    std::string host = "127.0.0.1";
    int port = 35963;
    std::string base;
    std::string record;
    std::string description;
    bool freshAtPowerOn = false;
    std::string cardFrom;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string port;
        if (arg == "--host") {
            if (!value(options.host)) return false;
        } else if (arg == "--port") {
            if (!value(port)) return false;
            options.port = std::atoi(port.c_str());
            if (options.port <= 0 || options.port > 65535) return false;
        } else if (arg == "--base") {
            if (!value(options.base)) return false;
        } else if (arg == "--record") {
            if (!value(options.record)) return false;
        } else if (arg == "--fresh-at-power-on") {
            options.freshAtPowerOn = true;
        } else if (arg == "--card-from") {
            if (!value(options.cardFrom)) return false;
        } else if (!arg.empty() && arg[0] != '-' && options.description.empty()) {
            options.description = arg;
        } else {
            return false;
        }
    }
    return !options.description.empty();
}

// With --card-from, the description the file names now (the tests write
// it before they power the card up); the description given otherwise.
std::string currentDescription(const Options& options) {
    if (options.cardFrom.empty()) return options.description;
    std::ifstream in(options.cardFrom);
    std::string named;
    std::getline(in, named);
    return named.empty() ? options.description : named;
}

// Builds the card from the description; false (after saying why) when it cannot.
bool load(const Options& options, vcard::Card& card) {
    const std::string description = currentDescription(options);
    try {
        std::ifstream in(description);
        if (!in) throw vcard::DescriptionError("cannot read " + description);
        std::filesystem::path base = options.base.empty()
            ? std::filesystem::path(description).parent_path() : std::filesystem::path(options.base);
        card = vcard::Card{};
        vcard::loadDescription(in, base, card);
        return true;
    } catch (const std::exception& e) {
        std::cerr << "vcard: " << description << ": " << e.what() << "\n";
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        usage();
        return 2;
    }
    vcard::Card card;
    if (!load(options, card)) return 1;
    vcard::Recorder recorder;
    if (!options.record.empty() && !recorder.open(options.record)) {
        std::cerr << "vcard: cannot open " << options.record << ": " << std::strerror(errno) << "\n";
        return 1;
    }

    // No SA_RESTART: a signal must be able to end a wait.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    vcard::VpcdLink link(options.host, options.port);
    bool announced = false;
    while (!g_stop) {
        if (!link.connected()) {
            card.reset();
            if (!link.connect()) {
                if (announced) std::cerr << "vcard: connection to vpcd lost\n";
                announced = false;
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                continue;
            }
            std::cerr << "vcard: connected to " << options.host << ":" << options.port << "\n";
            announced = true;
        }
        if (!link.waitReadable(250)) continue;
        vcard::Bytes message;
        if (!link.receive(message)) continue;
        if (message.size() == 1) {
            switch (message[0]) {
            case 1:  // power on
                // A description that cannot be read leaves the card as it
                // was (load says why): the tests then see the wrong card.
                if (options.freshAtPowerOn || !options.cardFrom.empty()) load(options, card);
                card.reset();
                break;
            case 0:  // power off
            case 2:  // reset
                card.reset();
                break;
            case 4:
                link.send(card.atr);
                break;
            default:
                break;
            }
        } else if (message.size() > 1) {
            vcard::Bytes response = card.process(message);
            recorder.exchange(message, response);
            link.send(response);
        }
    }
    std::cerr << "vcard: stopped\n";
    return 0;
}
