#include "smartcard/pin/PinSurfaces.h"

#include "smartcard/pin/DialogChoice.h"

#include <openssl/crypto.h>

namespace kivo::pin {

Secret takeSecret(std::string& buffer) {
    Secret secret(buffer);
    if (!buffer.empty()) OPENSSL_cleanse(buffer.data(), buffer.size());
    buffer.clear();
    return secret;
}

std::unique_ptr<DialogSurface> openSurface(DialogUse use) {
    const DialogEnvironment environment = currentDialogEnvironment();
    switch (chooseDialogRoute(use, environment)) {
        case DialogRoute::Pinentry: return openPinentrySurface(pinentryProgram(environment));
        case DialogRoute::Terminal: return openTerminalSurface();
        default: return nullptr;
    }
}

}  // namespace kivo::pin
