// _velmora: transit light curve of a two-half-disc planet over a star with a quadratic
// limb-darkening law.
#include "modules/light_curve_entry.hpp"

namespace halfmoon::velmora {
namespace {

constexpr const char kDoc[] =
    "This extension module returns a limb darkened light curve for a quadratic stellar intensity "
    "profile.";

PyObject* velmora_entry(PyObject* /*self*/, PyObject* args) {
    light_curve::LightCurveArguments a;
    double c1 = 0.0;
    double c2 = 0.0;
    if (!light_curve::parse_two_coefficient_arguments(args, a, c1, c2)) {
        return nullptr;
    }
    return light_curve::compute_light_curve<QuadraticLaw>(a, QuadraticLaw::coefficients(c1, c2));
}

PyMethodDef methods[] = {
    {"_velmora", velmora_entry, METH_VARARGS, kDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("_velmora", kDoc, methods);

}  // namespace
}  // namespace halfmoon::velmora

PyMODINIT_FUNC PyInit__velmora() {
    return halfmoon::frame::create_module(&halfmoon::velmora::definition);
}
