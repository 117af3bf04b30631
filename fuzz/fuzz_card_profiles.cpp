// Every card operating-system profile reading what a card answers: the
// serial number, the file size of a SELECT answer, and GET DATA. The input
// picks the profile and then gives the card's answers in turn (a length
// octet, then that many octets); a card that runs out of answers fails the
// transmission. No read outside an answer, no endless loop on a card that
// keeps answering "more data".
#include "fuzz/FuzzInput.h"
#include "platform/PcscApi.h"
#include "smartcard/profiles/SC_Profile_CardOS43b.h"
#include "smartcard/profiles/SC_Profile_CardOS44.h"
#include "smartcard/profiles/SC_Profile_CardOS50.h"
#include "smartcard/profiles/SC_Profile_CardOS54.h"
#include "smartcard/profiles/SC_Profile_CardOS60.h"
#include "smartcard/profiles/SC_Profile_Micardo21.h"
#include "smartcard/profiles/SC_Profile_SecCos5.h"
#include "smartcard/profiles/SC_Profile_SetCos441.h"
#include "smartcard/profiles/SC_Profile_SetCos442.h"
#include "smartcard/profiles/SC_Profile_StarCos30.h"
#include "smartcard/profiles/SC_Profile_StarCos32.h"
#include "smartcard/profiles/SC_Profile_StarCos34.h"
#include "smartcard/profiles/SC_Profile_StarCos35.h"
#include "smartcard/profiles/SC_Profile_StarCos37.h"
#include "smartcard/profiles/SC_Profile_TCOS20.h"
#include "smartcard/profiles/SC_Profile_TCOS30.h"
#include "smartcard/profiles/SC_Profile_TCOS30V2.h"

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

// The answers still to give, each in a heap block of exactly its size.
std::vector<kivo::fuzz::ExactCopy>* g_answers = nullptr;
std::size_t g_next = 0;

LONG establish(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    *context = 1;
    return SCARD_S_SUCCESS;
}
LONG release(SCARDCONTEXT) { return SCARD_S_SUCCESS; }
LONG list(SCARDCONTEXT, LPCSTR, LPSTR, LPDWORD) { return SCARD_E_NO_READERS_AVAILABLE; }
LONG freeMemory(SCARDCONTEXT, LPCVOID) { return SCARD_S_SUCCESS; }
LONG statusChange(SCARDCONTEXT, DWORD, SCARD_READERSTATE*, DWORD) { return SCARD_E_TIMEOUT; }
LONG connect(SCARDCONTEXT, LPCSTR, DWORD, DWORD, LPSCARDHANDLE card, LPDWORD protocol) {
    *card = 1;
    *protocol = SCARD_PROTOCOL_T1;
    return SCARD_S_SUCCESS;
}
LONG reconnect(SCARDHANDLE, DWORD, DWORD preferred, DWORD, LPDWORD active) {
    *active = preferred;
    return SCARD_S_SUCCESS;
}
LONG disconnect(SCARDHANDLE, DWORD) { return SCARD_S_SUCCESS; }
LONG status(SCARDHANDLE, LPSTR, LPDWORD, LPDWORD state, LPDWORD protocol, LPBYTE, LPDWORD) {
    if (state) *state = SCARD_PRESENT | SCARD_POWERED;
    if (protocol) *protocol = SCARD_PROTOCOL_T1;
    return SCARD_S_SUCCESS;
}
LONG transmit(SCARDHANDLE, const SCARD_IO_REQUEST*, LPCBYTE, DWORD, SCARD_IO_REQUEST*, LPBYTE out,
              LPDWORD outLength) {
    if (g_next >= g_answers->size()) return SCARD_E_NOT_TRANSACTED;
    const kivo::fuzz::ExactCopy& answer = (*g_answers)[g_next++];
    if (answer.size() > *outLength) return SCARD_E_INSUFFICIENT_BUFFER;
    if (answer.size() > 0) std::memcpy(out, answer.data(), answer.size());
    *outLength = answer.size();
    return SCARD_S_SUCCESS;
}
LONG control(SCARDHANDLE, DWORD, LPCVOID, DWORD, LPVOID, DWORD, LPDWORD) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}
LONG attribute(SCARDHANDLE, DWORD, LPBYTE, LPDWORD) { return SCARD_E_UNSUPPORTED_FEATURE; }

const kivo::PcscApi kCard{establish, release,    list,     freeMemory, statusChange, connect,
                    reconnect, disconnect, status,   transmit,   control,      attribute};

template <class Profile>
std::unique_ptr<CSC_Profile_Base> make() {
    return std::make_unique<Profile>();
}

const std::vector<std::function<std::unique_ptr<CSC_Profile_Base>()>> kProfiles = {
    make<CSC_Profile_TCOS20>,     make<CSC_Profile_TCOS30>,     make<CSC_Profile_TCOS30V2>,
    make<CSC_Profile_Micardo21>,  make<CSC_Profile_CardOS43b>,  make<CSC_Profile_CardOS44>,
    make<CSC_Profile_CardOS50>,   make<CSC_Profile_CardOS54>,   make<CSC_Profile_CardOS60>,
    make<CSC_Profile_StarCos30>,  make<CSC_Profile_StarCos32>,  make<CSC_Profile_StarCos34>,
    make<CSC_Profile_StarCos35>,  make<CSC_Profile_StarCos37>,  make<CSC_Profile_SecCos5>,
    make<CSC_Profile_SetCos441>,  make<CSC_Profile_SetCos442>,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t which = data[0] % kProfiles.size();
    const bool dTrust = (data[1] & 1) != 0;  // StarCos 3.7 as card type 21
    std::vector<kivo::fuzz::ExactCopy> answers;
    for (std::size_t at = 2; at < size;) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        answers.emplace_back(data + at + 1, length);
        at += 1 + length;
    }
    g_answers = &answers;
    g_next = 0;
    const kivo::ScopedPcscApi scripted(kCard);

    std::unique_ptr<CSC_Profile_Base> profile = kProfiles[which]();
    if (dTrust) profile->SetCardType(21);
    if (profile->Connect("fuzz reader", 1) != 0) return 0;
    (void)profile->GetSerialNumber();
    if (profile->SelectPath("3f00/5015/4401") == 0) (void)profile->GetFileLen();
    CSC_Profile_Base::Bytes out;
    (void)profile->GetData(0x01, 0x81, out, 0);
    (void)profile->GetData(0x01, 0x01, out, 300);
    g_answers = nullptr;
    return 0;
}
