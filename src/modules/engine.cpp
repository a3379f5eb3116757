// halfmoon._engine: the package's exact light-curve engine.
//
// transit(law, coefficients, first_radius, second_radius, z, x, y, line_angle) -> flux
//
// Shapes: S parameter sets, C channels per set, n points, K coefficients of the law.
//   coefficients   (S, C, K)  the law's coefficients per set and channel
//   first_radius   (S, C)     radius of half 1, left of the dividing line
//   second_radius  (S, C)     radius of half 2, right of it
//   z, x, y        (S, n)     separation and sky coordinates of the planet's centre; a point
//                             whose separation the planet cannot reach from (such as the
//                             orbit's far-side value) gives exactly 1
//   line_angle     (S, n)     sky angle of the dividing line, radians
// Result: (S, C, n) relative fluxes (1 = unocculted star).
#include "frame/array_bridge.hpp"

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/dividing_line.hpp"
#include "core/engine.hpp"
#include "core/laws.hpp"

namespace halfmoon::engine_module {
namespace {

constexpr const char kDoc[] =
    "The exact light-curve engine of halfmoon: transits of a two-half-disc planet in front of a "
    "limb-darkened star, by Green's theorem along the boundary of the planet's part of the star.";

constexpr const char kTransitDoc[] =
    "transit(law, coefficients, first_radius, second_radius, z, x, y, line_angle)\n--\n\n"
    "Relative flux of S parameter sets x C channels x n points.\n\n"
    "Parameters\n----------\n"
    "law : str\n    Name of the limb-darkening law (a key of LAWS).\n"
    "coefficients : array of shape (S, C, K)\n    The law's K coefficients.\n"
    "first_radius, second_radius : arrays of shape (S, C)\n"
    "    Radii of the half-discs left and right of the dividing line, stellar radii, finite "
    "and >= 0.\n"
    "z, x, y : arrays of shape (S, n)\n"
    "    Separation and sky coordinates of the planet's centre, stellar radii. A separation "
    "the planet cannot reach the star from gives exactly 1.\n"
    "line_angle : array of shape (S, n)\n    Sky angle of the dividing line, radians.\n\n"
    "Returns\n-------\nnumpy.ndarray of shape (S, C, n)";

// The checked arguments of one call.
struct TransitCall {
    frame::DoubleArrayND coefficients;
    frame::DoubleArrayND first_radius;
    frame::DoubleArrayND second_radius;
    frame::DoubleArrayND z;
    frame::DoubleArrayND x;
    frame::DoubleArrayND y;
    frame::DoubleArrayND line_angle;
    npy_intp sets = 0;
    npy_intp channels = 0;
    npy_intp points = 0;
};

bool same_shape(const frame::DoubleArrayND& a, const frame::DoubleArrayND& b) {
    if (a.ndim != b.ndim) {
        return false;
    }
    for (int k = 0; k < a.ndim; ++k) {
        if (a.shape[k] != b.shape[k]) {
            return false;
        }
    }
    return true;
}

bool shape_error(const char* name, const char* expected) {
    PyErr_Format(PyExc_ValueError, "%s: expected shape %s", name, expected);
    return false;
}

bool check_radii(const frame::DoubleArrayND& radii, const char* name) {
    for (npy_intp k = 0; k < radii.size; ++k) {
        const double r = radii.data[k];
        if (!(std::isfinite(r) && r >= 0.0)) {
            const frame::OwnedRef value(PyFloat_FromDouble(r));
            PyErr_Format(PyExc_ValueError, "%s must be finite and >= 0, got %R", name,
                         value.get());
            return false;
        }
    }
    return true;
}

// The law's count of coefficients, then every set's and channel's coefficients against its
// rules (finiteness, domain).
template <ExactLaw Law>
bool check_coefficients(const frame::DoubleArrayND& coefficients) {
    const std::size_t k = static_cast<std::size_t>(coefficients.shape[2]);
    const npy_intp rows = coefficients.shape[0] * coefficients.shape[1];
    std::optional<std::string> problem = count_problem<Law>(k);
    for (npy_intp row = 0; row < rows && !problem; ++row) {
        problem = coefficient_problem<Law>(std::span<const double>(coefficients.data + row * k, k));
    }
    if (problem) {
        PyErr_Format(PyExc_ValueError, "coefficients: law '%s' %s", std::string(Law::kName).c_str(),
                     problem->c_str());
        return false;
    }
    return true;
}

template <ExactLaw Law>
std::optional<TransitCall> take_transit_call(PyObject* coefficients, PyObject* first_radius,
                                             PyObject* second_radius, PyObject* z, PyObject* x,
                                             PyObject* y, PyObject* line_angle) {
    TransitCall call;
    auto take = [](PyObject* object, const char* name, int ndim, frame::DoubleArrayND& into) {
        auto view = frame::as_double_array_nd(object, name, ndim);
        if (!view) {
            return false;
        }
        into = std::move(*view);
        return true;
    };
    if (!take(coefficients, "coefficients", 3, call.coefficients) ||
        !take(first_radius, "first_radius", 2, call.first_radius) ||
        !take(second_radius, "second_radius", 2, call.second_radius) ||
        !take(z, "z", 2, call.z) || !take(x, "x", 2, call.x) || !take(y, "y", 2, call.y) ||
        !take(line_angle, "line_angle", 2, call.line_angle)) {
        return std::nullopt;
    }
    call.sets = call.coefficients.shape[0];
    call.channels = call.coefficients.shape[1];
    call.points = call.z.shape[1];
    if (call.first_radius.shape[0] != call.sets || call.first_radius.shape[1] != call.channels) {
        shape_error("first_radius", "(S, C) of coefficients");
        return std::nullopt;
    }
    if (!same_shape(call.first_radius, call.second_radius)) {
        shape_error("second_radius", "that of first_radius");
        return std::nullopt;
    }
    if (call.z.shape[0] != call.sets) {
        shape_error("z", "(S, n) with the S of coefficients");
        return std::nullopt;
    }
    if (!same_shape(call.z, call.x) || !same_shape(call.z, call.y) ||
        !same_shape(call.z, call.line_angle)) {
        shape_error("x, y and line_angle", "that of z");
        return std::nullopt;
    }
    if (!check_radii(call.first_radius, "first_radius") ||
        !check_radii(call.second_radius, "second_radius") ||
        !check_coefficients<Law>(call.coefficients)) {
        return std::nullopt;
    }
    return call;
}

// Fills flux (S, C, n) for one law.
template <ExactLaw Law>
void run_transit(const TransitCall& call, double* flux) {
    const npy_intp n = call.points;
    const npy_intp k = call.coefficients.shape[2];
    for (npy_intp s = 0; s < call.sets; ++s) {
        const double* z = call.z.data + s * n;
        const double* x = call.x.data + s * n;
        const double* y = call.y.data + s * n;
        const double* line = call.line_angle.data + s * n;
        for (npy_intp c = 0; c < call.channels; ++c) {
            const npy_intp sc = s * call.channels + c;
            const std::span<const double> coefficients(call.coefficients.data + sc * k,
                                                       static_cast<std::size_t>(k));
            const engine::Channel<Law> channel = engine::make_channel<Law>(
                Law::record(coefficients), call.first_radius.data[sc],
                call.second_radius.data[sc]);
            double* out = flux + sc * n;
            for (npy_intp i = 0; i < n; ++i) {
                out[i] = engine::out_of_reach(z[i], channel.p1, channel.p2)
                             ? 1.0
                             : engine::transit_flux(channel, z[i], sky_theta(x[i], y[i], line[i]));
            }
        }
    }
}

bool unknown_law(const char* name) {
    PyErr_Format(PyExc_ValueError, "law: unknown limb-darkening law %R for the exact engine",
                 frame::OwnedRef(PyUnicode_FromString(name)).get());
    return false;
}

PyObject* transit_entry(PyObject* /*self*/, PyObject* args) {
    const char* law_name = nullptr;
    PyObject* objects[7] = {};
    if (!PyArg_ParseTuple(args, "sOOOOOOO:transit", &law_name, &objects[0], &objects[1],
                          &objects[2], &objects[3], &objects[4], &objects[5], &objects[6])) {
        return nullptr;
    }
    PyObject* result = nullptr;
    const bool known = ExactLaws::for_law(law_name, [&]<typename Law>(Law /*law*/) {
        const auto call = take_transit_call<Law>(objects[0], objects[1], objects[2], objects[3],
                                                 objects[4], objects[5], objects[6]);
        if (!call) {
            return;
        }
        npy_intp dims[3] = {call->sets, call->channels, call->points};
        frame::OwnedRef out(
            PyArray_New(&PyArray_Type, 3, dims, NPY_DOUBLE, nullptr, nullptr, 0, 0, nullptr));
        if (out.get() == nullptr) {
            return;
        }
        run_transit<Law>(*call, frame::result_data(out));
        result = out.release();
    });
    if (!known) {
        unknown_law(law_name);
        return nullptr;
    }
    return result;
}

// {law name: number of coefficients, or None for a variable count} of every law the engine
// knows.
PyObject* law_table() {
    frame::OwnedRef table(PyDict_New());
    if (table.get() == nullptr) {
        return nullptr;
    }
    bool ok = true;
    auto add = [&]<typename... Laws>(LawList<Laws...> /*laws*/) {
        ((ok = ok && [&] {
              // A law with a variable count of coefficients has None.
              constexpr auto fixed = fixed_coefficient_count<Laws>();
              const frame::OwnedRef count(fixed ? PyLong_FromSize_t(*fixed)
                                                : (Py_INCREF(Py_None), Py_None));
              return count.get() != nullptr &&
                     PyDict_SetItemString(table.get(), Laws::kName.data(), count.get()) == 0;
          }()),
         ...);
    };
    add(ExactLaws{});
    return ok ? table.release() : nullptr;
}

PyMethodDef methods[] = {
    {"transit", transit_entry, METH_VARARGS, kTransitDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("halfmoon._engine", kDoc, methods);

}  // namespace
}  // namespace halfmoon::engine_module

PyMODINIT_FUNC PyInit__engine() {
    using halfmoon::frame::OwnedRef;
    OwnedRef module(halfmoon::frame::create_module(&halfmoon::engine_module::definition));
    if (module.get() == nullptr) {
        return nullptr;
    }
    PyObject* laws = halfmoon::engine_module::law_table();
    if (laws == nullptr || PyModule_AddObject(module.get(), "LAWS", laws) < 0) {
        Py_XDECREF(laws);
        return nullptr;
    }
    return module.release();
}
