// halfmoon._testing: entry points into the core that exist for tests and benchmarks only.
//
// - light_curve: the annulus integration with the planet prepared once per point (exactly the
//   light-curve modules' computation) or with every overlap evaluated afresh, so that tests can
//   compare the two bit for bit;
// - halves: the exact engine's blocked fraction through both half-rims and the line pieces,
//   also for equal radii;
// - carlson_rf, carlson_rd, carlson_rj, carlson_rc, carlson_rf_rd_rj: Carlson's integrals;
// - cel, complete_rf_rd_rj: Bulirsch's complete integral and the complete Carlson triple built
//   on it;
// - node_counts: a quadrature panel's node count by the logarithm and by thresholds;
// - acos_nanoseconds: the time of one libm acos call on this machine, the unit in which the
//   benchmarks quote the engine's cost per point.
#include "frame/array_bridge.hpp"

#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "core/annulus.hpp"
#include "core/boundary_quadrature.hpp"
#include "core/carlson.hpp"
#include "core/cel.hpp"
#include "core/closed_form.hpp"
#include "core/dividing_line.hpp"
#include "core/laws.hpp"
#include "core/quadrature.hpp"
#include "frame/light_curve_binding.hpp"

namespace halfmoon::testing_module {
namespace {

constexpr const char kDoc[] =
    "Private entry points into halfmoon's core for tests and benchmarks; not part of the API.";

constexpr const char kLightCurveDoc[] =
    "light_curve(law, coefficients, separations, line_angles, normal_offsets, planet_radius,\n"
    "            second_radius, step_factor, crossing_index, with_second_half, plain)\n--\n\n"
    "The annulus integration of the light-curve modules. law is 'quadratic' (2 coefficients),\n"
    "'nonlinear' (4) or 'exponential' (2). With plain false this is exactly the light-curve\n"
    "modules' computation; with plain true every annulus edge calls area() afresh for each half\n"
    "instead of reusing the point's prepared planet.";

// The integration with every overlap evaluated by area() from scratch: the reference that the
// prepared per-point planet must reproduce bit for bit.
template <AnnulusLaw Law>
void plain_light_curve(double* flux, const light_curve::PointArrays& points,
                       const typename Law::Record& law, double p, double p2, double step,
                       double crossing, bool both) {
    const frame::DoubleArray& z = points.separations;
    const frame::DoubleArray& line = points.line_angles;
    const frame::DoubleArray& offsets = points.normal_offsets;
    for (npy_intp i = 0; i < z.size; ++i) {
        const auto band = reachable_band(z.data[i], p, p2);
        if (!band) {
            flux[i] = 1.0;
            continue;
        }
        const double theta =
            line_theta(static_cast<int>(i), line.data[i], z.data[i], offsets.data[i], crossing);
        flux[i] = annulus_flux<Law>(law, *band, step, [&](double r) {
            const double first = area(z.data[i], r, p, theta);
            return both ? first + area(z.data[i], r, p2, -theta) : first;
        });
    }
}

PyObject* light_curve_entry(PyObject* /*self*/, PyObject* args) {
    const char* law_name;
    PyObject *coefficients_arg, *z_arg, *line_arg, *offsets_arg;
    double p, p2, step, crossing;
    int both, plain;
    if (!PyArg_ParseTuple(args, "sOOOOddddpp:light_curve", &law_name, &coefficients_arg, &z_arg,
                          &line_arg, &offsets_arg, &p, &p2, &step, &crossing, &both, &plain)) {
        return nullptr;
    }
    const auto c = frame::as_double_array(coefficients_arg, "coefficients");
    if (!c) {
        return nullptr;
    }
    const auto points = light_curve::take_point_arrays(z_arg, line_arg, offsets_arg);
    if (!points || !light_curve::check_step_factor(step)) {
        return nullptr;
    }
    frame::OwnedRef result;
    bool counted = false;
    const bool known = AnnulusLaws::for_law(law_name, [&]<typename Law>(Law /*law*/) {
        if (c->size != static_cast<npy_intp>(Law::kCoefficientCount)) {
            return;
        }
        counted = true;
        const auto n = points->separations.size;
        result = frame::new_result_array(n, NPY_DOUBLE);
        if (result.get() == nullptr) {
            return;
        }
        double* flux = frame::result_data(result);
        const typename Law::Record law =
            Law::record(std::span<const double>(c->data, Law::kCoefficientCount));
        if (plain) {
            plain_light_curve<Law>(flux, *points, law, p, p2, step, crossing, both != 0);
        } else {
            calc_limb_darkening<Law>(flux, points->separations.data, static_cast<std::int32_t>(n),
                                     &law, points->line_angles.data, points->normal_offsets.data, p,
                                     step, crossing, p2, both != 0);
        }
    });
    if (!known || !counted) {
        PyErr_Format(PyExc_ValueError,
                     "law must be 'quadratic', 'nonlinear' or 'exponential' with 2, 4 or 2 "
                     "coefficients, got %s with %zd",
                     law_name, static_cast<Py_ssize_t>(c->size));
        return nullptr;
    }
    if (result.get() == nullptr) {
        return nullptr;
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
    if (!PyArg_ParseTuple(args, "dddddd:halves", &z, &theta, &p1, &p2, &u1, &u2)) {
        return nullptr;
    }
    const QuadraticLaw::Record law = QuadraticLaw::coefficients(u1, u2);
    const closed_form::Moments m = closed_form::blocked_moments_halves(z, theta, p1, p2);
    return PyFloat_FromDouble(closed_form::blocked_fraction(QuadraticLaw::power_basis(law),
                                                            QuadraticLaw::normalisation(law), m));
}

// A Carlson integral of N real arguments, called from Python.
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

PyObject* complete_rf_rd_rj_entry(PyObject* /*self*/, PyObject* args) {
    double kc = 0.0;
    double r = 0.0;
    if (!PyArg_ParseTuple(args, "dd", &kc, &r)) {
        return nullptr;
    }
    const cel::CompleteTriple t = cel::complete_rf_rd_rj(kc, std::sqrt(r));
    return Py_BuildValue("(ddd)", t.rf, t.rd, t.rj);
}

// Mean time of one acos call over `count` calls whose arguments sweep [lo, hi) in 1024 small
// steps, in nanoseconds. libm's cost depends on the range: arguments below 1/8 take its
// shortest path, those near +-1 the longest. The arguments do not depend on the results, as the
// points of a light curve do not; the results are summed so that no call can be dropped.
PyObject* acos_nanoseconds_entry(PyObject* /*self*/, PyObject* args) {
    long count = 0;
    double lo = 0.0;
    double hi = 0.0;
    if (!PyArg_ParseTuple(args, "ldd:acos_nanoseconds", &count, &lo, &hi)) {
        return nullptr;
    }
    if (count < 1 || !(-1.0 <= lo && lo < hi && hi <= 1.0)) {
        PyErr_SetString(PyExc_ValueError, "need count >= 1 and -1 <= lo < hi <= 1");
        return nullptr;
    }
    const double step = (hi - lo) / 1024.0;
    double sum = 0.0;
    double x = lo;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        sum += std::acos(x);
        x += step;
        x = x >= hi ? lo : x;
    }
    const auto stop = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(stop - start).count();
    return Py_BuildValue("(dd)", seconds * 1e9 / static_cast<double>(count), sum);
}

// A panel's node count three ways: from the logarithm (plain_nodes), from thresholds worked out
// at run time, and from the default rule's cell thresholds worked out at compile time (for that
// rule's cell resolution and fewest count, whatever the arguments say).
PyObject* node_counts_entry(PyObject* /*self*/, PyObject* args) {
    double distance = 0.0;
    double width = 0.0;
    double resolution = 0.0;
    int fewest = 0;
    if (!PyArg_ParseTuple(args, "dddi:node_counts", &distance, &width, &resolution, &fewest)) {
        return nullptr;
    }
    if (!(resolution > 0.0 && resolution <= 100.0) || fewest < 1) {
        PyErr_SetString(PyExc_ValueError, "need 0 < resolution <= 100 and fewest >= 1");
        return nullptr;
    }
    const quadrature::PanelNodes nodes{fewest, resolution, fewest};
    const int from_log = quadrature::plain_nodes(nodes, distance, width);
    const int at_run_time = quadrature::NodeThresholds(resolution).nodes(distance, width, fewest);
    const int compiled = boundary_quadrature::kRule.cell_thresholds.nodes(
        distance, width, boundary_quadrature::kRule.cell);
    return Py_BuildValue("(iii)", from_log, at_run_time, compiled);
}

PyMethodDef methods[] = {
    {"light_curve", light_curve_entry, METH_VARARGS, kLightCurveDoc},
    {"halves", halves_entry, METH_VARARGS,
     "halves(z, theta, p1, p2, u1, u2): blocked fraction of the quadratic law through both "
     "half-rims and the line pieces, also for equal radii."},
    {"carlson_rf", integral_entry<carlson::rf, 3>, METH_VARARGS,
     "carlson_rf(x, y, z): Carlson's R_F."},
    {"carlson_rd", integral_entry<carlson::rd, 3>, METH_VARARGS,
     "carlson_rd(x, y, z): Carlson's R_D."},
    {"carlson_rj", integral_entry<carlson::rj, 4>, METH_VARARGS,
     "carlson_rj(x, y, z, p): Carlson's R_J, p > 0."},
    {"carlson_rc", integral_entry<carlson::rc, 2>, METH_VARARGS,
     "carlson_rc(x, y): Carlson's R_C, y > 0."},
    {"carlson_rf_rd_rj", rf_rd_rj_entry, METH_VARARGS,
     "carlson_rf_rd_rj(x, y, z, p): (R_F, R_D, R_J) from one shared duplication sequence."},
    {"node_counts", node_counts_entry, METH_VARARGS,
     "node_counts(distance, width, resolution, fewest): a panel's node count from the "
     "logarithm, from thresholds, and from the default rule's compiled cell thresholds."},
    {"sine_to_quarter_turn", integral_entry<quadrature::sine_to_quarter_turn, 1>, METH_VARARGS,
     "sine_to_quarter_turn(x): the boundary quadrature's sin(x) of the rim nodes, "
     "0 <= x <= pi/2."},
    {"arcsine_of_root", integral_entry<quadrature::arcsine_of_root, 1>, METH_VARARGS,
     "arcsine_of_root(w): the boundary quadrature's asin(sqrt(w)) of the cells' ends on a rim, "
     "0 <= w <= 1."},
    {"cel", integral_entry<cel::cel, 4>, METH_VARARGS,
     "cel(kc, p, a, b): Bulirsch's complete elliptic integral, p > 0."},
    {"acos_nanoseconds", acos_nanoseconds_entry, METH_VARARGS,
     "acos_nanoseconds(count, lo, hi): (nanoseconds per libm acos call, checksum) over count "
     "calls with arguments sweeping [lo, hi)."},
    {"complete_rf_rd_rj", complete_rf_rd_rj_entry, METH_VARARGS,
     "complete_rf_rd_rj(kc, r): (R_F, R_D, R_J) at (0, kc^2, 1[, r]) from one iteration, kc > 0, "
     "r > 0."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("halfmoon._testing", kDoc, methods);

}  // namespace
}  // namespace halfmoon::testing_module

PyMODINIT_FUNC PyInit__testing() {
    return halfmoon::frame::create_module(&halfmoon::testing_module::definition);
}
