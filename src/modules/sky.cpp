// halfmoon._sky: the planet's sky positions for many parameter sets at once.
//
// sky(t, tc, period, a, inc, e, omega, line_offset) -> array of shape (5, S, n)
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
    const frame::DoubleArray* all[] = {&el.tc, &el.period, &el.a, &el.inc,
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

PyObject* sky_entry(PyObject* /*self*/, PyObject* args) {
    PyObject* times_arg = nullptr;
    PyObject* objects[7] = {};
    if (!PyArg_ParseTuple(args, "OOOOOOOO:sky", &times_arg, &objects[0], &objects[1],
                          &objects[2], &objects[3], &objects[4], &objects[5], &objects[6])) {
        return nullptr;
    }
    const auto times = frame::as_double_array(times_arg, "t");
    if (!times) {
        return nullptr;
    }
    const auto el = take_elements(objects);
    if (!el) {
        return nullptr;
    }
    const npy_intp sets = el->tc.size;
    const npy_intp n = times->size;
    npy_intp dims[3] = {5, sets, n};
    frame::OwnedRef result(
        PyArray_New(&PyArray_Type, 3, dims, NPY_DOUBLE, nullptr, nullptr, 0, 0, nullptr));
    if (result.get() == nullptr) {
        return nullptr;
    }
    double* out = frame::result_data(result);
    const npy_intp block = sets * n;
    for (npy_intp s = 0; s < sets; ++s) {
        const sky::Orbit orbit =
            sky::make_orbit(el->tc.data[s], el->period.data[s], el->a.data[s], el->inc.data[s],
                            el->e.data[s], el->omega.data[s]);
        const double offset = el->offset.data[s];
        double* front = out + s * n;
        double* back = front + block;
        double* x = back + block;
        double* y = x + block;
        double* line = y + block;
        for (npy_intp i = 0; i < n; ++i) {
            const sky::SkyPoint point = sky::sky_point(times->data[i], orbit);
            front[i] = point.side > 0 ? point.separation : kInfinity;
            back[i] = point.side < 0 ? point.separation : kInfinity;
            x[i] = point.x;
            y[i] = point.y;
            line[i] = point.motion + offset;
        }
    }
    return result.release();
}

PyMethodDef methods[] = {
    {"sky", sky_entry, METH_VARARGS, kSkyDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("halfmoon._sky", kDoc, methods);

}  // namespace
}  // namespace halfmoon::sky_module

PyMODINIT_FUNC PyInit__sky() {
    return halfmoon::frame::create_module(&halfmoon::sky_module::definition);
}
