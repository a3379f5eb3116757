// halfmoon._exact: exact transit light curve of a two-half-disc planet under the quadratic
// limb-darkening law (and so the linear and uniform laws), in closed form.
//
// _exact(separations, planet_radius, u1, u2, line_angles, normal_offsets, crossing_index,
//        second_radius) -> fluxes
//
// The arguments mirror the annulus light-curve modules without the step factor, the ignored
// integer and the two-halves flag (both halves always occult):
//   separations     float64 array, n values: star-planet distance z, stellar radii
//   planet_radius   radius p1 of half 1, left of the dividing line taken along line_angle
//   u1, u2          I = 1 - u1 (1 - mu) - u2 (1 - mu)^2
//   line_angles     float64 array, >= n values: sky direction of the dividing line, radians
//   normal_offsets  float64 array, >= n values: sky Y of the planet centre, stellar radii
//   crossing_index  points with index <= crossing_index have the centre at X < 0, later ones
//                   at X > 0 (a NaN puts every point at X > 0)
//   second_radius   radius p2 of half 2, right of the dividing line
//
// Radii must be finite and non-negative and u1, u2 finite (ValueError otherwise). When both
// radii are below one half every point takes the closed form: absolute flux error about 1e-15
// (worst seen 1.1e-15), at a cost of a few elliptic-integral triples per point (one for equal
// radii). When the larger radius is one half or more (outside the closed form's range: a rim
// crossing the limb could pass through the star's centre) the whole call uses the annulus
// integration with the fine step kFallbackStep instead: flux error about 5e-9, the
// integration's own floor, at about 3000 annuli per point.
//
// The angle from the star-to-planet direction to the dividing line is line_angle minus the
// polar angle atan2(Y, X) of the planet centre; any real value is accepted.
//
// Per point: a planet that cannot reach the star (z - max(p1, p2) >= 1) gives exactly 1.0
// without reading the per-point arrays; a negative separation is not a distance and gives NaN;
// NaN inputs give NaN.
//
// Private helpers for tests: _halves (the blocked fraction by the general two-half route even for
// equal radii) and the Carlson integrals _carlson_rf, _carlson_rd, _carlson_rj, _carlson_rc,
// _carlson_rf_rd_rj.
#include "frame/module_frame.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/carlson.hpp"
#include "core/closed_form.hpp"
#include "core/limb_darkening.hpp"
#include "modules/light_curve_entry.hpp"

namespace halfmoon::exact_module {
namespace {

// Step factor of the annulus integration used for radii outside the closed form's range.
constexpr double kFallbackStep = 1e-4;

constexpr const char kDoc[] =
    "Exact transit light curve of a two-half-disc planet for the quadratic, linear and uniform "
    "limb-darkening laws (closed form).";

constexpr const char kExactDoc[] =
    "_exact(separations, planet_radius, u1, u2, line_angles, normal_offsets, crossing_index, "
    "second_radius)\n--\n\n"
    "Relative flux (1 = unocculted star) of a star with intensity "
    "1 - u1 (1 - mu) - u2 (1 - mu)**2 behind a planet made of two half-discs: radius "
    "planet_radius left of the dividing line (taken along line_angles[i]) and second_radius "
    "right of it. The planet centre is at sky Y = normal_offsets[i], distance separations[i] "
    "from the star's centre, at X < 0 for indices up to crossing_index and X > 0 after it. "
    "Radii of 0.5 and above are integrated numerically with annuli of step factor 1e-4.";

// Angle from the star-to-planet direction to the dividing line. The sky is turned so that the
// planet centre (X, Y) lies on the positive x axis; turning keeps half 1 on the left of the line.
// |X| follows from z and Y (at 0 when |Y| exceeds z by rounding), its sign from the point's side
// of the crossing.
double line_theta_exact(std::int32_t index, double z, double line_angle, double normal_offset,
                        double crossing_index) {
    const bool before = crossing_index >= static_cast<double>(index);
    const double x_abs = std::sqrt(std::max((z - normal_offset) * (z + normal_offset), 0.0));
    const double x = before ? -x_abs : x_abs;
    return line_angle - std::atan2(normal_offset, x);
}

double point_flux(std::int32_t index, double z, double p1, double p2, double u1, double u2,
                  const double* line_angles, const double* normal_offsets, double crossing_index) {
    if (z - std::max(p1, p2) >= 1.0) {
        return 1.0;
    }
    if (!(z >= 0.0)) {
        return std::nan("");  // a negative or NaN separation is not a distance
    }
    const double theta =
        line_theta_exact(index, z, line_angles[index], normal_offsets[index], crossing_index);
    return 1.0 - closed_form::blocked_flux_quadratic(z, theta, p1, p2, u1, u2);
}

bool check_radius(double radius, const char* name) {
    if (std::isfinite(radius) && radius >= 0.0) {
        return true;
    }
    PyErr_Format(PyExc_ValueError, "%s must be finite and >= 0, got %R", name,
                 frame::OwnedRef(PyFloat_FromDouble(radius)).get());
    return false;
}

bool check_coefficient(double value, const char* name) {
    if (std::isfinite(value)) {
        return true;
    }
    PyErr_Format(PyExc_ValueError, "%s must be finite, got %R", name,
                 frame::OwnedRef(PyFloat_FromDouble(value)).get());
    return false;
}

PyObject* exact_entry(PyObject* /*self*/, PyObject* args) {
    PyObject* separations_arg = nullptr;
    double p1 = 0.0;
    double u1 = 0.0;
    double u2 = 0.0;
    PyObject* line_angles_arg = nullptr;
    PyObject* normal_offsets_arg = nullptr;
    double crossing_index = 0.0;
    double p2 = 0.0;
    if (!PyArg_ParseTuple(args, "OdddOOdd", &separations_arg, &p1, &u1, &u2, &line_angles_arg,
                          &normal_offsets_arg, &crossing_index, &p2)) {
        return nullptr;
    }
    if (!check_radius(p1, "planet_radius") || !check_radius(p2, "second_radius") ||
        !check_coefficient(u1, "u1") || !check_coefficient(u2, "u2")) {
        return nullptr;
    }
    const auto points =
        light_curve::take_point_arrays(separations_arg, line_angles_arg, normal_offsets_arg);
    if (!points) {
        return nullptr;
    }
    const frame::DoubleArray& separations = points->separations;
    const frame::DoubleArray& line_angles = points->line_angles;
    const frame::DoubleArray& normal_offsets = points->normal_offsets;
    auto result = frame::new_result_array(separations.size, separations.type_num);
    if (result.get() == nullptr) {
        return nullptr;
    }
    double* flux = frame::result_data(result);
    const auto n = static_cast<std::int32_t>(separations.size);

    if (std::max(p1, p2) >= closed_form::kMaxRadius) {
        // Outside the closed form's range: the annulus integration with a fine step.
        const QuadraticLaw::LawCoefficients law = QuadraticLaw::coefficients(u1, u2);
        calc_limb_darkening<QuadraticLaw>(flux, separations.data, n, &law, line_angles.data,
                                          normal_offsets.data, p1, kFallbackStep, crossing_index,
                                          p2, true);
        return frame::return_result(std::move(result));
    }

    for (std::int32_t i = 0; i < n; ++i) {
        flux[i] = point_flux(i, separations.data[i], p1, p2, u1, u2, line_angles.data,
                             normal_offsets.data, crossing_index);
    }
    return frame::return_result(std::move(result));
}

PyObject* halves_entry(PyObject* /*self*/, PyObject* args) {
    double z = 0.0;
    double theta = 0.0;
    double p1 = 0.0;
    double p2 = 0.0;
    double u1 = 0.0;
    double u2 = 0.0;
    if (!PyArg_ParseTuple(args, "dddddd", &z, &theta, &p1, &p2, &u1, &u2)) {
        return nullptr;
    }
    const closed_form::PowerLaw law = closed_form::power_law(u1, u2);
    const closed_form::Moments m = closed_form::blocked_moments_halves(z, theta, p1, p2);
    return PyFloat_FromDouble((law.c0 * m.s0 + law.c1 * m.s1 + law.c2 * m.s2) / law.norm);
}

// A Carlson integral of N real arguments, called from Python (for tests).
template <auto Integral, std::size_t... I>
PyObject* call_with_doubles(PyObject* args, std::index_sequence<I...> /*arguments*/) {
    std::array<double, sizeof...(I)> x{};
    constexpr std::array<char, sizeof...(I) + 1> format{(static_cast<void>(I), 'd')..., '\0'};
    if (!PyArg_ParseTuple(args, format.data(), &x[I]...)) {
        return nullptr;
    }
    return PyFloat_FromDouble(Integral(x[I]...));
}

template <auto Integral, std::size_t N>
PyObject* integral_entry(PyObject* /*self*/, PyObject* args) {
    return call_with_doubles<Integral>(args, std::make_index_sequence<N>{});
}

PyObject* rf_rd_rj_entry(PyObject* /*self*/, PyObject* args) {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double p = 0.0;
    if (!PyArg_ParseTuple(args, "dddd", &x, &y, &z, &p)) {
        return nullptr;
    }
    const carlson::SymmetricTriple t = carlson::rf_rd_rj(x, y, z, p);
    return Py_BuildValue("(ddd)", t.rf, t.rd, t.rj);
}

PyMethodDef methods[] = {
    {"_exact", exact_entry, METH_VARARGS, kExactDoc},
    {"_halves", halves_entry, METH_VARARGS,
     "_halves(z, theta, p1, p2, u1, u2): blocked fraction through both half-rims and the line "
     "pieces, also for equal radii (for tests)."},
    {"_carlson_rf", integral_entry<carlson::rf, 3>, METH_VARARGS,
     "_carlson_rf(x, y, z): Carlson's R_F."},
    {"_carlson_rd", integral_entry<carlson::rd, 3>, METH_VARARGS,
     "_carlson_rd(x, y, z): Carlson's R_D."},
    {"_carlson_rj", integral_entry<carlson::rj, 4>, METH_VARARGS,
     "_carlson_rj(x, y, z, p): Carlson's R_J, p > 0."},
    {"_carlson_rc", integral_entry<carlson::rc, 2>, METH_VARARGS,
     "_carlson_rc(x, y): Carlson's R_C, y > 0."},
    {"_carlson_rf_rd_rj", rf_rd_rj_entry, METH_VARARGS,
     "_carlson_rf_rd_rj(x, y, z, p): (R_F, R_D, R_J) from one shared duplication sequence."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("halfmoon._exact", kDoc, methods);

}  // namespace
}  // namespace halfmoon::exact_module

PyMODINIT_FUNC PyInit__exact() {
    return halfmoon::frame::create_module(&halfmoon::exact_module::definition);
}
