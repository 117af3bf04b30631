#include "src/signing/CardKeyOperations.h"

#include <atomic>

namespace kivo {
namespace {
std::atomic<const CardKeyOperations*> installed{nullptr};
}

void registerCardKeyOperations(const CardKeyOperations* operations) { installed.store(operations); }

const CardKeyOperations* cardKeyOperations() { return installed.load(); }

}  // namespace kivo
