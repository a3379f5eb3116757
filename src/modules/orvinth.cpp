// _orvinth: transit light curve of a two-half-disc planet over a star with an exponential
// limb-darkening law.
#include "frame/light_curve_binding.hpp"

namespace halfmoon::orvinth {
namespace {

constexpr const char kDoc[] =
    "This extension module returns a limb darkened light curve for a exponential stellar "
    "intensity profile.";

PyMethodDef methods[] = {
    {"_orvinth", light_curve::light_curve_function<ExponentialLaw>, METH_VARARGS, kDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("_orvinth", kDoc, methods);

}  // namespace
}  // namespace halfmoon::orvinth

PyMODINIT_FUNC PyInit__orvinth() {
    return halfmoon::frame::create_module(&halfmoon::orvinth::definition);
}
