// Work split over a few threads by blocks of rows.
//
// The calling thread is one of the workers; the others are plain std::threads
// started for the call and joined before it returns.  Blocks are handed out in
// order from a shared counter, so a slow block does not hold the others up;
// what a block computes must not depend on which thread runs it, and then
// the results do not depend on the thread count either.
#pragma once

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace halvex::kernels {

// The cores this process may run on.
inline int available_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<int>(hardware) : 1;
}

// Work below this many units (about a nanosecond each) costs less than
// starting a thread; it stays on the calling thread.  Measured on a 2-core
// x86-64 with the kestril conversions and ops.box_convert (1 thread against
// 2, best of many calls): two threads lose below about 100 us of one-thread
// work (20 us of orva_to_box_corners: 0.57x; 70 us of get_angles_from_points:
// 0.8x; 100 us of orva_to_box_corners: 0.85x), break even around 150 us, and
// win from 200 us (190 us of rot_points_multi_rads: 1.2x, 200 us of
// box_convert orva -> le90: 1.04-1.7x, 280 us of kestril.intersections:
// 1.1x, 500 us of orva_to_box_corners: 1.5x).
inline constexpr double work_worth_threads = 200'000;

// The one place that decides how many threads a call uses: `requested`
// threads (0: automatic, the available cores for large work and one thread
// for small work, never more than `cap`).  `work` is in units of about a
// nanosecond.
inline int thread_count(std::int64_t requested, double work, int cap) {
    constexpr std::int64_t most = 256;
    if (requested > 0) return static_cast<int>(std::min(requested, most));
    if (work < work_worth_threads) return 1;
    return std::max(1, std::min({available_cores(), cap, static_cast<int>(most)}));
}

// work(begin, end) for consecutive blocks [begin, end) covering [0, count),
// each at most `block` long, on up to `threads` threads.  An exception in a
// block stops the handing out of further blocks and is rethrown here after
// every thread has finished.
template <class Work>
void for_each_block(std::ptrdiff_t count, std::ptrdiff_t block, int threads, Work&& work) {
    if (count <= 0) return;
    block = std::max<std::ptrdiff_t>(block, 1);
    const std::ptrdiff_t blocks = (count + block - 1) / block;
    const std::ptrdiff_t workers = std::min<std::ptrdiff_t>(std::max(threads, 1), blocks);
    if (workers == 1) {
        work(std::ptrdiff_t{0}, count);
        return;
    }

    std::atomic<std::ptrdiff_t> next_block{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    std::mutex failure_lock;
    auto run = [&]() noexcept {
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            const std::ptrdiff_t index = next_block.fetch_add(1, std::memory_order_relaxed);
            if (index >= blocks) return;
            const std::ptrdiff_t begin = index * block;
            try {
                work(begin, std::min(begin + block, count));
            } catch (...) {
                std::lock_guard<std::mutex> guard(failure_lock);
                if (!failure) failure = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    };

    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<std::size_t>(workers - 1));
    for (std::ptrdiff_t k = 1; k < workers; ++k) {
        try {
            helpers.emplace_back(run);
        } catch (...) {
            break;  // no more threads to be had: the ones running share the blocks
        }
    }
    run();
    for (std::thread& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
}

// A block length that gives each of `threads` threads several blocks, so
// that uneven rows even out.  With `multiple`, the length is a whole number
// of `multiple` rows: a kernel that works `multiple` rows at a time then sees
// the same groups of rows whatever the thread count.
inline std::ptrdiff_t block_for(std::ptrdiff_t count, int threads, std::ptrdiff_t multiple = 1) {
    if (threads <= 1) return std::max<std::ptrdiff_t>(count, 1);
    const std::ptrdiff_t block = std::max<std::ptrdiff_t>(1, count / (8 * static_cast<std::ptrdiff_t>(threads)));
    multiple = std::max<std::ptrdiff_t>(multiple, 1);
    return (block + multiple - 1) / multiple * multiple;
}

}  // namespace halvex::kernels
