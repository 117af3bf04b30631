// The exception barrier of exported members: no exception leaves the
// library; a member that throws answers with its failure value instead.
// The barrier also names the member for the records logged below it
// (platform/LogLocation.h): `where` is the call site, the member itself.
#pragma once

#include "platform/LogLocation.h"

#include <source_location>

namespace kivo {

template <class T, class Body>
T guarded(T failure, Body&& body, std::source_location where = std::source_location::current()) noexcept {
    const logging::MemberScope member(where.function_name());
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

}  // namespace kivo
