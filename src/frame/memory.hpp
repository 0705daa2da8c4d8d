// Refusing at once what cannot fit in memory.
#pragma once

#include <cstdint>

namespace halvex::frame {

// The bytes this process may use at most: the physical memory, lowered by a
// cgroup memory limit and by the address-space and data-segment limits.
std::uint64_t usable_memory();

// Raise MemoryError, as Python does for a list that is too large, when
// `count` objects (`what`, plural, for the message) of at least `bytes_each`
// bytes each cannot fit in the memory this process may use.  Callers pass a lower bound of what one
// object costs, so nothing that could fit is refused; what cannot fit fails
// before anything is built instead of growing until the machine gives out.
void require_memory(double count, double bytes_each, const char* what);

}  // namespace halvex::frame
