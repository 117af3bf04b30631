#include "platform/LogLocation.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace kivo::logging {
namespace {

thread_local const char* t_member = nullptr;

constexpr const char kLambda[] = "::<lambda";

// `signature` without its lambda suffix, kept for the rest of the
// process (log4cxx keeps the pointer in the record).
const char* withoutLambda(const char* signature) {
    const char* lambda = std::strstr(signature, kLambda);
    if (lambda == nullptr) return signature;
    static std::mutex mutex;
    static std::set<std::string, std::less<>> names;
    const std::lock_guard<std::mutex> lock(mutex);
    return names.emplace(signature, static_cast<std::size_t>(lambda - signature)).first->c_str();
}

}  // namespace

const char* recordMethod(const char* own) noexcept {
    try {
        return withoutLambda(t_member != nullptr ? t_member : own);
    } catch (...) {
        return own;
    }
}

// A barrier opened in a lambda or a file-local helper runs inside the
// member that called it; only another member's barrier names a new one.
MemberScope::MemberScope(const char* signature) noexcept : m_previous(t_member) {
    const bool helper = std::strstr(signature, kLambda) != nullptr || std::strstr(signature, "{anonymous}::") != nullptr;
    if (m_previous == nullptr || !helper) t_member = signature;
}

MemberScope::~MemberScope() { t_member = m_previous; }

}  // namespace kivo::logging
