// Select exactly one transform while retaining original per-transform probabilities.
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
    "orvetta",
    "halvex.preprocessing.augmentations.transform.orvetta",
    "Select exactly one transform while retaining original per-transform probabilities.",
    HALVEX_MODULE_SOURCE,
    body,
};

}  // namespace

PyMODINIT_FUNC PyInit_orvetta() { return frame::module_init(definition); }
