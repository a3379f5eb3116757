// _tessaly: transit light curve of a two-half-disc planet over a star with the four-coefficient
// nonlinear limb-darkening law.
#include "modules/light_curve_entry.hpp"

namespace halfmoon::tessaly {
namespace {

constexpr const char kDoc[] =
    "This extension module returns a limb darkened light curve for a nonlinear stellar intensity "
    "profile.";

PyObject* tessaly_entry(PyObject* /*self*/, PyObject* args) {
    light_curve::LightCurveArguments a;
    double c1 = 0.0;
    double c2 = 0.0;
    double c3 = 0.0;
    double c4 = 0.0;
    if (!PyArg_ParseTuple(args, "OddddddiOOddb", &a.separations, &a.planet_radius, &c1, &c2, &c3,
                          &c4, &a.step_factor, &a.ignored, &a.line_angles, &a.normal_offsets,
                          &a.crossing_index, &a.second_radius, &a.with_second_half)) {
        return nullptr;
    }
    return light_curve::compute_light_curve<NonlinearLaw>(
        a, NonlinearLaw::coefficients(c1, c2, c3, c4));
}

PyMethodDef methods[] = {
    {"_tessaly", tessaly_entry, METH_VARARGS, kDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("_tessaly", kDoc, methods);

}  // namespace
}  // namespace halfmoon::tessaly

PyMODINIT_FUNC PyInit__tessaly() {
    return halfmoon::frame::create_module(&halfmoon::tessaly::definition);
}
