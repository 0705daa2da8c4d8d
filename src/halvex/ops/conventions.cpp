// Conversions between rotated-box conventions.

#include "halvex/ops/families.hpp"

namespace halvex::ops {

const std::span<const frame::Callable> convention_functions{};

}  // namespace halvex::ops
