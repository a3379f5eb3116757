// _tessaly: transit light curve of a two-half-disc planet over a star with the four-coefficient
// nonlinear limb-darkening law.
#include "frame/light_curve_binding.hpp"

namespace halfmoon::tessaly {
namespace {

constexpr const char kDoc[] =
    "This extension module returns a limb darkened light curve for a nonlinear stellar intensity "
    "profile.";

PyMethodDef methods[] = {
    {"_tessaly", light_curve::light_curve_function<NonlinearLaw>, METH_VARARGS, kDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("_tessaly", kDoc, methods);

}  // namespace
}  // namespace halfmoon::tessaly

PyMODINIT_FUNC PyInit__tessaly() {
    return halfmoon::frame::create_module(&halfmoon::tessaly::definition);
}
