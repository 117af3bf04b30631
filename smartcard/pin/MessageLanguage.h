// Selector of the PIN-dialog message table: 0 English, 1 German,
// 2 Swedish (any other value reads the German table).
#pragma once

namespace kivo::pin {
int messageLanguage();
void setMessageLanguage(int language);
}  // namespace kivo::pin
