// The card command base on arbitrary card answers: a reader whose every
// transmission returns the next piece of the input drives the selection by
// path, the transparent and record read loops, the chunked write, the
// challenge rounds and a PIN verification. Whatever the card says, the
// loops must end, stay within what was asked, and keep the selection cache
// within its bounds.
#include "fuzz/FuzzInput.h"

#include "smartcard/transport/CardTrace.h"
#include "smartcard/key/ConfigSC.h"
#include "platform/PcscApi.h"
#include "smartcard/base/SC_Profile_Base.h"

#include <algorithm>
#include <cstring>

namespace {

// The answers still to be given: each is a length byte and that many bytes.
const std::uint8_t* g_next = nullptr;
std::size_t g_left = 0;

LONG fuzzTransmit(SCARDHANDLE, const SCARD_IO_REQUEST*, LPCBYTE, DWORD, SCARD_IO_REQUEST*,
                  LPBYTE recv, LPDWORD recvLength) {
    if (g_left == 0) return SCARD_E_NO_SMARTCARD;
    const std::size_t length = std::min<std::size_t>(g_next[0], g_left - 1);
    if (length > *recvLength) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(recv, g_next + 1, length);
    *recvLength = static_cast<DWORD>(length);
    g_next += length + 1;
    g_left -= length + 1;
    return SCARD_S_SUCCESS;
}

LONG fuzzStatus(SCARDHANDLE, LPSTR, LPDWORD, LPDWORD, LPDWORD protocol, LPBYTE, LPDWORD) {
    if (protocol != nullptr) *protocol = SCARD_PROTOCOL_T1;
    return SCARD_S_SUCCESS;
}

LONG fuzzControl(SCARDHANDLE, DWORD, LPCVOID, DWORD, LPVOID, DWORD, LPDWORD) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}

kivo::PcscApi fuzzApi() {
    kivo::PcscApi api = kivo::defaultPcscApi();
    api.Transmit = fuzzTransmit;
    api.Status = fuzzStatus;
    api.Control = fuzzControl;
    return api;
}

// A card profile with ISO 7816 selects whose file length is whatever the
// control information in the answer says (tag 80 of an FCP), read with
// bounds checks of its own.
class FuzzProfile : public CSC_Profile_Base {
public:
    std::uint32_t GetFileLen() override {
        const std::uint8_t* r = Response();
        const std::uint32_t n = std::min<std::uint32_t>(ResponseLength(), 256);
        if (n < 4 || r[0] != 0x62) return 0;
        for (std::uint32_t at = 2; at + 2 <= n;) {
            const std::uint8_t tag = r[at];
            const std::uint8_t len = r[at + 1];
            if (at + 2 + len > n) return 0;
            if (tag == 0x80 && len >= 1 && len <= 2) {
                return len == 1 ? r[at + 2] : (std::uint32_t{r[at + 2]} << 8) | r[at + 3];
            }
            at += 2 + len;
        }
        return 0;
    }
    CardResult GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out, std::uint16_t le) override {
        SetApdu(cCaseHeaderLe, 0x00, 0xCA, p1, p2, 0, le, nullptr, 0);
        if (!SendToCard()) return kivo::card::cFailed;
        out.assign(Response(), Response() + ResponseLength());
        return StatusWord() == 0x9000 ? kivo::card::cOk : kivo::card::cFailed;
    }
    CardResult SCSelectMF() override { return select(0x00, kMf, 2); }
    CardResult SCSelectDF(const std::uint8_t* fid, std::uint32_t length) override {
        return select(0x01, fid, length);
    }
    CardResult SCSelectEF(const std::uint8_t* fid) override { return select(0x02, fid, 2); }
    CardResult SCSignData(const std::string&, std::uint32_t, const std::uint8_t*, std::uint32_t,
                          Bytes&, std::uint32_t, std::uint8_t) override {
        return kivo::card::cFailed;
    }
    CardResult SCDecipher(const std::string&, std::uint32_t, const std::uint8_t*, std::uint32_t,
                          Bytes&, std::uint32_t, std::uint8_t) override {
        return kivo::card::cFailed;
    }
    void CreateModifyStruct() override { SetModifyStruct(BaseModifyStruct()); }
    void CreateVerifyStruct() override { SetVerifyStruct(BaseVerifyStruct()); }

private:
    static constexpr std::uint8_t kMf[2] = {0x3F, 0x00};
    CardResult select(std::uint8_t p1, const std::uint8_t* fid, std::uint32_t length) {
        m_fid.assign(fid, fid + length);
        SetApdu(cCaseDataLe, 0x00, 0xA4, p1, 0x04, static_cast<std::uint16_t>(length), 0,
                m_fid.data(), static_cast<std::uint16_t>(length));
        return SCSelect();
    }
    Bytes m_fid;
};

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const kivo::PcscApi api = fuzzApi();
    static const bool quiet = [] {
        kivo::cardSettings().m_settings.m_traceEnabled = false;
        kivo::CardTrace::setSuppressed(true);
        return true;
    }();
    (void)quiet;
    if (size < 2) return 0;
    kivo::ScopedPcscApi scripted(api);
    kivo::fuzz::ExactCopy input(data + 2, size - 2);
    g_next = input.data();
    g_left = size - 2;

    FuzzProfile card;
    card.SetBlockSize(static_cast<std::uint16_t>(1 + data[0] % 250));
    CSC_Profile_Base::Bytes out;

    card.SelectPath("3f00/5015/c000", (data[1] & 1) != 0, (data[1] & 2) != 0);
    card.ReadFile(out);
    check(out.size() <= 0xFFFF);
    card.ReadFilePart(out, 600);
    check(out.size() <= 600);
    card.ReadFileOffset(out, 100, 300);
    check(out.size() <= 300);
    card.ReadAllRecords(out);
    card.SelectPath("3f00/5015/4401/c001", false, (data[1] & 4) != 0, (data[1] & 8) != 0);
    check(card.GetCurrFilePath().size() <= 2 * (CSC_Profile_Base::cMaxDfPathLength + 8));
    card.PushCurrentFile("");
    card.SelectPath("a000000063504b43532d3135", false, true, false, true);
    card.PopCurrentFile();

    const std::uint8_t content[300] = {};
    card.UpdateFile(content, sizeof content);
    std::uint8_t challenge[20] = {};
    card.GetChallange(challenge, sizeof challenge);
    card.Verify("3f00", "", (data[1] & 16) != 0, 0x81, false, "123456");
    return 0;
}
