// halfmoon._geometry: the occultation geometry core, element-wise over NumPy arrays.
#include "frame/elementwise.hpp"

#include <climits>
#include <cmath>
#include <cstdint>

#include "core/dividing_line.hpp"
#include "core/annulus.hpp"
#include "core/boundary_overlap.hpp"
#include "core/overlap.hpp"
#include "frame/array_bridge.hpp"

namespace halfmoon::geometry_module {
namespace {

constexpr const char kModuleDoc[] =
    "Overlap areas of a half-disc with circles about the star's centre, and the angle of the\n"
    "planet's dividing line, element-wise over NumPy arrays (arguments broadcast).";

constexpr const char kAreaDoc[] =
    "area(z, r, p, theta)\n--\n\n"
    "Area shared by the disc of radius r about the star's centre and a half-disc.\n\n"
    "The half-disc has radius p and its centre at distance z from the star's centre; its\n"
    "dividing line passes through its centre at angle theta (radians, counter-clockwise) from\n"
    "the star-to-planet direction, and the half counter-clockwise of the line is taken.\n"
    "theta must lie within [-pi/2 - 1e-9, pi/2 + 1e-9]. Lengths in stellar radii.\n\n"
    "Returns\n-------\nnumpy.ndarray or float\n    The overlap area, broadcast over the arguments.";

constexpr const char kBoundaryAreaDoc[] =
    "boundary_area(z, r, p, theta)\n--\n\n"
    "The same overlap as area(), found without classifying the configuration: by walking the\n"
    "half-disc's boundary and adding its pieces inside the star circle and the star circle's arcs\n"
    "inside the half-disc (Green's theorem). z >= 0, r > 0, p > 0, |theta| < pi.";

constexpr const char kConfigurationDoc[] =
    "configuration(z, r, p, theta)\n--\n\n"
    "Number (1 to 12) of the overlap configuration that area() evaluates for these arguments.";

constexpr const char kFindThetaDoc[] =
    "find_theta(index, line_angle, separation, normal_offset, crossing_index)\n--\n\n"
    "Angle from the line of centres to the planet's dividing line, before folding.\n\n"
    "index is the point's position in its light curve (integers within the 32-bit range);\n"
    "points with index <= crossing_index lie before the crossing (negative sky X).";

constexpr const char kLineThetaDoc[] =
    "line_theta(index, line_angle, separation, normal_offset, crossing_index)\n--\n\n"
    "The angle the light-curve integration passes to area(): find_theta() of the line angle\n"
    "reduced into [-pi, pi], folded into [-pi/2 - 1e-9, pi/2 + 1e-9].";

constexpr const char kPlanetAreaDoc[] =
    "planet_area(z, radii, planet_radius, second_radius, theta, with_second_half)\n--\n\n"
    "Overlap of the two-half-disc planet with the circles of the given radii, computed as the\n"
    "light-curve integration does: the planet is prepared once for all radii. The first half\n"
    "(planet_radius) is evaluated at theta, the second (second_radius) at -theta.";

PyObject* area_entry(PyObject* /*self*/, PyObject* args) {
    PyObject *z, *r, *p, *theta;
    if (!PyArg_ParseTuple(args, "OOOO:area", &z, &r, &p, &theta)) {
        return nullptr;
    }
    return frame::map_elementwise<double, double, double, double, double>(
        {z, r, p, theta},
        [](double z_, double r_, double p_, double theta_) { return area(z_, r_, p_, theta_); });
}

PyObject* boundary_area_entry(PyObject* /*self*/, PyObject* args) {
    PyObject *z, *r, *p, *theta;
    if (!PyArg_ParseTuple(args, "OOOO:boundary_area", &z, &r, &p, &theta)) {
        return nullptr;
    }
    return frame::map_elementwise<double, double, double, double, double>(
        {z, r, p, theta}, [](double z_, double r_, double p_, double theta_) {
            return boundary_overlap_area(z_, r_, p_, theta_);
        });
}

PyObject* configuration_entry(PyObject* /*self*/, PyObject* args) {
    PyObject *z, *r, *p, *theta;
    if (!PyArg_ParseTuple(args, "OOOO:configuration", &z, &r, &p, &theta)) {
        return nullptr;
    }
    return frame::map_elementwise<std::int64_t, double, double, double, double>(
        {z, r, p, theta}, [](double z_, double r_, double p_, double theta_) {
            return static_cast<std::int64_t>(overlap_configuration(z_, r_, p_, theta_));
        });
}

// Both angle functions take the point index as an integer array; indices outside the 32-bit
// range cannot occur in a light curve and are rejected after the pass.
template <typename AngleFn>
PyObject* angle_entry(PyObject* args, const char* format, AngleFn angle_fn) {
    PyObject *index, *line_angle, *separation, *normal_offset, *crossing_index;
    if (!PyArg_ParseTuple(args, format, &index, &line_angle, &separation, &normal_offset,
                          &crossing_index)) {
        return nullptr;
    }
    bool index_out_of_range = false;
    frame::OwnedRef result(
        frame::map_elementwise<double, std::int64_t, double, double, double, double>(
            {index, line_angle, separation, normal_offset, crossing_index},
            [&](std::int64_t i, double line, double z, double y, double crossing) {
                if (i < INT_MIN || i > INT_MAX) {
                    index_out_of_range = true;
                    return 0.0;
                }
                return angle_fn(static_cast<int>(i), line, z, y, crossing);
            }));
    if (result.get() != nullptr && index_out_of_range) {
        PyErr_SetString(PyExc_ValueError, "index: values must lie within the 32-bit signed range");
        return nullptr;
    }
    return result.release();
}

PyObject* find_theta_entry(PyObject* /*self*/, PyObject* args) {
    return angle_entry(args, "OOOOO:find_theta", find_theta);
}

PyObject* line_theta_entry(PyObject* /*self*/, PyObject* args) {
    return angle_entry(args, "OOOOO:line_theta", line_theta);
}

PyObject* planet_area_entry(PyObject* /*self*/, PyObject* args) {
    double z, planet_radius, second_radius, theta;
    PyObject* radii_arg;
    int with_second_half;
    if (!PyArg_ParseTuple(args, "dOdddp:planet_area", &z, &radii_arg, &planet_radius,
                          &second_radius, &theta, &with_second_half)) {
        return nullptr;
    }
    const auto radii = frame::as_double_array(radii_arg, "radii");
    if (!radii) {
        return nullptr;
    }
    auto result = frame::new_result_array(radii->size, NPY_DOUBLE);
    if (result.get() == nullptr) {
        return nullptr;
    }
    const PlanetSetup planet =
        prepare_planet(z, theta, planet_radius, second_radius, with_second_half != 0);
    double* out = frame::result_data(result);
    for (npy_intp k = 0; k < radii->size; ++k) {
        out[k] = planet.area(radii->data[k]);
    }
    return frame::return_result(std::move(result));
}

PyMethodDef methods[] = {
    {"area", area_entry, METH_VARARGS, kAreaDoc},
    {"boundary_area", boundary_area_entry, METH_VARARGS, kBoundaryAreaDoc},
    {"configuration", configuration_entry, METH_VARARGS, kConfigurationDoc},
    {"find_theta", find_theta_entry, METH_VARARGS, kFindThetaDoc},
    {"line_theta", line_theta_entry, METH_VARARGS, kLineThetaDoc},
    {"planet_area", planet_area_entry, METH_VARARGS, kPlanetAreaDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = frame::module_definition("halfmoon._geometry", kModuleDoc, methods);

}  // namespace
}  // namespace halfmoon::geometry_module

PyMODINIT_FUNC PyInit__geometry() {
    return halfmoon::frame::create_module(&halfmoon::geometry_module::definition);
}
