// The families of halvex.ops.  Each lives in a file of its own beside this
// header and contributes one table of callables; ops.cpp sets up the module
// and defines the tables in this order.
#pragma once

#include "frame/function.hpp"

#include <span>

namespace halvex::ops {

// Overlap of rotated boxes: areas, IoU / IoF, sparse pairs, NMS, visibility.
extern const std::span<const frame::Callable> overlap_functions;
// Conversions between the box conventions of other libraries.
extern const std::span<const frame::Callable> convention_functions;

}  // namespace halvex::ops
