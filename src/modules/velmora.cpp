// _velmora: transit light curve of a two-half-disc planet over a star with a quadratic
// limb-darkening law.
#include "frame/light_curve_binding.hpp"

namespace halfmoon::velmora {
namespace {

constexpr const char kDoc[] =
    "This extension module returns a limb darkened light curve for a quadratic stellar intensity "
    "profile.";

PyMethodDef methods[] = {
    {"_velmora", light_curve::light_curve_function<QuadraticLaw>, METH_VARARGS, kDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("_velmora", kDoc, methods);

}  // namespace
}  // namespace halfmoon::velmora

PyMODINIT_FUNC PyInit__velmora() {
    return halfmoon::frame::create_module(&halfmoon::velmora::definition);
}
