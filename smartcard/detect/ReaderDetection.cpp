// The detection members of CReader: they live with the card layers they
// create (the ATR table, the profiles, the card layout object), while the
// reader list itself stays in the transport.
#include "smartcard/base/CardNumbers.h"
#include "smartcard/detect/AtrTable.h"
#include "smartcard/detect/ProfileFactory.h"
#include "smartcard/detect/SC_Profile.h"
#include "smartcard/transport/CardTrace.h"
#include "smartcard/transport/Reader.h"

using kivo::CardTrace;

namespace {

// The card object and its layout object, released layout first: the
// layout object refers to the card object.
class Detected : public kivo::card::DetectedCard {
public:
    explicit Detected(std::unique_ptr<CSC_Profile_Base> card)
        : m_card(std::move(card)), m_layout(std::make_unique<CSC_Profile>(m_card.get())) {}
    ~Detected() override { m_layout.reset(); }
    CSC_Profile_Base* card() override { return m_card.get(); }
    CSC_Profile* layout() override { return m_layout.get(); }

private:
    std::unique_ptr<CSC_Profile_Base> m_card;
    std::unique_ptr<CSC_Profile> m_layout;
};

unsigned long traceValue(const void* pointer) { return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(pointer)); }

}  // namespace

std::int32_t CReader::GetCardType(int index) {
    std::string name;
    const std::int32_t type = kivo::card::cardTypeOfAtr(GetATRText(index), &name);
    if (type != -1) CardTrace::setTitle(name);
    return type;
}

CSC_Profile_Base* CReader::GetSCProfile(int index) {
    CardTrace::write(CardTrace::cLevelInfo, "-->entering CReader::GetSCProfile\n");
    CardTrace::write(CardTrace::cLevelInfo, "index : 0x%08lX\n", static_cast<unsigned long>(index));
    m_detected.reset();
    const std::int32_t type = GetCardType(index);
    std::unique_ptr<CSC_Profile_Base> card = kivo::card::createProfile(type);
    CardTrace::write(CardTrace::cLevelInfo, "m_sc : 0x%08lX\n", traceValue(card.get()));
    if (!card) return nullptr;
    card->SetCardType(type);
    const std::string readerName = GetReaderName(index);
    card->Connect(readerName.c_str(), 0);
    // Micardo 2.1 speaks T=0 only.
    if (type == kivo::card::type::cMicardo21) card->ReconnectProtocol(SCARD_PROTOCOL_T0);
    m_detected = std::make_unique<Detected>(std::move(card));
    CardTrace::setTitle(m_detected->card()->CardOsName());
    CardTrace::write(CardTrace::cLevelInfo, "<--CReader::GetSCProfile\n");
    return m_detected->card();
}
