#include "smartcard/pin/MessageLanguage.h"

#include <atomic>

namespace kivo::pin {
namespace {
std::atomic<int> g_messageLanguage{1};
}

int messageLanguage() { return g_messageLanguage.load(std::memory_order_relaxed); }
void setMessageLanguage(int language) {
    g_messageLanguage.store(language, std::memory_order_relaxed);
}
}  // namespace kivo::pin
