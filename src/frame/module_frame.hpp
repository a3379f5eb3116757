// The frame every halfmoon extension module is built on: module creation with NumPy bound,
// owned references, and creation of the one result array per call. The conversion of argument
// arrays lives in frame/array_bridge.hpp.
//
// A module source includes this header exactly once (it carries the module's private NumPy
// function table), declares its method table and module definition, and defines its init
// function as `return halfmoon::frame::create_module(&definition);`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#endif
#include <numpy/arrayobject.h>

#include <climits>
#include <utility>

namespace halfmoon::frame {

// The point index of every compute loop is a 32-bit signed integer.
inline constexpr npy_intp kMaxPoints = INT_MAX;

// Owns one strong reference and releases it when it goes out of scope.
class OwnedRef {
  public:
    OwnedRef() noexcept = default;
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller (for instance as a function's return value).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  private:
    PyObject* object_ = nullptr;
};

// Module creation: the definition's method table and docstrings are the module's own; NumPy's
// standard import step binds the module's function table. A failure leaves ImportError set.
inline int bind_numpy() {
    import_array1(-1);
    return 0;
}

inline PyObject* create_module(PyModuleDef* definition) {
    OwnedRef module(PyModule_Create2(definition, 1013));
    if (module.get() == nullptr) {
        return nullptr;
    }
    if (bind_numpy() < 0) {
        return nullptr;
    }
    return module.release();
}

// Static module definition with no per-interpreter state and no slots or hooks; a constant
// expression, so that a definition can be initialised without code running at load time.
constexpr PyModuleDef module_definition(const char* name, const char* doc, PyMethodDef* methods) {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT, name, doc, -1, methods, nullptr, nullptr, nullptr, nullptr};
}

// The result: a new, uninitialised, C-contiguous one-dimensional array. A failed allocation
// returns null with NumPy's MemoryError set.
inline OwnedRef new_result_array(npy_intp length, int type_num) {
    npy_intp dims[1] = {length};
    return OwnedRef(PyArray_New(&PyArray_Type, 1, dims, type_num, nullptr, nullptr, 0, 0, nullptr));
}

inline double* result_data(const OwnedRef& result) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
}

// Hands a finished result to the caller.
inline PyObject* return_result(OwnedRef result) {
    return PyArray_Return(reinterpret_cast<PyArrayObject*>(result.release()));
}

}  // namespace halfmoon::frame
