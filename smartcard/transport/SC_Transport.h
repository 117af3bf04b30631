// CSC_Transport: the transport state and operations of one card object:
// card handle, command fields, response buffer, status word, protocol
// choice, and the pin-pad features and structures of the reader.
//
// The card command base (CSC_Profile_Base) derives from this class, so the
// card operating-system profiles reach the command fields as their own
// members and every card byte goes through SendToCard or TransmitControl.
#pragma once

#include "smartcard/transport/SC_Pcsc.h"

#include <PCSC/winscard.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CSC_Transport {
public:
    // Layout of the command APDU ("header" is CLA INS P1 P2).
    enum ApduCase : std::uint32_t {
        cCaseHeaderLc0 = 0,     // header, low byte of Lc
        cCaseHeader = 1,        // header only
        cCaseHeaderLe = 2,      // header, low byte of Le
        cCaseHeaderLc3 = 3,     // as 0
        cCaseHeaderLc4 = 4,     // as 0
        cCaseDataLe = 5,        // header, Lc, data, Le
        cCaseData = 6,          // header, Lc, data
        cCaseExtended = 7,      // header, 00, Lc (2), data, Le (2)
    };

    // Reader attribute with the reader's system name.
    static constexpr DWORD cAttrDeviceSystemName = 0x7FFF0004;

    CSC_Transport();
    virtual ~CSC_Transport();
    CSC_Transport(const CSC_Transport&) = delete;
    CSC_Transport& operator=(const CSC_Transport&) = delete;

    // Stores the command fields and replaces the response buffer by one of
    // 512 bytes (case 7) or 256 bytes. The data are not copied: they must
    // stay valid until SendToCard.
    void SetApdu(std::uint32_t apduCase, std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                 std::uint8_t p2, std::uint16_t lc, std::uint16_t le, const std::uint8_t* data,
                 std::uint16_t dataLength);

    // Sends the prepared command. True when a response came back, whatever
    // its status word; false on a transport failure, an unknown case, or
    // command data shorter than Lc (nothing is sent then).
    bool SendToCard();

    // One reader control request. True when SCardControl succeeded.
    bool TransmitControl(std::uint32_t controlCode, const std::uint8_t* input,
                         std::uint32_t inputLength);

    // Connects to the reader (shared, T=0 or T=1). A context of 0 makes the
    // object establish one of its own. 0 on success, 255 on failure.
    std::uint32_t Connect(const char* readerName, SCARDCONTEXT context);
    // Resets the card into the given protocol when another one is active.
    // Returns the PC/SC result.
    long ReconnectProtocol(DWORD protocol);

    // Replaces the pin-pad feature object by one for the current handle and
    // reads the reader system name; returns the pin-pad flag. The command
    // base rebuilds the verify and modify structures after it.
    bool RefreshPinPadFeatures();
    bool IsPaceAvailable() const { return m_pcsc != nullptr && m_pcsc->isPace(); }
    // One PACE request to the reader (FEATURE_EXECUTE_PACE) and the reader's
    // whole answer, which is no card response: the status word stays as it
    // was. False without the feature or when the request fails. The request
    // holds the PACE secret: it is traced masked; the caller wipes it.
    bool ExecutePace(const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& answer);
    const CSC_Pcsc* PinPadFeatures() const { return m_pcsc.get(); }

    // Pin-pad operations over the reader features; each first gives the
    // response a capacity of 256. The card command base offers them as
    // virtual operations that profiles may replace; these are the transport
    // steps they fall back on.
    // 0 on success, 1 on failure (also without a verify feature).
    std::uint32_t StartVerifyPinPad();
    bool FinishVerifyPinPad();
    std::uint32_t StartModifyPinPad();
    bool FinishModifyPinPad();
    // The start requests with an input of the caller's (a structure with
    // the APDU data a card operating system wants after it).
    std::uint32_t StartVerifyPinPadWith(const std::vector<std::uint8_t>& input);
    std::uint32_t StartModifyPinPadWith(const std::vector<std::uint8_t>& input);
    // 1 without the feature, 0 when the request fails or the answer is not
    // exactly one byte, else the key code.
    std::uint8_t GetKeyPressed();
    // True when the last GetKeyPressed could not reach the reader (failed
    // request or malformed answer), as opposed to "no key yet".
    bool KeyPollFailed() const { return m_keyPollFailed; }

    // The PC/SC PIN verify and PIN modify structures the pin-pad operations send.
    void SetVerifyStruct(std::vector<std::uint8_t> structure) { m_verifyStruct = std::move(structure); }
    void SetModifyStruct(std::vector<std::uint8_t> structure) { m_modifyStruct = std::move(structure); }
    const std::vector<std::uint8_t>& VerifyStruct() const { return m_verifyStruct; }
    const std::vector<std::uint8_t>& ModifyStruct() const { return m_modifyStruct; }

    // Gives the response buffer a new capacity (allocated anew).
    void SetResponseCapacity(std::uint32_t capacity);
    // Whether the prepared command is a SELECT identical to the last
    // command the card received, which it answered with 9000: the card
    // stands where that SELECT left it, nothing was sent in between.
    bool RepeatsLastSelect() const;
    // Another program may have used the card since: the last SELECT no
    // longer tells where the card stands.
    void ForgetLastSelect() { m_lastSelect.clear(); }

    SCARDHANDLE Handle() const { return m_hScard; }
    // The reader and the PC/SC context of the last successful Connect.
    const std::string& ConnectedReader() const { return m_connectedReader; }
    SCARDCONTEXT ConnectedContext() const { return m_connectedContext; }
    const std::uint8_t* Response() const { return m_response.data(); }
    // Before sending the capacity, after it the data bytes received.
    std::uint32_t ResponseLength() const { return m_dwResponseLen; }
    std::uint16_t SW1() const { return m_wSW1; }
    std::uint16_t SW2() const { return m_wSW2; }
    std::uint16_t StatusWord() const { return static_cast<std::uint16_t>((m_wSW1 << 8) | m_wSW2); }
    bool UsesT1() const { return m_useT1; }
    std::int32_t CardTypeNumber() const { return m_cardType; }
    const std::string& ReaderSystemName() const { return m_readerSystemName; }

protected:
    // Whether a command with a 512-byte response capacity may receive 512
    // data bytes and the status word. Most cards never answer more than 510
    // data bytes there, so the receive length stays at 512; a card
    // operating system that sends whole 512-byte answers says so here.
    virtual bool ReceivesFull512ByteAnswers() const { return false; }
    // Reads the active protocol: clears the T=1 flag for good when the card
    // runs T=0, and traces the protocol in use.
    void CheckProtocol();
    // GET RESPONSE for the byte count in the 61xx answer in recv[0..1];
    // fills recv (at least 258 bytes) and its length. False on failure.
    bool GetResponse(std::uint8_t* recv, DWORD& recvLength);
    // Data bytes to the response buffer, the last two bytes to SW1/SW2;
    // `secretData` masks the data bytes in the trace.
    void TakeResponse(const std::uint8_t* recv, std::size_t length, bool secretData);

    SCARDHANDLE m_hScard = 0;
    std::uint32_t m_dwApduCase = 0;
    std::uint8_t m_bCla = 0;
    std::uint8_t m_bIns = 0;
    std::uint8_t m_bP1 = 0;
    std::uint8_t m_bP2 = 0;
    std::uint16_t m_wLc = 0;
    std::uint16_t m_wLe = 0;
    const std::uint8_t* m_pData = nullptr;
    std::uint16_t m_wDataLen = 0;
    std::vector<std::uint8_t> m_response;
    std::uint32_t m_dwResponseLen = 0;
    std::uint16_t m_wSW1 = 0;
    std::uint16_t m_wSW2 = 0;
    std::int32_t m_cardType = 0;
    bool m_useT1 = true;
    std::string m_readerSystemName;
    std::unique_ptr<CSC_Pcsc> m_pcsc;
    std::vector<std::uint8_t> m_verifyStruct;
    std::vector<std::uint8_t> m_modifyStruct;

private:
    // SCardControl with the input traced (masked for a PACE request) and
    // passed from a wiped copy; `returned` is bounded by `outputSize`.
    LONG CallControl(std::uint32_t controlCode, const std::uint8_t* input, std::uint32_t inputLength,
                     std::uint8_t* output, DWORD outputSize, DWORD& returned);

    // The last command sent, when it was a SELECT the card answered with
    // 9000; empty after any other command, a failure or a new connection.
    std::vector<std::uint8_t> m_lastSelect;
    std::string m_connectedReader;
    SCARDCONTEXT m_connectedContext = 0;
    bool m_keyPollFailed = false;
    // A context established by Connect for itself, released at the end.
    SCARDCONTEXT m_ownContext = 0;
    bool m_hasOwnContext = false;
};
