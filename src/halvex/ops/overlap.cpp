// Overlap of rotated boxes: areas, IoU / IoF, sparse pairs, NMS, visibility.
//
// Every array argument is taken as np.asarray(value, dtype=float64) gives it
// and checked (shape, finite values, non-negative sizes) before any work;
// then the interpreter lock is released while the kernels run on memory the
// call owns.

#include "frame/gil.hpp"
#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "frame/row_work.hpp"
#include "halvex/ops/families.hpp"
#include "kernels/overlap_sets.hpp"
#include "kernels/parallel.hpp"
#include "kernels/rotated_overlap.hpp"
#include "kernels/suppression.hpp"
#include "kernels/working_memory.hpp"

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace halvex::ops {
namespace {

using frame::Borrowed;
using frame::Call;
using frame::Ref;
using kernels::OverlapMode;
using kernels::PreparedBox;

PyArrayObject* as_array(const Ref& array) { return reinterpret_cast<PyArrayObject*>(array.get()); }

// np.asarray(value, dtype=float64), C-contiguous (a copy only where needed).
Ref float64_array(Borrowed value) {
    if (PyArray_CheckExact(value.ptr())) {
        auto* array = reinterpret_cast<PyArrayObject*>(value.ptr());
        if (PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISCARRAY_RO(array) && PyArray_ISNOTSWAPPED(array))
            return Ref::borrow(value);
    }
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);  // stolen by the call
    return Ref::steal(PyArray_FromAny(
        value, float64, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST | NPY_ARRAY_ENSUREARRAY,
        nullptr));
}

// An (n, 5) argument of ORVA boxes, checked.  An empty 1-d array (`[]`) is
// zero boxes.
struct Boxes {
    Ref array;
    const double* rows = nullptr;
    std::ptrdiff_t count = 0;
};

Boxes boxes_argument(Borrowed value, const char* name) {
    Boxes boxes;
    boxes.array = float64_array(value);
    PyArrayObject* array = as_array(boxes.array);
    const bool empty_list = PyArray_NDIM(array) == 1 && PyArray_DIM(array, 0) == 0;
    if (!empty_list && !(PyArray_NDIM(array) == 2 && PyArray_DIM(array, 1) == 5))
        frame::raise(PyExc_ValueError, "%s must have shape (n, 5), got shape %s", name,
                     frame::shape_text(array).c_str());
    boxes.count = empty_list ? 0 : PyArray_DIM(array, 0);
    boxes.rows = static_cast<const double*>(PyArray_DATA(array));
    for (std::ptrdiff_t i = 0; i < boxes.count; ++i) {
        const double* row = boxes.rows + 5 * i;
        for (int k = 0; k < 5; ++k)
            if (!std::isfinite(row[k]))
                frame::raise(PyExc_ValueError, "%s: row %zd holds a non-finite value", name,
                             static_cast<Py_ssize_t>(i));
        if (row[2] < 0 || row[3] < 0)
            frame::raise(PyExc_ValueError, "%s: row %zd has a negative width or height", name,
                         static_cast<Py_ssize_t>(i));
    }
    return boxes;
}

// An (n,) argument beside n boxes: scores (never NaN) or classes (integers).
Ref per_box_argument(Borrowed value, const char* name, std::ptrdiff_t count, int type) {
    Ref array;
    if (type == NPY_DOUBLE) {
        array = float64_array(value);
    } else {
        array = Ref::steal(PyArray_FromAny(value, nullptr, 0, 0, NPY_ARRAY_ENSUREARRAY, nullptr));
        const int found = PyArray_TYPE(as_array(array));
        // An empty list arrives as float64; it holds no class to misread.
        if (!PyTypeNum_ISINTEGER(found) && !PyTypeNum_ISBOOL(found) && PyArray_SIZE(as_array(array)) > 0)
            frame::raise(PyExc_TypeError, "%s must be an array of integers, got dtype %S", name,
                         reinterpret_cast<PyObject*>(PyArray_DESCR(as_array(array))));
        PyArray_Descr* int64 = PyArray_DescrFromType(NPY_INT64);  // stolen by the call
        array = Ref::steal(PyArray_FromAny(array, int64, 0, 0,
                                           NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    }
    PyArrayObject* values = as_array(array);
    if (PyArray_NDIM(values) != 1 || PyArray_DIM(values, 0) != count)
        frame::raise(PyExc_ValueError, "%s must have shape (%zd,), one per box, got shape %s", name,
                     static_cast<Py_ssize_t>(count), frame::shape_text(values).c_str());
    if (type == NPY_DOUBLE) {
        const auto* data = static_cast<const double*>(PyArray_DATA(values));
        for (std::ptrdiff_t i = 0; i < count; ++i)
            if (std::isnan(data[i])) frame::raise(PyExc_ValueError, "%s[%zd] is NaN", name, static_cast<Py_ssize_t>(i));
    }
    return array;
}

OverlapMode mode_argument(Borrowed mode) {
    if (PyUnicode_CompareWithASCIIString(mode, "iou") == 0) return OverlapMode::iou;
    if (PyUnicode_CompareWithASCIIString(mode, "iof") == 0) return OverlapMode::iof;
    if (PyUnicode_CompareWithASCIIString(mode, "area") == 0) return OverlapMode::area;
    frame::raise(PyExc_ValueError, "mode must be one of 'iou', 'iof', 'area', got %R", mode.ptr());
}

// `threads`: None (0, automatic) or a positive count.
std::int64_t threads_argument(Borrowed threads) {
    if (threads.is_none()) return 0;
    const long long count = PyLong_AsLongLong(threads);
    if (count == -1 && PyErr_Occurred()) throw frame::python_error();
    if (count < 1) frame::raise(PyExc_ValueError, "threads must be a positive integer or None, got %lld", count);
    return count;
}

double threshold_argument(const Call& call, std::size_t index, const char* name) {
    const double value = call.real(index);
    if (std::isnan(value)) frame::raise(PyExc_ValueError, "%s must not be NaN", name);
    return value;
}

Ref new_int64_array(const std::vector<std::int64_t>& values) {
    Ref array = frame::new_array({static_cast<npy_intp>(values.size())}, NPY_INT64);
    if (!values.empty())
        std::memcpy(PyArray_DATA(as_array(array)), values.data(), values.size() * sizeof(std::int64_t));
    return array;
}

// work() with the interpreter lock released, unless the work (in the units
// of kernels::thread_count) is over before another thread could take the
// lock.
template <class Work>
decltype(auto) run_native(double work, Work&& native_work) {
    constexpr double worth_releasing = 5'000;
    if (work < worth_releasing) return native_work();
    return frame::without_gil(std::forward<Work>(native_work));
}

// ---- the callables ------------------------------------------------------------------------

Ref box_area(Call& call) {
    const Boxes boxes = boxes_argument(call[0], "boxes");
    Ref areas = frame::new_array({boxes.count}, NPY_DOUBLE);
    auto* out = static_cast<double*>(PyArray_DATA(as_array(areas)));
    for (std::ptrdiff_t i = 0; i < boxes.count; ++i) out[i] = boxes.rows[5 * i + 2] * boxes.rows[5 * i + 3];
    return areas;
}

Ref box_iou(Call& call) {
    const Boxes first = boxes_argument(call[0], "boxes_a");
    const Boxes second = boxes_argument(call[1], "boxes_b");
    const OverlapMode mode = mode_argument(call[2]);
    const bool aligned = call[3].is(Py_True);
    const std::int64_t requested_threads = threads_argument(call[4]);

    if (aligned) {
        if (first.count != second.count)
            frame::raise(PyExc_ValueError, "aligned=True needs as many boxes_a as boxes_b, got %zd and %zd",
                         static_cast<Py_ssize_t>(first.count), static_cast<Py_ssize_t>(second.count));
        Ref values = frame::new_array({first.count}, NPY_DOUBLE);
        auto* out = static_cast<double*>(PyArray_DATA(as_array(values)));
        const double work = kernels::overlap_work(first.count, second.count) / 2;
        const int threads = frame::threads_for(requested_threads, work);
        run_native(work, [&] { kernels::overlap_aligned(first.rows, second.rows, first.count, mode, threads, out); });
        return values;
    }

    // A handful of boxes (one pair, say): everything on the stack.
    constexpr std::ptrdiff_t few = 8;
    if (first.count <= few && second.count <= few) {
        Ref values = frame::new_array({first.count, second.count}, NPY_DOUBLE);
        auto* out = static_cast<double*>(PyArray_DATA(as_array(values)));
        PreparedBox prepared_first[few], prepared_second[few];
        kernels::prepare_rows(first.rows, first.count, prepared_first);
        kernels::prepare_rows(second.rows, second.count, prepared_second);
        for (std::ptrdiff_t i = 0; i < first.count; ++i)
            for (std::ptrdiff_t j = 0; j < second.count; ++j)
                out[i * second.count + j] = kernels::overlap(prepared_first[i], prepared_second[j], mode);
        return values;
    }

    // All pairs; the kernel zeroes the matrix and writes where bounds meet.
    Ref values = frame::new_array({first.count, second.count}, NPY_DOUBLE);
    auto* out = static_cast<double*>(PyArray_DATA(as_array(values)));
    const double work = kernels::overlap_work(first.count, second.count);
    const int threads = frame::threads_for(requested_threads, work);
    run_native(work, [&] {
        const auto prepared_first = kernels::prepare_boxes(first.rows, first.count, threads);
        const auto prepared_second = kernels::prepare_boxes(second.rows, second.count, threads);
        kernels::overlap_matrix(prepared_first, prepared_second, mode, threads, out);
    });
    return values;
}

Ref box_iou_pairs(Call& call) {
    const Boxes first = boxes_argument(call[0], "boxes_a");
    const Boxes second = boxes_argument(call[1], "boxes_b");
    const OverlapMode mode = mode_argument(call[2]);
    const double min_value = threshold_argument(call, 3, "min_value");
    const std::int64_t requested_threads = threads_argument(call[4]);

    const double work = kernels::overlap_work(first.count, second.count);
    const int threads = frame::threads_for(requested_threads, work);
    const kernels::OverlapPairs pairs = run_native(work, [&] {
        const auto prepared_first = kernels::prepare_boxes(first.rows, first.count, threads);
        const auto prepared_second = kernels::prepare_boxes(second.rows, second.count, threads);
        return kernels::overlap_pairs(prepared_first, prepared_second, mode, min_value, threads);
    });

    // Gather the blocks' findings into the three result arrays.
    const auto total = static_cast<npy_intp>(pairs.size());
    Ref first_index = frame::new_array({total}, NPY_INT64);
    Ref second_index = frame::new_array({total}, NPY_INT64);
    Ref values = frame::new_array({total}, NPY_DOUBLE);
    auto* out_first = static_cast<std::int64_t*>(PyArray_DATA(as_array(first_index)));
    auto* out_second = static_cast<std::int64_t*>(PyArray_DATA(as_array(second_index)));
    auto* out_values = static_cast<double*>(PyArray_DATA(as_array(values)));
    std::size_t at = 0;
    for (const auto& block : pairs.blocks) {
        const std::size_t count = block.values.size();
        if (count == 0) continue;
        std::memcpy(out_first + at, block.first.data(), count * sizeof(std::int64_t));
        std::memcpy(out_second + at, block.second.data(), count * sizeof(std::int64_t));
        std::memcpy(out_values + at, block.values.data(), count * sizeof(double));
        at += count;
    }
    return frame::tuple_of({first_index, second_index, values});
}

// nms and batched_nms: `classes` null for nms.
Ref suppress(const Call& call, Borrowed classes_value, std::size_t threshold_index) {
    const Boxes boxes = boxes_argument(call[0], "boxes");
    Ref scores = per_box_argument(call[1], "scores", boxes.count, NPY_DOUBLE);
    Ref classes;
    if (classes_value) classes = per_box_argument(classes_value, "classes", boxes.count, NPY_INT64);
    const double iou_threshold = threshold_argument(call, threshold_index, "iou_threshold");
    std::optional<double> score_threshold;
    if (!call[threshold_index + 1].is_none())
        score_threshold = threshold_argument(call, threshold_index + 1, "score_threshold");
    const std::int64_t requested_threads = threads_argument(call[threshold_index + 2]);

    // The greedy pass is sequential; threads only prepare the boxes.
    const double work = 60.0 * static_cast<double>(boxes.count);
    const int threads = frame::threads_for(requested_threads, work);
    const std::span<const double> score_values(static_cast<const double*>(PyArray_DATA(as_array(scores))),
                                               static_cast<std::size_t>(boxes.count));
    std::span<const std::int64_t> class_values;
    if (classes)
        class_values = {static_cast<const std::int64_t*>(PyArray_DATA(as_array(classes))),
                        static_cast<std::size_t>(boxes.count)};
    const std::vector<std::int64_t> kept = run_native(work, [&] {
        kernels::CallMemory memory;
        const auto prepared = kernels::prepare_boxes(boxes.rows, boxes.count, threads, &memory);
        return kernels::greedy_suppression(prepared, score_values, class_values, iou_threshold, score_threshold,
                                           &memory);
    });
    return new_int64_array(kept);
}

Ref nms(Call& call) { return suppress(call, {}, 2); }

Ref batched_nms(Call& call) { return suppress(call, call[2], 3); }

Ref visible_fraction(Call& call) {
    const Boxes boxes = boxes_argument(call[0], "boxes");
    Ref size = float64_array(call[1]);
    PyArrayObject* size_array = as_array(size);
    if (PyArray_NDIM(size_array) != 1 || PyArray_DIM(size_array, 0) != 2)
        frame::raise(PyExc_ValueError, "image_size must be (width, height), got shape %s",
                     frame::shape_text(size_array).c_str());
    const auto* width_height = static_cast<const double*>(PyArray_DATA(size_array));
    if (!std::isfinite(width_height[0]) || !std::isfinite(width_height[1]) || width_height[0] < 0 ||
        width_height[1] < 0)
        frame::raise(PyExc_ValueError, "image_size must hold a finite, non-negative width and height, got %S",
                     size.ptr());

    Ref fractions = frame::new_array({boxes.count}, NPY_DOUBLE);
    auto* out = static_cast<double*>(PyArray_DATA(as_array(fractions)));
    const PreparedBox image = kernels::image_box(width_height[0], width_height[1]);
    const double work = 60.0 * static_cast<double>(boxes.count);
    const int threads = frame::threads_for(0, work);
    run_native(work, [&] { kernels::overlap_each(boxes.rows, boxes.count, image, OverlapMode::iof, threads, out); });
    return fractions;
}

#define BOXES "np.ndarray[Any, Any]"
#define ARRAY "np.ndarray[Any, Any]"
#define MODE "str mode: Literal['iou', 'iof', 'area'] = 'iou'"
#define THREADS "int threads: int | None = None"

const frame::Callable table[] = {
    {"box_area(boxes: " BOXES ") -> " ARRAY,
     "Areas (width * height) of rotated boxes (n, 5) in ORVA format, as float64 (n,).", box_area},
    {"box_iou(boxes_a: " BOXES ", boxes_b: " BOXES ", *, " MODE ", bool aligned: bool = False, " THREADS ") -> " ARRAY,
     "Exact overlap of rotated boxes (n, 5) and (m, 5) in ORVA format, as float64.\n\n"
     "mode 'iou' is intersection over union, 'iof' intersection over the area of the box from boxes_a, 'area' the "
     "intersection area.  aligned=False gives the (n, m) matrix of all pairs; aligned=True needs n == m and gives "
     "(n,) for the pairs (boxes_a[i], boxes_b[i]).  IoU and IoF lie in [0, 1]: a box with itself gives 1, a "
     "zero-area box 0.  threads=None uses the available cores for large inputs; the result does not depend on "
     "the thread count.",
     box_iou},
    {"box_iou_pairs(boxes_a: " BOXES ", boxes_b: " BOXES ", *, " MODE ", double min_value: float = 0.0, " THREADS
     ") -> tuple[" ARRAY ", " ARRAY ", " ARRAY "]",
     "The pairs of rotated boxes whose overlap exceeds min_value, as (i, j, value).\n\n"
     "The sparse form of box_iou: i and j are int64, value float64, sorted by i then j.  Memory grows with the "
     "pairs found, not with n * m.",
     box_iou_pairs},
    {"nms(boxes: " BOXES ", scores: " ARRAY ", double iou_threshold: float, *, "
     "double score_threshold: float | None = None, " THREADS ") -> " ARRAY,
     "Greedy non-maximum suppression of rotated boxes; returns the kept indices (int64).\n\n"
     "Boxes scoring below score_threshold are dropped; the rest are visited by decreasing score (equal scores: "
     "lower index first), and a box is kept unless its IoU with a box kept before it exceeds iou_threshold.  The "
     "kept indices come in visiting order.",
     nms},
    {"batched_nms(boxes: " BOXES ", scores: " ARRAY ", classes: " ARRAY ", double iou_threshold: float, *, "
     "double score_threshold: float | None = None, " THREADS ") -> " ARRAY,
     "Non-maximum suppression within each class: boxes of different classes never suppress each other.\n\n"
     "classes is an integer array (n,).  The kept indices (int64) come in visiting order over all classes.",
     batched_nms},
    {"visible_fraction(boxes: " BOXES ", image_size: tuple[float, float] | " ARRAY ") -> " ARRAY,
     "The share of each rotated box's area inside the image [0, width] x [0, height], as float64 (n,).\n\n"
     "image_size is (width, height); a zero-area box gives 0.",
     visible_fraction},
};

#undef BOXES
#undef ARRAY
#undef MODE
#undef THREADS

}  // namespace

const std::span<const frame::Callable> overlap_functions{table};

}  // namespace halvex::ops
