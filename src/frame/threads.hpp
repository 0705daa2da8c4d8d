// The package-wide cap on the threads of one call.
#pragma once

namespace halvex::frame {

// The most threads one large call may use, as halvex.set_num_threads or
// HALVEX_NUM_THREADS set it (halvex._num_threads); 1 when the package does
// not say.  Read at each call that is large enough to split, so a change
// takes effect at once in every module.
int thread_cap();

}  // namespace halvex::frame
