// What the files of morvane share.  morvane.cpp holds RelativeCrop and
// MeshCrop and sets the module up; crops_data.cpp holds CropData and
// CropsData.
#pragma once

#include "frame/module.hpp"
#include "frame/operators.hpp"

#include <span>

namespace halvex::morvane {

using namespace halvex::frame;
using namespace halvex::frame::python;

namespace names {
inline const Name copy{"copy"};
}  // namespace names

extern const std::span<const Callable> crop_data_methods;
extern const std::span<const Callable> crops_data_methods;

}  // namespace halvex::morvane
