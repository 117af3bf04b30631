// The card as a whole: its ATR, file system, security objects and data
// objects, and the dispatch of each command APDU to the part that answers it.
#pragma once

#include "tools/vcard/Apdu.h"
#include "tools/vcard/Bytes.h"
#include "tools/vcard/Dialect.h"
#include "tools/vcard/FileSystem.h"
#include "tools/vcard/Security.h"

#include <map>
#include <memory>
#include <string>

namespace vcard {

class Card {
public:
    // The file system and the security objects answer in the card's dialect.
    Card() {
        files.dialect = dialect;
        security.dialect = dialect;
    }

    Bytes atr;
    std::shared_ptr<Dialect> dialect = std::make_shared<Dialect>();
    FileSystem files;
    Security security;
    std::map<std::uint16_t, Bytes> dataObjects;  // GET DATA, by P1 P2

    // Power off, power on and reset all end the session: PINs are no longer
    // verified, the MF is selected, the security environment is empty.
    void reset();

    // The response (data and status word) to one command APDU.
    Bytes process(const Bytes& command);

private:
    // The answer to a command other than GET RESPONSE.
    Bytes answer(Apdu apdu);
    // The answer, or 61xx with its data kept for GET RESPONSE when the
    // dialect's get-response option covers the instruction.
    Bytes heldForGetResponse(std::uint8_t ins, Bytes response);
    static bool listsInstruction(const std::string& list, std::uint8_t ins);
    // GET RESPONSE (C0): up to Le bytes of the kept data; 61xx while more remain.
    Bytes getResponse(const Apdu& apdu);
    Bytes getChallenge(const Apdu& apdu);
    Bytes getData(const Apdu& apdu);
    // The PACE hook of the emulated reader (dialect pace-can).
    Bytes paceHook(const Apdu& apdu);

    Bytes m_chained;          // data of a command chain so far
    std::uint8_t m_chainIns = 0;
    Bytes m_pending;          // data waiting for GET RESPONSE
    bool m_paceChannel = false;  // PACE established (dialect pace-can)
};

}  // namespace vcard
