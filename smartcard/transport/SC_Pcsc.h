// CSC_Pcsc: the pin-pad features of the reader behind one card handle, as
// the reader lists them in its answer to the PC/SC feature request of
// secure PIN entry readers.
#pragma once

#include <PCSC/winscard.h>

#include <array>
#include <cstddef>
#include <cstdint>

class CSC_Pcsc {
public:
    // Tags of the PC/SC feature list that the card layer uses.
    enum FeatureTag : std::uint8_t {
        cFeatureVerifyPinStart = 0x01,
        cFeatureVerifyPinFinish = 0x02,
        cFeatureModifyPinStart = 0x03,
        cFeatureModifyPinFinish = 0x04,
        cFeatureGetKeyPressed = 0x05,
        cFeatureVerifyPinDirect = 0x06,
        cFeatureModifyPinDirect = 0x07,
        cFeatureExecutePace = 0x20,
    };

    // Asks the reader for its feature list (SCardControl with the feature
    // request); a failing request or a malformed answer leaves every
    // feature absent.
    explicit CSC_Pcsc(SCARDHANDLE card);

    SCARDHANDLE handle() const { return m_card; }
    bool isPinPad() const { return m_pinPad; }
    bool isPace() const { return m_pace; }
    std::size_t featureCount() const { return m_featureCount; }
    const std::array<std::uint8_t, 256>& rawAnswer() const { return m_answer; }

    // Control code of a feature, 0 when the reader does not offer it.
    std::uint32_t controlCode(std::uint8_t tag) const;
    std::uint32_t verifyPinDirect() const { return m_verifyPinDirect; }
    std::uint32_t verifyPinStart() const { return m_verifyPinStart; }
    std::uint32_t verifyPinFinish() const { return m_verifyPinFinish; }
    std::uint32_t modifyPinDirect() const { return m_modifyPinDirect; }
    std::uint32_t modifyPinStart() const { return m_modifyPinStart; }
    std::uint32_t modifyPinFinish() const { return m_modifyPinFinish; }
    std::uint32_t getKeyPressed() const { return m_getKeyPressed; }
    std::uint32_t executePace() const { return m_executePace; }

    // The control code of the feature request on this platform: pcsc-lite's
    // SCARD_CTL_CODE(3400) (Windows numbers the same request 0x00313520).
    static std::uint32_t featureRequestCode();

private:
    void parse(std::size_t length);

    SCARDHANDLE m_card = 0;
    std::array<std::uint8_t, 256> m_answer{};
    std::size_t m_featureCount = 0;
    std::uint32_t m_verifyPinDirect = 0;
    std::uint32_t m_verifyPinStart = 0;
    std::uint32_t m_verifyPinFinish = 0;
    std::uint32_t m_modifyPinDirect = 0;
    std::uint32_t m_modifyPinStart = 0;
    std::uint32_t m_modifyPinFinish = 0;
    std::uint32_t m_getKeyPressed = 0;
    std::uint32_t m_executePace = 0;
    bool m_pinPad = false;
    bool m_pace = false;
};
