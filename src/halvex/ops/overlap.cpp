// Overlap of rotated boxes.

#include "halvex/ops/families.hpp"

namespace halvex::ops {

const std::span<const frame::Callable> overlap_functions{};

}  // namespace halvex::ops
