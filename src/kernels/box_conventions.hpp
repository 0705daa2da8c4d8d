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

constexpr bool is_corner_format(BoxFormat format) {
    return format == BoxFormat::xyxyxyxy || format == BoxFormat::poly;
}
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
};

namespace conventions {

constexpr double pi = 3.141592653589793;
constexpr double half_pi = pi / 2;
constexpr double radians_per_degree = pi / 180.0;
constexpr double degrees_per_radian = 180.0 / pi;

// x modulo π in [0, π), as Python's and torch's % would give it, except that
// a remainder rounded up to π itself (x a tiny negative number) becomes 0:
// both name the same box, and only 0 lies in the range.  NaN and ±inf give NaN.
inline double half_turns_removed(double x) {
    double remainder = std::fmod(x, pi);
    if (remainder < 0.0) remainder += pi;
    if (remainder >= pi) remainder = 0.0;
    return remainder;
}

// The same in degrees, modulo 180.
inline double half_turns_removed_degrees(double x) {
    double remainder = std::fmod(x, 180.0);
    if (remainder < 0.0) remainder += 180.0;
    if (remainder >= 180.0) remainder = 0.0;
    return remainder;
}

struct Corners {
    double x[4], y[4];  // top-left, top-right, bottom-right, bottom-left
};

inline Corners corners_of(const OrientedBox& box) {
    const double c = std::cos(box.rotation), s = std::sin(box.rotation);
    const double half_width = box.width / 2, half_height = box.height / 2;
    // half-width along u = (c, -s), half-height along v = (s, c)
    const double ux = half_width * c, uy = -(half_width * s);
    const double vx = half_height * s, vy = half_height * c;
    return {{box.center_x - ux - vx, box.center_x + ux - vx, box.center_x + ux + vx, box.center_x - ux + vx},
            {box.center_y - uy - vy, box.center_y + uy - vy, box.center_y + uy + vy, box.center_y - uy + vy}};
}

// Corners in the order top-left, top-right, bottom-right, bottom-left of a
// rectangle: the width is the first edge, and its direction gives the
// rotation (any turn, not only a range).  Opposite edges are averaged, so a
// slightly noisy rectangle gives the rectangle between them.
inline OrientedBox from_ordered_corners(const double (&x)[4], const double (&y)[4]) {
    const double width_x = (x[1] - x[0]) + (x[2] - x[3]), width_y = (y[1] - y[0]) + (y[2] - y[3]);
    const double height_x = (x[3] - x[0]) + (x[2] - x[1]), height_y = (y[3] - y[0]) + (y[2] - y[1]);
    return {
        (((x[0] + x[1]) + x[2]) + x[3]) / 4,
        (((y[0] + y[1]) + y[2]) + y[3]) / 4,
        std::sqrt(width_x * width_x + width_y * width_y) / 2,
        std::sqrt(height_x * height_x + height_y * height_y) / 2,
        std::atan2(-width_y, width_x),
    };
}

// mmrotate's regularisation of (w, h, t), t clockwise: "long edge" versions
// make the width the longer side (swapping when it is not strictly longer)
// and bring t into [start, start + π); the "oc" version brings t into
// [-π/2, 0), swapping width and height when that takes a quarter turn.
inline void regularise_long_edge(double& width, double& height, double& turn, double start) {
    if (!(width > height)) {
        const double longer = height;
        height = width;
        width = longer;
        turn += half_pi;
    }
    turn = half_turns_removed(turn - start) + start;
}

inline void regularise_opencv_range(double& width, double& height, double& turn) {
    const double shifted = half_turns_removed(turn + half_pi);
    if (shifted < half_pi) {
        turn = shifted - half_pi;
    } else {
        const double longer = height;
        height = width;
        width = longer;
        turn = shifted - pi;
    }
}

inline OrientedBox read_box(BoxFormat format, const double* row) {
    switch (format) {
        case BoxFormat::orva: return {row[0], row[1], row[2], row[3], row[4]};
        case BoxFormat::cxcywhr: return {row[0], row[1], row[2], row[3], row[4] * radians_per_degree};
        case BoxFormat::xywhr: {
            // (x1, y1) is the top-left corner: the center lies half a width
            // along u and half a height along v from it.
            const double rotation = row[4] * radians_per_degree;
            const double c = std::cos(rotation), s = std::sin(rotation);
            const double half_width = row[2] / 2, half_height = row[3] / 2;
            return {row[0] + half_width * c + half_height * s, row[1] - half_width * s + half_height * c, row[2],
                    row[3], rotation};
        }
        case BoxFormat::opencv: return {row[0], row[1], row[2], row[3], -(row[4] * radians_per_degree)};
        case BoxFormat::le90:
        case BoxFormat::le135:
        case BoxFormat::oc:
        case BoxFormat::ultralytics: return {row[0], row[1], row[2], row[3], -row[4]};
        case BoxFormat::xyxyxyxy: {
            const double x[4] = {row[0], row[2], row[4], row[6]};
            const double y[4] = {row[1], row[3], row[5], row[7]};
            return from_ordered_corners(x, y);
        }
        case BoxFormat::poly: break;  // fitted a block at a time, see convert_boxes
    }
    return {};
}

inline void write_box(BoxFormat format, const OrientedBox& box, double* row) {
    double width = box.width, height = box.height;
    switch (format) {
        case BoxFormat::orva:
            row[4] = box.rotation;
            break;
        case BoxFormat::cxcywhr:
            row[4] = box.rotation * degrees_per_radian;
            break;
        case BoxFormat::xywhr: {
            const Corners corners = corners_of(box);
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
            if (shifted < 90.0) {
                row[4] = shifted - 90.0;
            } else {
                width = box.height;
                height = box.width;
                row[4] = shifted - 180.0;
            }
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
            if (turn >= half_pi) {
                width = box.height;
                height = box.width;
                row[4] = turn - half_pi;
            } else {
                row[4] = turn;
            }
            break;
        }
        case BoxFormat::xyxyxyxy:
        case BoxFormat::poly: {
            const Corners corners = corners_of(box);
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
// C-contiguous (count, values_per_box(to)) array of Out.  The per-row switch
// on the formats is the same for every row, so the branch predictor takes it
// for free.
template <class In, class Out>
void convert_boxes(const BoxRows<In>& boxes, BoxFormat from, BoxFormat to, Out* out) {
    const int written = values_per_box(to);
    double result[8];
    auto write = [&](std::ptrdiff_t i, const OrientedBox& box) {
        conventions::write_box(to, box, result);
        Out* target = out + i * written;
        for (int j = 0; j < written; ++j) target[j] = static_cast<Out>(result[j]);
    };
    if (from != BoxFormat::poly) {
        const int read = values_per_box(from);
        double row[8];
        for (std::ptrdiff_t i = 0; i < boxes.count; ++i) {
            for (int j = 0; j < read; ++j) row[j] = boxes.at(i, j);
            write(i, conventions::read_box(from, row));
        }
        return;
    }
    // Polygons are fitted a block at a time: gathered into one array per
    // coordinate, so that the fit and the angles run as vector loops.
    constexpr std::ptrdiff_t block = 256;
    double corners[8][block];
    double center_x[block], center_y[block], width[block], height[block], rotation[block], sine[block] = {};
    for (std::ptrdiff_t first = 0; first < boxes.count; first += block) {
        const std::ptrdiff_t count = boxes.count - first < block ? boxes.count - first : block;
        const std::ptrdiff_t padded = (count + 3) / 4 * 4;  // the fit takes four at a time
        for (std::ptrdiff_t i = 0; i < count; ++i)
            for (int j = 0; j < 8; ++j) corners[j][i] = boxes.at(first + i, j);
        for (std::ptrdiff_t i = count; i < padded; ++i)
            for (int j = 0; j < 8; ++j) corners[j][i] = 0.0;
        minimum_area_rectangles({{corners[0], corners[2], corners[4], corners[6]},
                                 {corners[1], corners[3], corners[5], corners[7]}},
                                padded, {center_x, center_y, width, height, rotation}, sine);
        for (std::ptrdiff_t i = 0; i < count; ++i)
            write(first + i, {center_x[i], center_y[i], width[i], height[i], rotation[i]});
    }
}

}  // namespace halvex::kernels
