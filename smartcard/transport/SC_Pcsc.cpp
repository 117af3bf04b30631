#include "smartcard/transport/SC_Pcsc.h"

#include "smartcard/transport/CardTrace.h"
#include "platform/PcscApi.h"

#include <PCSC/reader.h>

#include <algorithm>

namespace {
// Each entry of the feature list: tag, length (4), control code big-endian.
constexpr std::size_t kEntrySize = 6;
}  // namespace

std::uint32_t CSC_Pcsc::featureRequestCode() { return CM_IOCTL_GET_FEATURE_REQUEST; }

CSC_Pcsc::CSC_Pcsc(SCARDHANDLE card) : m_card(card) {
    DWORD returned = 0;
    const LONG rc = kivo::pcscApi().Control(card, featureRequestCode(), nullptr, 0,
                                            m_answer.data(), m_answer.size(), &returned);
    if (rc != SCARD_S_SUCCESS) {
        kivo::CardTrace::write(kivo::CardTrace::cLevelDetail,
                               "CSC_Pcsc: feature request failed 0x%08X\n",
                               static_cast<unsigned>(rc));
        return;
    }
    parse(std::min<std::size_t>(returned, m_answer.size()));
}

void CSC_Pcsc::parse(std::size_t length) {
    if (length == 0 || length % kEntrySize != 0) return;
    m_featureCount = length / kEntrySize;
    for (std::size_t at = 0; at < length; at += kEntrySize) {
        const std::uint8_t tag = m_answer[at];
        const std::uint32_t code = (std::uint32_t{m_answer[at + 2]} << 24) |
                                   (std::uint32_t{m_answer[at + 3]} << 16) |
                                   (std::uint32_t{m_answer[at + 4]} << 8) | m_answer[at + 5];
        switch (tag) {
            case cFeatureVerifyPinDirect: m_verifyPinDirect = code; m_pinPad = true; break;
            case cFeatureVerifyPinStart: m_verifyPinStart = code; m_pinPad = true; break;
            case cFeatureVerifyPinFinish: m_verifyPinFinish = code; break;
            case cFeatureModifyPinDirect: m_modifyPinDirect = code; m_pinPad = true; break;
            case cFeatureModifyPinStart: m_modifyPinStart = code; m_pinPad = true; break;
            case cFeatureModifyPinFinish: m_modifyPinFinish = code; break;
            case cFeatureGetKeyPressed: m_getKeyPressed = code; break;
            case cFeatureExecutePace: m_executePace = code; m_pace = true; break;
            default: break;  // features the card layer does not use
        }
    }
}

std::uint32_t CSC_Pcsc::controlCode(std::uint8_t tag) const {
    switch (tag) {
        case cFeatureVerifyPinDirect: return m_verifyPinDirect;
        case cFeatureVerifyPinStart: return m_verifyPinStart;
        case cFeatureVerifyPinFinish: return m_verifyPinFinish;
        case cFeatureModifyPinDirect: return m_modifyPinDirect;
        case cFeatureModifyPinStart: return m_modifyPinStart;
        case cFeatureModifyPinFinish: return m_modifyPinFinish;
        case cFeatureGetKeyPressed: return m_getKeyPressed;
        case cFeatureExecutePace: return m_executePace;
        default: return 0;
    }
}
