// Accuracy of the vector math kernels (src/kernels/vector_math.hpp) on this
// machine: for every variant the processor can run, the largest error in ulp
// of cos, sin and atan2 over random arguments, against the long double
// functions of the C library.  Also checks what the kernels rely on: a
// result does not depend on the element's position in the array, and
// cos(-x) = cos(x), sin(-x) = -sin(x) exactly.
//
//     make accuracy                        (10^7 arguments per function and range)
//     build/vector_math_accuracy [count]
//
// Exits with status 1 when an error exceeds 4 ulp or a check fails.
#include "kernels/vector_math.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace vm = halvex::kernels::vector_math;

namespace {

constexpr double max_ulp_allowed = 4.0;
constexpr std::ptrdiff_t chunk = 1 << 20;

// |value - exact| in units of the last place of the double nearest `exact`
// (the spacing of doubles there; subnormals have the smallest one).
template <class Real>
double ulp_error(Real value, long double exact) {
    if (std::isnan(value) || std::isnan(exact)) return std::isnan(value) == std::isnan(exact) ? 0.0 : INFINITY;
    if (std::isinf(exact)) return value == exact ? 0.0 : INFINITY;
    constexpr int digits = std::numeric_limits<Real>::digits;
    constexpr int lowest_exponent = std::numeric_limits<Real>::min_exponent - digits;
    int exponent = 0;
    std::frexp(static_cast<Real>(exact), &exponent);
    if (static_cast<Real>(exact) == 0) exponent = std::numeric_limits<Real>::min_exponent;
    const long double ulp = std::ldexp(1.0L, std::max(exponent - digits, lowest_exponent));
    return static_cast<double>(std::fabs(static_cast<long double>(value) - exact) / ulp);
}

struct Worst {
    double ulp = 0;
    double argument = 0, second_argument = 0;
    void take(double error, double x, double y = 0) {
        if (error > ulp) *this = {error, x, y};
    }
};

bool bits_equal(const double* a, const double* b, std::ptrdiff_t count) {
    return std::memcmp(a, b, static_cast<std::size_t>(count) * sizeof(double)) == 0;
}

struct Report {
    bool failed = false;
    void line(const char* path, const char* function, const char* range, const Worst& worst, bool two = false) {
        const bool over = !(worst.ulp <= max_ulp_allowed);
        failed |= over;
        if (two)
            std::printf("%-7s %-6s %-28s %6.3f ulp   at (%.17g, %.17g)%s\n", path, function, range, worst.ulp,
                        worst.argument, worst.second_argument, over ? "   OVER THE BOUND" : "");
        else
            std::printf("%-7s %-6s %-28s %6.3f ulp   at %.17g%s\n", path, function, range, worst.ulp, worst.argument,
                        over ? "   OVER THE BOUND" : "");
    }
    void check(const char* path, const char* what, long mismatches) {
        failed |= mismatches != 0;
        if (mismatches != 0) std::printf("%-7s %s: %ld mismatches\n", path, what, mismatches);
    }
};

// cos and sin of `count` double and `count` float arguments uniform in
// [-limit, limit]; the float rows round the double results of float
// arguments, as the kernels do for float32.
void measure_cos_sin(std::vector<vm::Path> const& paths, std::ptrdiff_t count, double limit, const char* range,
                     std::mt19937_64& random, Report& report) {
    std::uniform_real_distribution<double> uniform(-limit, limit);
    std::vector<double> argument(chunk), negated(chunk), cosine(chunk), sine(chunk), shifted_cosine(chunk),
        shifted_sine(chunk), negated_cosine(chunk), negated_sine(chunk);
    std::vector<long double> exact_cosine(chunk), exact_sine(chunk);
    std::vector<Worst> worst_cosine(paths.size()), worst_sine(paths.size()), worst_float_cosine(paths.size()),
        worst_float_sine(paths.size());
    std::vector<long> moved(paths.size()), asymmetric(paths.size());

    for (std::ptrdiff_t done = 0; done < 2 * count; done += chunk) {
        const std::ptrdiff_t n = std::min(chunk, 2 * count - done);
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            // Every other argument is a float, for the float rows.
            argument[i] = i % 2 ? static_cast<double>(static_cast<float>(uniform(random))) : uniform(random);
            negated[i] = -argument[i];
            exact_cosine[i] = cosl(static_cast<long double>(argument[i]));
            exact_sine[i] = sinl(static_cast<long double>(argument[i]));
        }
        for (std::size_t p = 0; p < paths.size(); ++p) {
            vm::cos_sin_on(paths[p], argument.data(), cosine.data(), sine.data(), n);
            for (std::ptrdiff_t i = 0; i < n; ++i) {
                if (i % 2) {
                    worst_float_cosine[p].take(ulp_error(static_cast<float>(cosine[i]), exact_cosine[i]), argument[i]);
                    worst_float_sine[p].take(ulp_error(static_cast<float>(sine[i]), exact_sine[i]), argument[i]);
                } else {
                    worst_cosine[p].take(ulp_error(cosine[i], exact_cosine[i]), argument[i]);
                    worst_sine[p].take(ulp_error(sine[i], exact_sine[i]), argument[i]);
                }
            }
            // The same arguments shifted by 1 to 7 places, and with a ragged end.
            const std::ptrdiff_t shift = 1 + done / chunk % 7;
            vm::cos_sin_on(paths[p], argument.data() + shift, shifted_cosine.data(), shifted_sine.data(),
                           n - shift - 3);
            moved[p] += !bits_equal(cosine.data() + shift, shifted_cosine.data(), n - shift - 3) ||
                        !bits_equal(sine.data() + shift, shifted_sine.data(), n - shift - 3);
            vm::cos_sin_on(paths[p], negated.data(), negated_cosine.data(), negated_sine.data(), n);
            for (std::ptrdiff_t i = 0; i < n; ++i)
                asymmetric[p] +=
                    !(negated_cosine[i] == cosine[i] && negated_sine[i] == -sine[i]) && !std::isnan(cosine[i]);
        }
    }
    for (std::size_t p = 0; p < paths.size(); ++p) {
        const char* name = vm::name_of(paths[p]);
        report.line(name, "cos", range, worst_cosine[p]);
        report.line(name, "sin", range, worst_sine[p]);
        report.line(name, "cosf", (std::string(range) + ", float").c_str(), worst_float_cosine[p]);
        report.line(name, "sinf", (std::string(range) + ", float").c_str(), worst_float_sine[p]);
        report.check(name, "cos/sin results that depend on the position", moved[p]);
        report.check(name, "cos(-x) != cos(x) or sin(-x) != -sin(x)", asymmetric[p]);
    }
}

// atan2 of `count` double and `count` float pairs with random signs and magnitudes 10^[-6, 6] each
// (so the quotients span 10^[-12, 12]), plus signed zeros and infinities.
void measure_atan2(std::vector<vm::Path> const& paths, std::ptrdiff_t count, std::mt19937_64& random, Report& report) {
    std::uniform_real_distribution<double> decades(-6.0, 6.0);
    std::bernoulli_distribution negative(0.5);
    const double special[] = {0.0, -0.0, INFINITY, -INFINITY, 1.0, -1.0};
    // Every thousandth pair is one of the 36 pairs of special values.
    const auto draw = [&](std::ptrdiff_t i, std::ptrdiff_t period) {
        if (i % 1000 == 7) return special[static_cast<std::size_t>(i / period % 6)];
        const double magnitude = std::pow(10.0, decades(random));
        return negative(random) ? -magnitude : magnitude;
    };
    std::vector<double> y(chunk), x(chunk), angle(chunk), shifted(chunk);
    std::vector<long double> exact(chunk);
    std::vector<Worst> worst(paths.size()), worst_float(paths.size());
    std::vector<long> moved(paths.size());

    for (std::ptrdiff_t done = 0; done < 2 * count; done += chunk) {
        const std::ptrdiff_t n = std::min(chunk, 2 * count - done);
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            y[i] = draw(done + i, 1000);
            x[i] = draw(done + i, 6000);
            if (i % 2) {
                y[i] = static_cast<float>(y[i]);
                x[i] = static_cast<float>(x[i]);
            }
            exact[i] = atan2l(static_cast<long double>(y[i]), static_cast<long double>(x[i]));
        }
        for (std::size_t p = 0; p < paths.size(); ++p) {
            vm::atan2_on(paths[p], y.data(), x.data(), angle.data(), n);
            for (std::ptrdiff_t i = 0; i < n; ++i) {
                if (i % 2)
                    worst_float[p].take(ulp_error(static_cast<float>(angle[i]), exact[i]), y[i], x[i]);
                else
                    worst[p].take(ulp_error(angle[i], exact[i]), y[i], x[i]);
            }
            const std::ptrdiff_t shift = 1 + done / chunk % 7;
            vm::atan2_on(paths[p], y.data() + shift, x.data() + shift, shifted.data(), n - shift - 3);
            moved[p] += !bits_equal(angle.data() + shift, shifted.data(), n - shift - 3);
        }
    }
    for (std::size_t p = 0; p < paths.size(); ++p) {
        const char* name = vm::name_of(paths[p]);
        report.line(name, "atan2", "|y|, |x| in 10^[-6, 6]", worst[p], true);
        report.line(name, "atan2f", "|y|, |x| in 10^[-6, 6], float", worst_float[p], true);
        report.check(name, "atan2 results that depend on the position", moved[p]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::ptrdiff_t count = argc > 1 ? std::atoll(argv[1]) : 10'000'000;
    std::vector<vm::Path> paths;
    for (vm::Path path : {vm::Path::scalar, vm::Path::sse2, vm::Path::avx2, vm::Path::avx512})
        if (vm::can_run(path)) paths.push_back(path);
    std::printf(
        "vector math accuracy: %td double and %td float arguments per function and range, "
        "path in use: %s\n",
        count, count, vm::path_name());
    std::printf(
        "largest error against the long double functions (bound %.0f ulp; the float rows in float "
        "ulp)\n\n",
        max_ulp_allowed);

    std::mt19937_64 random(20261208);
    Report report;
    measure_cos_sin(paths, count, 1e5, "x in [-1e5, 1e5]", random, report);
    measure_cos_sin(paths, count, 2 * 3.141592653589793, "x in [-2 pi, 2 pi]", random, report);
    measure_atan2(paths, count, random, report);
    std::printf("\n%s\n", report.failed ? "FAILED" : "all within the bound; positions and symmetry checked");
    return report.failed ? 1 : 0;
}
