// The one binding of the annulus light-curve modules, built for a law by a template.
//
// Every such function takes, positionally: the separations, the first half-disc's radius, the
// law's coefficients, the step factor, an ignored integer, the line angles and normal offsets
// (arrays of at least as many points), the crossing index, the second radius and the
// two-halves flag. Its argument format is therefore "Od", one "d" per coefficient, then
// "diOOddb"; the law's record is filled from the coefficients and the annulus integration runs
// over every point.
#pragma once

#include "frame/array_bridge.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/annulus.hpp"
#include "core/laws.hpp"

namespace halfmoon::light_curve {

// The per-point arrays of a light curve: the separations and, for at least as many points, the
// sky angle of the dividing line and the normal offset of the planet's centre. Only the first
// n values of the longer arrays are read.
struct PointArrays {
    frame::DoubleArray separations;
    frame::DoubleArray line_angles;
    frame::DoubleArray normal_offsets;
};

inline std::optional<PointArrays> take_point_arrays(PyObject* separations, PyObject* line_angles,
                                                    PyObject* normal_offsets) {
    auto z = frame::as_double_array(separations, "separations");
    if (!z) {
        return std::nullopt;
    }
    auto line = frame::as_double_array(line_angles, "line_angles");
    if (!line || !frame::require_length(*line, z->size, "line_angles", "separations")) {
        return std::nullopt;
    }
    auto offsets = frame::as_double_array(normal_offsets, "normal_offsets");
    if (!offsets || !frame::require_length(*offsets, z->size, "normal_offsets", "separations")) {
        return std::nullopt;
    }
    return PointArrays{std::move(*z), std::move(*line), std::move(*offsets)};
}

// A step factor that is zero, negative or not finite would never advance the annuli or would
// drive them off the disc; a positive one below 2^-28 could not move the annulus edge next to
// the limb, and the integration would never end there either.
inline bool check_step_factor(double step_factor) {
    if (annulus_edges_advance(step_factor)) {
        return true;
    }
    const frame::OwnedRef value(PyFloat_FromDouble(step_factor));
    if (std::isfinite(step_factor) && step_factor > 0.0) {
        PyErr_Format(PyExc_ValueError,
                     "step_factor must be at least 2**-28 (about 3.7e-9), the smallest that "
                     "moves the annulus edges next to the limb, got %R",
                     value.get());
    } else {
        PyErr_Format(PyExc_ValueError, "step_factor must be finite and > 0, got %R", value.get());
    }
    return false;
}

// A radius that is negative, NaN or infinite describes no planet; the integration would return
// numbers for it all the same (a negative radius enters the overlap areas squared and the
// integration band with its sign), so it is refused, as the package engine refuses it.
inline bool check_radius(double radius, const char* name) {
    if (std::isfinite(radius) && radius >= 0.0) {
        return true;
    }
    const frame::OwnedRef value(PyFloat_FromDouble(radius));
    PyErr_Format(PyExc_ValueError, "%s must be finite and >= 0, got %R", name, value.get());
    return false;
}

// The argument format of a law with `count` coefficients.
template <std::size_t Count>
constexpr std::array<char, Count + 10> argument_format() {
    std::array<char, Count + 10> format{};
    constexpr char head[] = "Od";
    constexpr char tail[] = "diOOddb";
    std::size_t k = 0;
    for (std::size_t i = 0; i < 2; ++i) {
        format[k++] = head[i];
    }
    for (std::size_t i = 0; i < Count; ++i) {
        format[k++] = 'd';
    }
    for (std::size_t i = 0; i < 7; ++i) {
        format[k++] = tail[i];
    }
    format[k] = '\0';
    return format;
}

// The arguments every light-curve function takes besides its law's coefficients.
struct LightCurveArguments {
    PyObject* separations = nullptr;
    double planet_radius = 0.0;
    double step_factor = 0.0;
    int ignored = 0;
    PyObject* line_angles = nullptr;
    PyObject* normal_offsets = nullptr;
    double crossing_index = 0.0;
    double second_radius = 0.0;
    unsigned char with_second_half = 0;
};

template <AnnulusLaw Law, std::size_t... I>
bool parse_arguments(PyObject* args, LightCurveArguments& a,
                     std::array<double, Law::kCoefficientCount>& c,
                     std::index_sequence<I...> /*coefficients*/) {
    static constexpr auto format = argument_format<Law::kCoefficientCount>();
    return PyArg_ParseTuple(args, format.data(), &a.separations, &a.planet_radius, &c[I]...,
                            &a.step_factor, &a.ignored, &a.line_angles, &a.normal_offsets,
                            &a.crossing_index, &a.second_radius, &a.with_second_half) != 0;
}

// The Python-visible light-curve function of one law.
template <AnnulusLaw Law>
PyObject* light_curve_function(PyObject* /*self*/, PyObject* args) {
    LightCurveArguments a;
    std::array<double, Law::kCoefficientCount> c{};
    if (!parse_arguments<Law>(args, a, c, std::make_index_sequence<Law::kCoefficientCount>{})) {
        return nullptr;
    }
    if (!check_radius(a.planet_radius, "planet_radius") ||
        !check_radius(a.second_radius, "second_radius")) {
        return nullptr;
    }
    const typename Law::Record law = Law::record(c);
    const auto points = take_point_arrays(a.separations, a.line_angles, a.normal_offsets);
    if (!points || !check_step_factor(a.step_factor)) {
        return nullptr;
    }
    const frame::DoubleArray& z = points->separations;
    auto result = frame::new_result_array(z.size, z.type_num);
    if (result.get() == nullptr) {
        return nullptr;
    }
    calc_limb_darkening<Law>(frame::result_data(result), z.data, static_cast<std::int32_t>(z.size),
                             &law, points->line_angles.data, points->normal_offsets.data,
                             a.planet_radius, a.step_factor, a.crossing_index, a.second_radius,
                             a.with_second_half != 0);
    return frame::return_result(std::move(result));
}

}  // namespace halfmoon::light_curve
