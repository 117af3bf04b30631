#include "platform/PcscApi.h"

#include <atomic>

namespace kivo {
namespace {

const PcscApi kPcscLite = {
    SCardEstablishContext, SCardReleaseContext, SCardListReaders, SCardFreeMemory,
    SCardGetStatusChange,  SCardConnect,        SCardReconnect,   SCardDisconnect,
    SCardStatus,           SCardTransmit,       SCardControl,     SCardGetAttrib,
};

std::atomic<const PcscApi*> g_installed{nullptr};

}  // namespace

const PcscApi& defaultPcscApi() { return kPcscLite; }

const PcscApi& pcscApi() {
    const PcscApi* installed = g_installed.load();
    return installed != nullptr ? *installed : kPcscLite;
}

void setPcscApi(const PcscApi* api) { g_installed.store(api); }

ScopedPcscApi::ScopedPcscApi(const PcscApi& api) : m_previous(g_installed.load()) {
    setPcscApi(&api);
}

ScopedPcscApi::~ScopedPcscApi() { setPcscApi(m_previous); }

}  // namespace kivo
