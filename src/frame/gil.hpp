// Running native work without the interpreter lock.
#pragma once

#include "frame/ref.hpp"

#include <cstddef>
#include <utility>

namespace halvex::frame {

// Releases the interpreter lock for its lifetime and takes it back on the way
// out, by return or by exception.  While it is released no Python object may
// be touched, Ref and Borrowed included: the work reads and writes only
// memory that the call owns or keeps alive.
class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

// Native work over at least this many elements (boxes, points, pixels)
// runs without the interpreter lock, so that other Python threads go on
// meanwhile; below it the work is over in a few microseconds, not much more
// than releasing and taking back the lock costs.
constexpr std::ptrdiff_t elements_worth_releasing_the_gil = 4096;

// work() without the interpreter lock when `long_running`, with it
// otherwise; its result or exception passes through either way.
template <class Work>
decltype(auto) without_gil_if(bool long_running, Work&& work) {
    if (!long_running) return std::forward<Work>(work)();
    ReleasedGil released;
    return std::forward<Work>(work)();
}

// work() without the interpreter lock; its result or exception passes through.
template <class Work>
decltype(auto) without_gil(Work&& work) {
    ReleasedGil released;
    return std::forward<Work>(work)();
}

}  // namespace halvex::frame
