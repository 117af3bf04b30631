// The exception barrier of exported members: no exception leaves the
// library; a member that throws answers with its failure value instead.
// The barrier also names the member for the records logged below it
// (platform/LogLocation.h): `where` is the call site, the member itself.
#pragma once

#include "platform/LogLocation.h"

namespace kivo {

template <class T, class Body>
T guarded(T failure, Body&& body, logging::Caller where = logging::Caller::current()) noexcept {
    const logging::MemberScope member(logging::callerName(where));
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

}  // namespace kivo
