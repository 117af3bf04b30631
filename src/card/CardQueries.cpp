// The CSignMessage queries about the card in a reader: each runs card
// detection on a reader list of its own and answers from the card layout
// object it finds.

#include "SignMessageSSLM.h"
#include "smartcard/base/SC_Profile_Base.h"
#include "smartcard/detect/SC_Profile.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/transport/Reader.h"
#include "src/card/DetectedReader.h"
#include "src/card/TextField.h"
#include "src/frame/Guarded.h"
#include "src/frame/Logging.h"

#include <string>

using kivo::DetectedReader;
using kivo::guarded;

namespace {

constexpr int kSlots = 6;

// The longest text the reader-name and serial-number fields take.
constexpr std::size_t kFieldText = 254;

void copyText(char (&field)[256], const std::string& text) { kivo::copyToField(field, text, kFieldText); }

}  // namespace

bool CSignMessage::IsSmartCardPresent(int reader) {
    return guarded(false, [&] { return reader >= 0 && CReader().IsCardPresent(reader); });
}

bool CSignMessage::isSmartCardSupported(int reader) {
    return guarded(false, [&] {
        const DetectedReader detected(reader);
        return detected.layout() != nullptr && detected.layout()->CardProfile() != 0;
    });
}

int CSignMessage::GetSmartCardProfileType(int reader) {
    return guarded(-1, [&] {
        DetectedReader detected(reader);
        if (detected.layout() != nullptr) return static_cast<int>(detected.layout()->CardProfile());
        return detected.cardPresent() ? 0 : -1;
    });
}

int CSignMessage::GetSmartCardPACEType(int reader) {
    return guarded(0, [&] {
        const DetectedReader detected(reader);
        return detected.layout() != nullptr ? static_cast<int>(detected.layout()->Card()->GetPaceMode()) : 0;
    });
}

std::string CSignMessage::GetSmartCardSerialNum(int reader) {
    return guarded(std::string(), [&] {
        KIVO_LOG_ENTER(m_logger, "GetSmartCardSerialNum");
        const DetectedReader detected(reader);
        const std::string serial = detected.layout() != nullptr ? detected.layout()->SerialNumber() : std::string();
        KIVO_LOG_LEAVE(m_logger, "GetSmartCardSerialNum", serial);
        return serial;
    });
}

bool CSignMessage::IsSmartCardHashAlgoSupported(int reader, int hash) {
    return guarded(false, [&] {
        const DetectedReader detected(reader);
        return detected.layout() != nullptr && detected.layout()->IsHashAllowed(hash);
    });
}

bool CSignMessage::LoadSmartCardInfos(int reader, FSmartCardInfos* info) {
    return guarded(false, [&] {
        KIVO_LOG_ENTER(m_logger, "LoadSmartCardInfos");
        if (reader < 0 || info == nullptr) return false;
        kivo::cardSettings().Load(false);
        CReader readers;
        copyText(info->readerName, readers.GetReaderName(reader));
        copyText(info->serialNumber, "");
        info->reader = reader;
        info->profile = 0;
        info->slots = kSlots;
        info->cardPresent = readers.IsCardPresent(reader);
        info->pinPad = readers.IsPinPadReader(reader) && !kivo::cardSettings().m_settings.m_keyboardPIN;
        info->paceReader = false;
        info->paceType = 0;
        const bool found = info->cardPresent && readers.GetSCProfile(reader) != nullptr;
        if (found) {
            CSC_Profile* layout = readers.GetCardLayout();
            info->paceReader = layout->Card()->IsPaceReader(info->readerName);
            info->profile = layout->CardProfile();
            info->paceType = layout->Card()->GetPaceMode();
            copyText(info->serialNumber, layout->SerialNumber());
        }
        KIVO_LOG_LEAVE(m_logger, "LoadSmartCardInfos", found);
        return found;
    });
}
