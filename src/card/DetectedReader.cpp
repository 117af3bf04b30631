#include "src/card/DetectedReader.h"

#include "src/frame/LibraryMain.h"

namespace kivo {

std::string readerNameOrNotConnected(const CReader& readers, int index) {
    if (index < 0 || index >= readers.GetReaderCount()) return CSCM_Interface::cNotConnected;
    return readers.GetReaderName(index);
}

DetectedReader::DetectedReader(int index) : m_reader(index) {
    if (cardPresent() && m_readers.GetSCProfile(index) != nullptr) m_layout = m_readers.GetCardLayout();
}

bool DetectedReader::cardPresent() { return m_reader >= 0 && m_readers.IsCardPresent(m_reader); }

std::unique_ptr<CSCM_Interface> DetectedReader::takeCardKey(int slot, const std::string& certId) {
    if (m_layout == nullptr) return nullptr;
    m_layout = nullptr;
    auto key = std::make_unique<CSCM_Interface>(m_readers.TakeDetectedCard(), m_reader, slot, certId,
                                                libraryModule().base);
    key->SetReaderName(readerNameOrNotConnected(m_readers, m_reader));
    return key;
}

}  // namespace kivo
