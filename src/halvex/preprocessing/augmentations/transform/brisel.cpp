// Assemble an unstructured image from configured channels of a structured array.
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
    "brisel",
    "halvex.preprocessing.augmentations.transform.brisel",
    "Assemble an unstructured image from configured channels of a structured array.",
    HALVEX_MODULE_SOURCE,
    body,
};

}  // namespace

PyMODINIT_FUNC PyInit_brisel() { return frame::module_init(definition); }
