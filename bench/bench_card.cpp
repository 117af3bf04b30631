// One APDU round trip to the virtual card through pcscd and vpcd (GET
// CHALLENGE for 8 bytes), by the library's transport (CSC_Transport:
// SetApdu and SendToCard) and by pcsc-lite's SCardTransmit alone, in this
// process. Needs the card services: run under scripts/card-services.sh's
// variables (KIVO_VCARD_READER); without them both report an error and
// are skipped.
#include "smartcard/transport/SC_Transport.h"

#include <benchmark/benchmark.h>

#include <winscard.h>

#include <cstdlib>
#include <string>

namespace {

constexpr std::uint8_t kGetChallenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};

const char* reader() { return std::getenv("KIVO_VCARD_READER"); }

void BM_Kivo_CardRoundTrip(benchmark::State& state) {
    if (reader() == nullptr) {
        state.SkipWithError("KIVO_VCARD_READER is not set: start scripts/card-services.sh");
        return;
    }
    CSC_Transport transport;
    if (transport.Connect(reader(), 0) != 0) {
        state.SkipWithError("cannot connect to the virtual card");
        return;
    }
    for (auto _ : state) {
        transport.SetApdu(CSC_Transport::cCaseHeaderLe, 0x00, 0x84, 0x00, 0x00, 0, 8, nullptr, 0);
        if (!transport.SendToCard()) {
            state.SkipWithError("the card did not answer");
            break;
        }
    }
}
BENCHMARK(BM_Kivo_CardRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_PcscLite_CardRoundTrip(benchmark::State& state) {
    if (reader() == nullptr) {
        state.SkipWithError("KIVO_VCARD_READER is not set: start scripts/card-services.sh");
        return;
    }
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS ||
        SCardConnect(context, reader(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                     &protocol) != SCARD_S_SUCCESS) {
        state.SkipWithError("cannot connect to the virtual card");
        if (context != 0) SCardReleaseContext(context);
        return;
    }
    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    std::uint8_t response[258];
    for (auto _ : state) {
        DWORD length = sizeof response;
        if (SCardTransmit(card, pci, kGetChallenge, sizeof kGetChallenge, nullptr, response, &length) !=
            SCARD_S_SUCCESS) {
            state.SkipWithError("the card did not answer");
            break;
        }
        benchmark::DoNotOptimize(response);
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
}
BENCHMARK(BM_PcscLite_CardRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace
