// Native work over rows, split over threads and run without the
// interpreter lock when it is large enough: the one way every module decides
// both for a call.
#pragma once

#include "frame/gil.hpp"
#include "frame/threads.hpp"
#include "kernels/parallel.hpp"
#include "kernels/vector_math.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace halvex::frame {

// Threads for a call's work (in the units of kernels::thread_count):
// `requested` ones (a caller's threads=k), or for 0 automatic ones within the
// cap of halvex.set_num_threads.  The cap is a Python attribute: it is read
// only for work worth splitting, and before the interpreter lock goes.
inline int threads_for(std::int64_t requested, double work) {
    const bool automatic_and_large = requested == 0 && work >= kernels::work_worth_threads;
    return kernels::thread_count(requested, work, automatic_and_large ? thread_cap() : 1);
}

// How much a call's kernel has to do, for run_rows: the rows it is split by,
// what one row costs on one thread (in nanoseconds, the unit of
// kernels::thread_count), and how many boxes (points, pairs) a row holds,
// which decides the interpreter lock.
struct RowWork {
    std::ptrdiff_t rows;
    double nanoseconds_per_row;
    std::ptrdiff_t elements_per_row = 1;
    // Ranges start at multiples of this many rows: the block of the
    // trigonometry, so that a kernel meets the same blocks as on one thread.
    std::ptrdiff_t aligned_to = kernels::trig_block;
};

// kernel(begin, end) for consecutive row ranges covering [0, work.rows),
// over as many threads as kernels::thread_count grants the work within the
// package cap (halvex.set_num_threads), without the interpreter lock when
// the call is long or threaded.  What a row gives must not depend on the
// other rows of its range beyond the blocks of work.aligned_to rows: then
// the results are the same bits for every thread count.  The kernel touches
// no Python object.  An exception in a range stops the others and is thrown
// here once every thread has finished.  A kernel that returns a flag gives
// true when the call on some range returned true.
template <class Kernel>
auto run_rows(RowWork work, Kernel&& kernel) {
    using Flag = std::invoke_result_t<Kernel&, std::ptrdiff_t, std::ptrdiff_t>;
    static_assert(std::is_void_v<Flag> || std::is_same_v<Flag, bool>);
    const double nanoseconds = static_cast<double>(work.rows) * work.nanoseconds_per_row;
    const int threads = threads_for(0, nanoseconds);
    const std::ptrdiff_t block = kernels::block_for(work.rows, threads, work.aligned_to);
    const bool long_running = threads > 1 || work.rows * work.elements_per_row >= elements_worth_releasing_the_gil;
    if constexpr (std::is_void_v<Flag>) {
        without_gil_if(long_running, [&] { kernels::for_each_block(work.rows, block, threads, kernel); });
    } else {
        std::atomic<bool> raised{false};
        without_gil_if(long_running, [&] {
            kernels::for_each_block(work.rows, block, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
                if (kernel(begin, end)) raised.store(true, std::memory_order_relaxed);
            });
        });
        return raised.load(std::memory_order_relaxed);
    }
}

}  // namespace halvex::frame
