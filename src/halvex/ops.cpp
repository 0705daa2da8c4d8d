// halvex.ops: what training and evaluating rotated-object detectors needs
// beyond kestril's geometry.  The functions live by family in src/halvex/ops/;
// this file sets the module up.

#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "halvex/ops/families.hpp"
#include "kernels/vector_math.hpp"

namespace {

using namespace halvex;

void body(frame::ModuleBuilder& module) {
    module.import_module("numpy", "np");
    frame::import_numpy_api();
    module.import_from("typing", {"Any", "Literal"});
    module.define(ops::overlap_functions);
    module.define(ops::convention_functions);
    // Which vector variant of cos, sin and atan2 this processor runs
    // ("avx512", "avx2", "sse2" or "scalar"), for benchmarks and reports.
    module.set("_vector_math_path", frame::Ref::steal(PyUnicode_FromString(kernels::vector_math::path_name())).get());
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
