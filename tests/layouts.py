"""Arrays of one logical content in the memory layouts callers hand us."""

import numpy as np

LAYOUTS = ("contiguous", "strided", "axis_swapped", "fortran", "reversed")


def in_layout(values, layout):
    """A writable array equal to `values` but laid out as `layout` says."""
    values = np.asarray(values)
    if layout == "contiguous":
        return np.ascontiguousarray(values)
    if layout == "fortran":
        return np.asfortranarray(values)
    if layout == "strided":
        wide = np.zeros(tuple(2 * n for n in values.shape), values.dtype)
        view = wide[tuple(slice(None, None, 2) for _ in values.shape)]
        view[...] = values
        return view
    if layout == "axis_swapped":
        if values.ndim < 2:
            return values.copy()
        buffer = np.ascontiguousarray(np.swapaxes(values, 0, values.ndim - 1))
        return np.swapaxes(buffer, 0, values.ndim - 1)
    if layout == "reversed":
        flipped = np.ascontiguousarray(values[(slice(None, None, -1),) * values.ndim])
        return flipped[(slice(None, None, -1),) * values.ndim]
    raise ValueError(layout)
