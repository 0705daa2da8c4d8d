// What the two aspect-ratio transforms share: RelativeCenterCrop crops and
// RelativePadding pads each image to the ratio `aspect_ratio` (width / height).
#pragma once

#include "frame/operators.hpp"
#include "host/size_check.hpp"

namespace halvex::host {

inline const Name aspect_ratio_name{"aspect_ratio"};

// After the base class's __init__: refuse a ratio that is not positive and
// finite (NaN too: it is not > 0; an infinite ratio would only fail later,
// on the first image), keep it, and forget any image size.
void init_aspect_ratio(const SizeCheckedTransform& transform, Borrowed self, frame::Real aspect_ratio);

// max(1, int(round(length))), round being the module's `round` (Python's,
// ties to even, unless rebound).
Ref side_length(Borrowed length);

// The other side a window of the ratio asks for, or null where it does not
// suit the image side `available` (see set_window).
using SideFit = Ref (*)(Borrowed length, Borrowed available);

// Sets self.<height_name> and self.<width_name> to a window of the stored
// aspect ratio (width / height) on an image of rows x cols that keeps one
// image side whole: the width when `width_first`, else the height.  The
// other side is fit(length the ratio asks for, image side); where it does
// not suit, the other image side is kept whole instead and the first side
// follows from the ratio.  The side kept whole is set first.
void set_window(Borrowed self, Borrowed rows, Borrowed cols, bool width_first, SideFit fit, const Name& height_name,
                const Name& width_name);

}  // namespace halvex::host
