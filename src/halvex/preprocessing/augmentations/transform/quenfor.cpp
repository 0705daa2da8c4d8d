// Pad to a target aspect ratio while keeping the original content position.
//
// The transform classes of this module are defined in its body below.

#include "frame/module.hpp"

namespace {

using namespace halvex;

void body(frame::ModuleBuilder& module) {
    module.import_module("numpy", "np");
    module.import_module("cv2", "cv2");
    module.import_module("albumentations", "albumentations");
}

const frame::ModuleDefinition definition = {
    "quenfor",
    "halvex.preprocessing.augmentations.transform.quenfor",
    "Pad to a target aspect ratio while keeping the original content position.",
    HALVEX_MODULE_SOURCE,
    body,
};

}  // namespace

PyMODINIT_FUNC PyInit_quenfor() { return frame::module_init(definition); }
