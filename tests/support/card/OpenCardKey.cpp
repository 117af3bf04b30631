#include "tests/support/card/OpenCardKey.h"

#include "smartcard/transport/Reader.h"

namespace kivo::test {

namespace {

int indexIn(const CReader& readers, const std::string& name) {
    for (int index = 0; index < readers.GetReaderCount(); ++index) {
        if (readers.GetReaderName(index) == name) return index;
    }
    return -1;
}

}  // namespace

int readerIndexOf(const std::string& readerName) {
    CReader readers;
    return indexIn(readers, readerName);
}

int readerIndexOf(const CardUnderTest& card) { return readerIndexOf(card.readerName()); }

std::unique_ptr<CSCM_Interface> openCardKey(const CardUnderTest& card, const std::string& certId) {
    CReader readers;
    const int index = indexIn(readers, card.readerName());
    if (index < 0 || readers.GetSCProfile(index) == nullptr) return nullptr;
    auto key = std::make_unique<CSCM_Interface>(readers.TakeDetectedCard(), index, 0, certId, nullptr);
    key->SetReaderName(card.readerName());
    return key;
}

}  // namespace kivo::test
