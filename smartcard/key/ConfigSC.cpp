#include "smartcard/key/ConfigSC.h"

namespace {
// Both records exist from load to unload.
ConfigSC g_cardSettings;
ConfigSC g_defaultCardSettings;
}  // namespace

namespace kivo {
ConfigSC& cardSettings() { return g_cardSettings; }
ConfigSC& defaultCardSettings() { return g_defaultCardSettings; }
}  // namespace kivo
