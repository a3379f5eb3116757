// The body shared by the three limb-darkened light-curve modules: argument checks, the result
// array and the call of the annulus integration for one intensity law. Each module parses its
// own argument list (the laws differ in their coefficients) and fills its law's record.
#pragma once

#include "frame/module_frame.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/limb_darkening.hpp"

namespace halfmoon::light_curve {

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

// Parses the argument list of the two-coefficient laws, "OddddiOOddb": separations, first
// radius, c1, c2, step factor, an ignored integer, line angles, normal offsets, crossing index,
// second radius and the two-halves flag.
inline bool parse_two_coefficient_arguments(PyObject* args, LightCurveArguments& a, double& c1,
                                            double& c2) {
    return PyArg_ParseTuple(args, "OddddiOOddb", &a.separations, &a.planet_radius, &c1, &c2,
                            &a.step_factor, &a.ignored, &a.line_angles, &a.normal_offsets,
                            &a.crossing_index, &a.second_radius, &a.with_second_half) != 0;
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

template <typename Law>
PyObject* compute_light_curve(const LightCurveArguments& args,
                              const typename Law::LawCoefficients& law) {
    const auto points = take_point_arrays(args.separations, args.line_angles, args.normal_offsets);
    if (!points || !check_step_factor(args.step_factor)) {
        return nullptr;
    }
    const frame::DoubleArray& z = points->separations;
    auto result = frame::new_result_array(z.size, z.type_num);
    if (result.get() == nullptr) {
        return nullptr;
    }
    calc_limb_darkening<Law>(frame::result_data(result), z.data, static_cast<std::int32_t>(z.size),
                             &law, points->line_angles.data, points->normal_offsets.data,
                             args.planet_radius, args.step_factor, args.crossing_index,
                             args.second_radius, args.with_second_half != 0);
    return frame::return_result(std::move(result));
}

}  // namespace halfmoon::light_curve
