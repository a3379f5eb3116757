// _kestrin: sky-plane geometry of a planet on a Keplerian orbit for an array of times.
//
// Both Python functions return 4n values in four blocks of n: block 0 is the projected
// star-planet separation (_kestrin) or the true anomaly (_getf); blocks 1 to 3 are the sky
// coordinate y, the path angle and the sky coordinate x, the same for both.
#include "frame/array_bridge.hpp"
#include "core/orbit.hpp"

namespace halfmoon::kestrin {
namespace {

constexpr const char kSeparationDoc[] =
    " This module computes the distance between the centers of the star and the planet in the "
    "plane of the sky.  The quantity is the sky-projected separation r_sky of Winn (2010), "
    "'Transits and Occultations' (in Exoplanets, ed. S. Seager), given here in units of the "
    "stellar radius; in that normalisation it is the z of Mandel & Agol (2002, ApJ 580, L171), "
    "where d denotes the same distance before division by the stellar radius.";

constexpr const char kTrueAnomalyDoc[] =
    " This module computes the true anomaly. The true anomaly f is the angle at the star "
    "between the direction of periastron and the planet, measured in the orbital plane, as in "
    "Murray & Dermott (1999), Solar System Dynamics, chapter 2.";

// The shared worker: parses the nine arguments, fills the four blocks and returns the array.
// With want_f the first block holds the true anomaly, otherwise the separation selected by
// transit_type.
PyObject* _kestrin_or_f(PyObject* args, int want_f) {
    PyObject* times_arg = nullptr;
    orbit::Elements elements{};
    int transit_type = 0;
    int ignored = 0;
    if (!PyArg_ParseTuple(args, "Oddddddii", &times_arg, &elements.tc, &elements.period,
                          &elements.a, &elements.inc, &elements.e, &elements.w, &transit_type,
                          &ignored)) {
        return nullptr;
    }
    auto times = frame::as_double_array(times_arg, "t");
    if (!times) {
        return nullptr;
    }
    const npy_intp n = times->size;
    auto result = frame::new_result_array(4 * n, times->type_num);
    if (result.get() == nullptr) {
        return nullptr;
    }

    // Periastron time and mean motion do not depend on the time.
    const orbit::OrbitConstants constants = orbit::orbit_constants(elements);
    const double* t = times->data;
    double* first = frame::result_data(result);
    double* y = first + n;
    double* path_angle = y + n;
    double* x = path_angle + n;
    const auto count = static_cast<int>(n);
    for (int k = 0; k < count; ++k) {
        const orbit::SkyPoint point = orbit::sky_point(t[k], elements, constants);
        first[k] = want_f != 0
                       ? point.f
                       : orbit::separation_or_far_side(point.f, elements, constants, transit_type);
        y[k] = point.y;
        path_angle[k] = point.path_angle;
        x[k] = point.x;
    }
    return frame::return_result(std::move(result));
}

PyObject* kestrin_entry(PyObject* /*self*/, PyObject* args) {
    return _kestrin_or_f(args, 0);
}

PyObject* getf_entry(PyObject* /*self*/, PyObject* args) {
    return _kestrin_or_f(args, 1);
}

PyMethodDef methods[] = {
    {"_kestrin", kestrin_entry, METH_VARARGS, kSeparationDoc},
    {"_getf", getf_entry, METH_VARARGS, kTrueAnomalyDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("_kestrin", kSeparationDoc, methods);

}  // namespace
}  // namespace halfmoon::kestrin

PyMODINIT_FUNC PyInit__kestrin() {
    return halfmoon::frame::create_module(&halfmoon::kestrin::definition);
}
