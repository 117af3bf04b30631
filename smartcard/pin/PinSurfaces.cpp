#include "smartcard/pin/PinWindows.h"

namespace kivo::pin {

// No surface yet: every window fails to open, so a dialog ends as
// cancelled.
std::unique_ptr<DialogSurface> openSurface(DialogUse) { return nullptr; }

}  // namespace kivo::pin
