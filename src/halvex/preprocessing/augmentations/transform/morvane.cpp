// Crop using relative coordinates.
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
    "morvane",
    "halvex.preprocessing.augmentations.transform.morvane",
    "Crop using relative coordinates.",
    HALVEX_MODULE_SOURCE,
    body,
};

}  // namespace

PyMODINIT_FUNC PyInit_morvane() { return frame::module_init(definition); }
