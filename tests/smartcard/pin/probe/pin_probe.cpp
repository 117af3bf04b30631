// Asks for the signature PIN of a card captioned "Card", in English, through the dialogs a process starts with
// (the route the environment picks: pinentry on a desktop or when KIVO_PINENTRY names one, else the terminal),
// as a card operation would, but with no card. Prints "PIN given" (never the PIN) or "cancelled"; exit code 0
// or 1.
#include "smartcard/pin/MessageLanguage.h"
#include "smartcard/pin/PinPrompt.h"
#include "smartcard/pin/SystemDialogs.h"

#include <cstdio>

int main() {
    using namespace kivo::pin;
    setMessageLanguage(0);
    installDialogs(systemDialogs());
    const bool given = askSecret(SecretKind::Pin, {"Card", "Signature", ""}).has_value();
    std::puts(given ? "PIN given" : "cancelled");
    return given ? 0 : 1;
}
