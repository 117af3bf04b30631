// The exception barrier of exported members: no exception leaves the
// library; a member that throws answers with its failure value instead.
#pragma once

namespace kivo {

template <class T, class Body>
T guarded(T failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

}  // namespace kivo
