// halfmoon._sky: the planet's sky positions for many parameter sets at once.
//
// sky(t, tc, period, a, inc, e, omega, line_offset) -> array of shape (5, S, n)
// sky_gradient(...) -> (the same array, derivatives of shape (3, 6, S, n))
//
// t is the n times; the orbital elements and the line offset are arrays of S values (one per
// parameter set; angles in radians, lengths in stellar radii). The five blocks are, per set and
// time:
//   0  the separation where the planet is in front of the star, +inf elsewhere;
//   1  the separation where it is behind the star, +inf elsewhere;
//   2  sky x of the planet's centre;
//   3  sky y;
//   4  the dividing line's sky angle: the direction of motion plus line_offset.
#include "frame/array_bridge.hpp"

#include <cmath>
#include <limits>
#include <optional>

#include "core/sky.hpp"

namespace halfmoon::sky_module {
namespace {

constexpr const char kDoc[] =
    "Sky positions of the planet on Keplerian orbits, for many parameter sets at once.";

constexpr const char kSkyDoc[] =
    "sky(t, tc, period, a, inc, e, omega, line_offset)\n--\n\n"
    "Sky geometry of S parameter sets at n times.\n\n"
    "Parameters\n----------\n"
    "t : array of shape (n,)\n    Times.\n"
    "tc, period, a, inc, e, omega, line_offset : arrays of shape (S,)\n"
    "    Mid-transit time, period, semi-major axis (stellar radii), inclination (radians), "
    "eccentricity in [0, 1), argument of periastron (radians), and the dividing line's angle "
    "from the direction of motion (radians).\n\n"
    "Returns\n-------\nnumpy.ndarray of shape (5, S, n)\n"
    "    Separation in front of the star (+inf behind), separation behind it (+inf in front), "
    "sky x, sky y, and the line's sky angle.";

constexpr const char kSkyGradientDoc[] =
    "sky_gradient(t, tc, period, a, inc, e, omega, line_offset)\n--\n\n"
    "The positions of sky() and their derivatives.\n\n"
    "Returns\n-------\n(positions, gradient)\n"
    "    positions as sky() returns them, shape (5, S, n); gradient of shape (3, 6, S, n): the "
    "derivatives of sky x, sky y and the line angle (blocks 2 to 4 of positions) with "
    "respect to tc, period, a, inc, e and omega (angles in radians). The line offset adds to "
    "the line angle with derivative 1.";

constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct Elements {
    frame::DoubleArray tc;
    frame::DoubleArray period;
    frame::DoubleArray a;
    frame::DoubleArray inc;
    frame::DoubleArray e;
    frame::DoubleArray omega;
    frame::DoubleArray offset;
};

bool element_error(const char* name, double value, const char* rule) {
    const frame::OwnedRef number(PyFloat_FromDouble(value));
    PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", name, rule, number.get());
    return false;
}

// Every element finite; period and semi-major axis positive; the orbit an ellipse.
bool check_elements(const Elements& el) {
    const frame::DoubleArray* all[] = {&el.tc, &el.period, &el.a,     &el.inc,
                                       &el.e,  &el.omega,  &el.offset};
    const char* names[] = {"tc", "period", "a", "inc", "e", "omega", "line_offset"};
    for (int k = 0; k < 7; ++k) {
        if (all[k]->size != el.tc.size) {
            PyErr_Format(PyExc_ValueError, "%s: expected as many values as tc", names[k]);
            return false;
        }
        for (npy_intp s = 0; s < all[k]->size; ++s) {
            if (!std::isfinite(all[k]->data[s])) {
                return element_error(names[k], all[k]->data[s], "finite");
            }
        }
    }
    for (npy_intp s = 0; s < el.tc.size; ++s) {
        if (!(el.period.data[s] > 0.0)) {
            return element_error("period", el.period.data[s], "> 0");
        }
        if (!(el.a.data[s] > 0.0)) {
            return element_error("a", el.a.data[s], "> 0");
        }
        if (!(el.e.data[s] >= 0.0 && el.e.data[s] < 1.0)) {
            return element_error("e", el.e.data[s], "within [0, 1)");
        }
    }
    return true;
}

std::optional<Elements> take_elements(PyObject* const* objects) {
    const char* names[] = {"tc", "period", "a", "inc", "e", "omega", "line_offset"};
    std::optional<frame::DoubleArray> views[7];
    for (int k = 0; k < 7; ++k) {
        views[k] = frame::as_double_array(objects[k], names[k]);
        if (!views[k]) {
            return std::nullopt;
        }
    }
    Elements el{std::move(*views[0]), std::move(*views[1]), std::move(*views[2]),
                std::move(*views[3]), std::move(*views[4]), std::move(*views[5]),
                std::move(*views[6])};
    if (!check_elements(el)) {
        return std::nullopt;
    }
    return el;
}

// The parsed arguments of one call.
struct SkyCall {
    frame::DoubleArray times;
    Elements elements;
};

std::optional<SkyCall> take_sky_call(PyObject* args, const char* format) {
    PyObject* times_arg = nullptr;
    PyObject* objects[7] = {};
    if (!PyArg_ParseTuple(args, format, &times_arg, &objects[0], &objects[1], &objects[2],
                          &objects[3], &objects[4], &objects[5], &objects[6])) {
        return std::nullopt;
    }
    auto times = frame::as_double_array(times_arg, "t");
    if (!times) {
        return std::nullopt;
    }
    auto el = take_elements(objects);
    if (!el) {
        return std::nullopt;
    }
    return SkyCall{std::move(*times), std::move(*el)};
}

sky::Orbit orbit_of(const Elements& el, npy_intp s) {
    return sky::make_orbit(el.tc.data[s], el.period.data[s], el.a.data[s], el.inc.data[s],
                           el.e.data[s], el.omega.data[s]);
}

frame::OwnedRef new_array(int ndim, npy_intp* dims) {
    return frame::OwnedRef(
        PyArray_New(&PyArray_Type, ndim, dims, NPY_DOUBLE, nullptr, nullptr, 0, 0, nullptr));
}

// Point i of one set into its five blocks: front and back separations, x, y and the line angle.
void store_position(double* out, npy_intp block, npy_intp i, const sky::SkyPoint& point,
                    double offset) {
    out[i] = point.side > 0 ? point.separation : kInfinity;
    out[block + i] = point.side < 0 ? point.separation : kInfinity;
    out[2 * block + i] = point.x;
    out[3 * block + i] = point.y;
    out[4 * block + i] = point.motion + offset;
}

// Fills the five blocks of one set.
void fill_positions(double* out, npy_intp block, npy_intp n, const double* times,
                    const sky::Orbit& orbit, double offset) {
    for (npy_intp i = 0; i < n; ++i) {
        store_position(out, block, i, sky::sky_point(times[i], orbit), offset);
    }
}

PyObject* sky_entry(PyObject* /*self*/, PyObject* args) {
    const auto call = take_sky_call(args, "OOOOOOOO:sky");
    if (!call) {
        return nullptr;
    }
    const npy_intp sets = call->elements.tc.size;
    const npy_intp n = call->times.size;
    npy_intp dims[3] = {5, sets, n};
    frame::OwnedRef result = new_array(3, dims);
    if (result.get() == nullptr) {
        return nullptr;
    }
    double* out = frame::result_data(result);
    for (npy_intp s = 0; s < sets; ++s) {
        fill_positions(out + s * n, sets * n, n, call->times.data, orbit_of(call->elements, s),
                       call->elements.offset.data[s]);
    }
    return result.release();
}

// The positions as sky() gives them, and the derivatives of x, y and the line angle with
// respect to tc, period, a, inc, e and omega: an array of shape (3, 6, S, n).
PyObject* sky_gradient_entry(PyObject* /*self*/, PyObject* args) {
    const auto call = take_sky_call(args, "OOOOOOOO:sky_gradient");
    if (!call) {
        return nullptr;
    }
    const Elements& el = call->elements;
    const npy_intp sets = el.tc.size;
    const npy_intp n = call->times.size;
    npy_intp dims[3] = {5, sets, n};
    npy_intp gradient_dims[4] = {3, sky::kElementCount, sets, n};
    frame::OwnedRef positions = new_array(3, dims);
    frame::OwnedRef gradient = new_array(4, gradient_dims);
    if (positions.get() == nullptr || gradient.get() == nullptr) {
        return nullptr;
    }
    double* out = frame::result_data(positions);
    double* d = frame::result_data(gradient);
    const npy_intp block = sets * n;
    const npy_intp quantity = sky::kElementCount * block;
    for (npy_intp s = 0; s < sets; ++s) {
        const sky::Orbit orbit = orbit_of(el, s);
        const sky::TransitAnomalyRates rates = sky::transit_anomaly_rates(orbit);
        for (npy_intp i = 0; i < n; ++i) {
            // The position from the same anomalies: what sky() gives.
            const sky::SkyGradient g =
                sky::sky_gradient(call->times.data[i], el.tc.data[s], orbit, rates);
            store_position(out + s * n, block, i, g.point, el.offset.data[s]);
            for (int k = 0; k < sky::kElementCount; ++k) {
                const npy_intp at = k * block + s * n + i;
                d[at] = g.x[k];
                d[quantity + at] = g.y[k];
                d[2 * quantity + at] = g.motion[k];
            }
        }
    }
    return Py_BuildValue("(NN)", positions.release(), gradient.release());
}

PyMethodDef methods[] = {
    {"sky", sky_entry, METH_VARARGS, kSkyDoc},
    {"sky_gradient", sky_gradient_entry, METH_VARARGS, kSkyGradientDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("halfmoon._sky", kDoc, methods);

}  // namespace
}  // namespace halfmoon::sky_module

PyMODINIT_FUNC PyInit__sky() {
    return halfmoon::frame::create_module(&halfmoon::sky_module::definition);
}
