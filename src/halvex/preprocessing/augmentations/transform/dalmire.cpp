// Center-crop while preserving a target aspect ratio.
//
// The transform classes of this module are defined in its body below.

#include "frame/module.hpp"

namespace {

using namespace halvex;

void body(frame::ModuleBuilder& module) {
    module.import_module("numpy", "np");
    module.import_module("albumentations", "albumentations");
}

const frame::ModuleDefinition definition = {
    "dalmire",
    "halvex.preprocessing.augmentations.transform.dalmire",
    "Center-crop while preserving a target aspect ratio.",
    HALVEX_MODULE_SOURCE,
    body,
};

}  // namespace

PyMODINIT_FUNC PyInit_dalmire() { return frame::module_init(definition); }
