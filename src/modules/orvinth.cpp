// _orvinth: transit light curve of a two-half-disc planet over a star with an exponential
// limb-darkening law.
#include "modules/light_curve_entry.hpp"

namespace halfmoon::orvinth {
namespace {

constexpr const char kDoc[] =
    "This extension module returns a limb darkened light curve for a exponential stellar "
    "intensity profile.";

PyObject* orvinth_entry(PyObject* /*self*/, PyObject* args) {
    light_curve::LightCurveArguments a;
    double c1 = 0.0;
    double c2 = 0.0;
    if (!light_curve::parse_two_coefficient_arguments(args, a, c1, c2)) {
        return nullptr;
    }
    return light_curve::compute_light_curve<ExponentialLaw>(a,
                                                            ExponentialLaw::coefficients(c1, c2));
}

PyMethodDef methods[] = {
    {"_orvinth", orvinth_entry, METH_VARARGS, kDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("_orvinth", kDoc, methods);

}  // namespace
}  // namespace halfmoon::orvinth

PyMODINIT_FUNC PyInit__orvinth() {
    return halfmoon::frame::create_module(&halfmoon::orvinth::definition);
}
