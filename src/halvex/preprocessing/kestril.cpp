// Rotated-box geometry.
//
// The functions live by family in src/halvex/preprocessing/kestril/ (see
// common.hpp there for what they share); this file sets the module up.

#include "halvex/preprocessing/kestril/common.hpp"

namespace {

using namespace halvex;

void body(frame::ModuleBuilder& module) {
    module.import_module("numpy", "np");
    frame::import_numpy_api();
    module.import_from("typing", {"Any", "cast"});
    module.import_from("collections.abc", {"Callable"});
    module.import_from("enum", {"Enum"});
    kestril::make_transformation_prototypes(module);
    module.define(kestril::rotation_functions);
    module.define(kestril::box_format_functions);
    module.define(kestril::regrouping_functions);
    module.define(kestril::clipping_functions);
    module.define(kestril::intersection_functions);
    module.define_class("BoxReconstruction", {"Enum"},
                        "BoxReconstruction(value)\n\nHow a rectangle is rebuilt from a sheared parallelogram.", {},
                        {{"MIN", "0"}, {"AVG", "1"}, {"MAX", "2"}});
    module.define(kestril::reconstruction_functions);
}

}  // namespace

PyMODINIT_FUNC PyInit_kestril() {
    return halvex::frame::module_init(
        {"kestril", "halvex.preprocessing.kestril", "Contains keypoint utilities.", HALVEX_MODULE_SOURCE, body});
}
