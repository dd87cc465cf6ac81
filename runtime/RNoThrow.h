// NoThrow: runs a callable and turns any exception into its empty (value-initialised)
// result, for operations whose failures are reported by results, never by exceptions.
#pragma once

namespace DUve {

template <class F>
auto NoThrow(F&& f) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (...) {
        return {};
    }
}

}  // namespace DUve
