// Rotated-box conventions of other libraries, converted through halvex's own.
//
// Every box is read into an OrientedBox (ORVA: center, width, height and a
// rotation in radians that turns counter-clockwise as seen on a y-down image),
// then written out in the requested convention.  Everything is computed in
// float64, whatever the element type stored.
//
// With the rotation θ of an OrientedBox, the width runs along
// u = (cos θ, -sin θ) and the height along v = (sin θ, cos θ) (y down).
// OpenCV, mmrotate and ultralytics turn the other way (clockwise on screen,
// width along (cos t, sin t)), so for them t = -θ.
//
// A box has several names in a convention that leaves the angle free:
// (w, h, θ) is the same rectangle as (w, h, θ + π) and as (h, w, θ + π/2).
// The conventions with a range pick one of them, exactly as their libraries'
// regularisations do.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "min_area_rectangle.hpp"
#include "vector_math.hpp"

namespace halvex::kernels {

enum class BoxFormat : std::uint8_t { orva, cxcywhr, xywhr, xyxyxyxy, opencv, le90, le135, oc, ultralytics, poly };

inline constexpr int box_format_count = 10;

constexpr bool is_corner_format(BoxFormat format) { return format == BoxFormat::xyxyxyxy || format == BoxFormat::poly; }
constexpr int values_per_box(BoxFormat format) { return is_corner_format(format) ? 8 : 5; }

struct OrientedBox {
    double center_x, center_y, width, height, rotation;
};

// Rows of boxes in any layout: element j of row i is at
// data + i * row_stride + column_offsets[j] (bytes).  A (n, 4, 2) corner
// array and a (n, 8) one differ only in their column offsets.
template <class T>
struct BoxRows {
    const char* data = nullptr;
    std::ptrdiff_t count = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t column_offsets[8] = {};

    double at(std::ptrdiff_t row, int column) const {
        return static_cast<double>(*reinterpret_cast<const T*>(data + row * row_stride + column_offsets[column]));
    }

    // The rows [begin, end), as rows of the same memory.
    BoxRows rows(std::ptrdiff_t begin, std::ptrdiff_t end) const {
        BoxRows part = *this;
        part.data += begin * row_stride;
        part.count = end - begin;
        return part;
    }
};

namespace conventions {

constexpr double pi = 3.141592653589793;
constexpr double half_pi = pi / 2;
constexpr double radians_per_degree = pi / 180.0;
constexpr double degrees_per_radian = 180.0 / pi;

// x modulo `period` in [0, period), as Python's and torch's % give it up to
// a rounding of x (x - period * floor(x / period) rather than fmod, which is a
// slow call); a remainder that rounds to either end of the range is put back
// into it.  NaN and ±inf give NaN.
inline double periods_removed(double x, double period) {
    double remainder = x - period * std::floor(x / period);
    remainder = remainder < 0.0 ? remainder + period : remainder;
    remainder = remainder >= period ? remainder - period : remainder;
    return remainder < 0.0 ? 0.0 : remainder;  // (-tiny + period) - period
}
inline double half_turns_removed(double x) { return periods_removed(x, pi); }
inline double half_turns_removed_degrees(double x) { return periods_removed(x, 180.0); }

struct Corners {
    double x[4], y[4];  // top-left, top-right, bottom-right, bottom-left
};

// `c` and `s` are the cosine and sine of box.rotation.
inline Corners corners_of(const OrientedBox& box, double c, double s) {
    const double half_width = box.width / 2, half_height = box.height / 2;
    // half-width along u = (c, -s), half-height along v = (s, c)
    const double ux = half_width * c, uy = -(half_width * s);
    const double vx = half_height * s, vy = half_height * c;
    return {{box.center_x - ux - vx, box.center_x + ux - vx, box.center_x + ux + vx, box.center_x - ux + vx},
            {box.center_y - uy - vy, box.center_y + uy - vy, box.center_y + uy + vy, box.center_y - uy + vy}};
}

// Corners in the order top-left, top-right, bottom-right, bottom-left of a
// rectangle: the width is the first edge, and its direction gives the
// rotation (any turn, not only a range): atan2(-width_y, width_x), which the
// block takes for all its boxes at once.  Opposite edges are averaged, so a
// slightly noisy rectangle gives the rectangle between them.
struct OrderedCorners {
    OrientedBox box;  // without its rotation
    double width_x, width_y;
};
inline OrderedCorners from_ordered_corners(const double (&x)[4], const double (&y)[4]) {
    const double width_x = (x[1] - x[0]) + (x[2] - x[3]), width_y = (y[1] - y[0]) + (y[2] - y[3]);
    const double height_x = (x[3] - x[0]) + (x[2] - x[1]), height_y = (y[3] - y[0]) + (y[2] - y[1]);
    return {{(((x[0] + x[1]) + x[2]) + x[3]) / 4, (((y[0] + y[1]) + y[2]) + y[3]) / 4,
             std::sqrt(width_x * width_x + width_y * width_y) / 2,
             std::sqrt(height_x * height_x + height_y * height_y) / 2, 0.0},
            width_x,
            width_y};
}

// mmrotate's regularisation of (w, h, t), t clockwise: "long edge" versions
// make the width the longer side (swapping when it is not strictly longer)
// and bring t into [start, start + π); the "oc" version brings t into
// [-π/2, 0), swapping width and height when that takes a quarter turn.
// Swaps are selects, not branches: with boxes in every direction a branch
// would be mispredicted every other box.
inline void swap_if(bool swapped, double& width, double& height) {
    const double old_width = width, old_height = height;
    width = swapped ? old_height : old_width;
    height = swapped ? old_width : old_height;
}

inline void regularise_long_edge(double& width, double& height, double& turn, double start) {
    const bool swapped = !(width > height);
    swap_if(swapped, width, height);
    turn = half_turns_removed((swapped ? turn + half_pi : turn) - start) + start;
}

inline void regularise_opencv_range(double& width, double& height, double& turn) {
    const double shifted = half_turns_removed(turn + half_pi);
    const bool swapped = !(shifted < half_pi);
    swap_if(swapped, width, height);
    turn = swapped ? shifted - pi : shifted - half_pi;
}

inline OrientedBox read_box(BoxFormat format, const double* row) {
    switch (format) {
        case BoxFormat::orva: return {row[0], row[1], row[2], row[3], row[4]};
        case BoxFormat::cxcywhr: return {row[0], row[1], row[2], row[3], row[4] * radians_per_degree};
        // (x1, y1), the top-left corner, in place of the center; the block
        // moves it once the cosines are known (see center_from_corner)
        case BoxFormat::xywhr: return {row[0], row[1], row[2], row[3], row[4] * radians_per_degree};
        case BoxFormat::opencv: return {row[0], row[1], row[2], row[3], -(row[4] * radians_per_degree)};
        case BoxFormat::le90:
        case BoxFormat::le135:
        case BoxFormat::oc:
        case BoxFormat::ultralytics: return {row[0], row[1], row[2], row[3], -row[4]};
        case BoxFormat::xyxyxyxy:
        case BoxFormat::poly: break;  // read a block at a time, see convert_boxes
    }
    return {};
}

// The center of an XYWHR box whose (x1, y1) stands in for it: half a width
// along u and half a height along v from the top-left corner.
inline void center_from_corner(OrientedBox& box, double c, double s) {
    const double half_width = box.width / 2, half_height = box.height / 2;
    box.center_x = box.center_x + half_width * c + half_height * s;
    box.center_y = box.center_y - half_width * s + half_height * c;
}

constexpr bool needs_cosines(BoxFormat format) {
    return format == BoxFormat::xywhr || format == BoxFormat::xyxyxyxy || format == BoxFormat::poly;
}

// `c` and `s` are the cosine and sine of box.rotation where the format needs
// them (needs_cosines), anything otherwise.
inline void write_box(BoxFormat format, const OrientedBox& box, double c, double s, double* row) {
    double width = box.width, height = box.height;
    switch (format) {
        case BoxFormat::orva: row[4] = box.rotation; break;
        case BoxFormat::cxcywhr: row[4] = box.rotation * degrees_per_radian; break;
        case BoxFormat::xywhr: {
            const Corners corners = corners_of(box, c, s);
            row[0] = corners.x[0];
            row[1] = corners.y[0];
            row[2] = width;
            row[3] = height;
            row[4] = box.rotation * degrees_per_radian;
            return;
        }
        case BoxFormat::opencv: {
            // cv2.minAreaRect's range [-90°, 0°): a quarter turn more or less
            // swaps width and height.
            const double shifted = half_turns_removed_degrees(90.0 - box.rotation * degrees_per_radian);
            const bool swapped = !(shifted < 90.0);
            swap_if(swapped, width, height);
            row[4] = swapped ? shifted - 180.0 : shifted - 90.0;
            break;
        }
        case BoxFormat::le90:
        case BoxFormat::le135: {
            double turn = -box.rotation;
            regularise_long_edge(width, height, turn, format == BoxFormat::le90 ? -half_pi : -pi / 4);
            row[4] = turn;
            break;
        }
        case BoxFormat::oc: {
            double turn = -box.rotation;
            regularise_opencv_range(width, height, turn);
            row[4] = turn;
            break;
        }
        case BoxFormat::ultralytics: {
            // ultralytics' regularize_rboxes: [0, π/2), swapping width and
            // height when the half-turn remainder is π/2 or more.
            const double turn = half_turns_removed(-box.rotation);
            const bool swapped = turn >= half_pi;
            swap_if(swapped, width, height);
            row[4] = swapped ? turn - half_pi : turn;
            break;
        }
        case BoxFormat::xyxyxyxy:
        case BoxFormat::poly: {
            const Corners corners = corners_of(box, c, s);
            for (int k = 0; k < 4; ++k) {
                row[2 * k] = corners.x[k];
                row[2 * k + 1] = corners.y[k];
            }
            return;
        }
    }
    row[0] = box.center_x;
    row[1] = box.center_y;
    row[2] = width;
    row[3] = height;
}

}  // namespace conventions

// Convert every row of `boxes` from one convention to another into `out`, a
// C-contiguous (count, values_per_box(to)) array of Out.
//
// Boxes go a block at a time (box_conversion_block): read into one array per
// field, then the angles, cosines and sines of the whole block from the
// vector library, then written out.  A call on rows [k * block, ...) meets the
// same blocks as the call on all rows, so splitting a conversion at multiples
// of the block changes no bit.  The per-row switches on the formats are the same for every
// row, so the branch predictor takes them for free.
inline constexpr std::ptrdiff_t box_conversion_block = 256;

template <class In, class Out>
void convert_boxes(const BoxRows<In>& boxes, BoxFormat from, BoxFormat to, Out* out) {
    constexpr std::ptrdiff_t block = box_conversion_block;
    double center_x[block], center_y[block], width[block], height[block], rotation[block];
    double cosine[block] = {}, sine[block] = {};
    double corners[8][block];
    const int read = values_per_box(from), written = values_per_box(to);
    for (std::ptrdiff_t first = 0; first < boxes.count; first += block) {
        const std::ptrdiff_t count = boxes.count - first < block ? boxes.count - first : block;
        bool cosines_known = false;
        if (from == BoxFormat::poly) {
            // the fit takes four polygons at a time: pad with zeros
            const std::ptrdiff_t padded = (count + 3) / 4 * 4;
            for (std::ptrdiff_t i = 0; i < count; ++i)
                for (int j = 0; j < 8; ++j) corners[j][i] = boxes.at(first + i, j);
            for (std::ptrdiff_t i = count; i < padded; ++i)
                for (int j = 0; j < 8; ++j) corners[j][i] = 0.0;
            minimum_area_rectangles(
                {{corners[0], corners[2], corners[4], corners[6]}, {corners[1], corners[3], corners[5], corners[7]}},
                padded, {center_x, center_y, width, height, rotation}, sine);
        } else if (from == BoxFormat::xyxyxyxy) {
            for (std::ptrdiff_t i = 0; i < count; ++i) {
                const double x[4] = {boxes.at(first + i, 0), boxes.at(first + i, 2), boxes.at(first + i, 4),
                                     boxes.at(first + i, 6)};
                const double y[4] = {boxes.at(first + i, 1), boxes.at(first + i, 3), boxes.at(first + i, 5),
                                     boxes.at(first + i, 7)};
                const conventions::OrderedCorners read_corners = conventions::from_ordered_corners(x, y);
                center_x[i] = read_corners.box.center_x;
                center_y[i] = read_corners.box.center_y;
                width[i] = read_corners.box.width;
                height[i] = read_corners.box.height;
                cosine[i] = read_corners.width_x;
                sine[i] = -read_corners.width_y;
            }
            atan2_of(sine, cosine, rotation, count);
        } else {
            double row[5];
            for (std::ptrdiff_t i = 0; i < count; ++i) {
                for (int j = 0; j < read; ++j) row[j] = boxes.at(first + i, j);
                const OrientedBox box = conventions::read_box(from, row);
                center_x[i] = box.center_x;
                center_y[i] = box.center_y;
                width[i] = box.width;
                height[i] = box.height;
                rotation[i] = box.rotation;
            }
            if (from == BoxFormat::xywhr) {
                cos_sin_of(rotation, cosine, sine, count);
                cosines_known = true;
            }
        }
        if (!cosines_known && conventions::needs_cosines(to)) cos_sin_of(rotation, cosine, sine, count);

        double result[8];
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            OrientedBox box{center_x[i], center_y[i], width[i], height[i], rotation[i]};
            if (from == BoxFormat::xywhr) conventions::center_from_corner(box, cosine[i], sine[i]);
            conventions::write_box(to, box, cosine[i], sine[i], result);
            Out* target = out + (first + i) * written;
            for (int j = 0; j < written; ++j) target[j] = static_cast<Out>(result[j]);
        }
    }
}

}  // namespace halvex::kernels
