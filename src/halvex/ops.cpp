// halvex.ops: what training and evaluating rotated-object detectors needs
// beyond kestril's geometry.  The functions live by family in src/halvex/ops/;
// this file sets the module up.

#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "halvex/ops/families.hpp"

namespace {

using namespace halvex;

void body(frame::ModuleBuilder& module) {
    module.import_module("numpy", "np");
    frame::import_numpy_api();
    module.import_from("typing", {"Any", "Literal"});
    module.define(ops::overlap_functions);
    module.define(ops::convention_functions);
}

const frame::ModuleDefinition definition = {
    "ops",
    "halvex.ops",
    "Exact overlap, non-maximum suppression, visibility and box conventions for rotated boxes.",
    HALVEX_MODULE_SOURCE,
    body,
};

}  // namespace

PyMODINIT_FUNC PyInit_ops() { return frame::module_init(definition); }
