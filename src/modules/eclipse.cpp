// _eclipse: secondary eclipse of a uniformly bright planet disc passing behind the star.
#include "frame/array_bridge.hpp"

#include "core/eclipse.hpp"

namespace halfmoon::eclipse_module {
namespace {

constexpr const char kDoc[] =
    "This extension module returns a limb darkened light curve for a uniform stellar intensity "
    "profile.";

PyObject* eclipse_entry(PyObject* /*self*/, PyObject* args) {
    PyObject* separations_arg = nullptr;
    double planet_radius = 0.0;
    double flux_ratio = 0.0;
    int ignored = 0;
    if (!PyArg_ParseTuple(args, "Oddi", &separations_arg, &planet_radius, &flux_ratio, &ignored)) {
        return nullptr;
    }
    auto separations = frame::as_double_array(separations_arg, "z");
    if (!separations) {
        return nullptr;
    }
    auto result = frame::new_result_array(separations->size, separations->type_num);
    if (result.get() == nullptr) {
        return nullptr;
    }
    const double p = planet_radius;
    const double* z = separations->data;
    double* flux = frame::result_data(result);
    const auto count = static_cast<int>(separations->size);
    for (int k = 0; k < count; ++k) {
        flux[k] = eclipse::eclipse_flux(z[k], p, flux_ratio);
    }
    return frame::return_result(std::move(result));
}

PyMethodDef methods[] = {
    {"_eclipse", eclipse_entry, METH_VARARGS, kDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("_eclipse", kDoc, methods);

}  // namespace
}  // namespace halfmoon::eclipse_module

PyMODINIT_FUNC PyInit__eclipse() {
    return halfmoon::frame::create_module(&halfmoon::eclipse_module::definition);
}
