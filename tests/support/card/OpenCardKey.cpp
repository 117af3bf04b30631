#include "tests/support/card/OpenCardKey.h"

#include "smartcard/transport/Reader.h"

namespace kivo::test {

std::unique_ptr<CSCM_Interface> openCardKey(const CardUnderTest& card, const std::string& certId) {
    CReader readers;
    for (int index = 0; index < readers.GetReaderCount(); ++index) {
        if (readers.GetReaderName(index) != card.readerName()) continue;
        if (readers.GetSCProfile(index) == nullptr) return nullptr;
        auto key = std::make_unique<CSCM_Interface>(readers.TakeDetectedCard(), index, 0, certId, nullptr);
        key->SetReaderName(card.readerName());
        return key;
    }
    return nullptr;
}

}  // namespace kivo::test
