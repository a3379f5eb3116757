// The frame every halfmoon extension module is built on: module creation with NumPy bound,
// conversion of argument arrays into read-only float64 views, and creation of the one result
// array per call.
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
#include <optional>
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

// A read-only, contiguous view of a one-dimensional float64 array. `owner` keeps the viewed
// array alive: either the caller's own array or a converted copy of the argument.
struct DoubleArray {
    OwnedRef owner;
    const double* data = nullptr;
    npy_intp size = 0;
    int type_num = NPY_DOUBLE;
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

// Static module definition with no per-interpreter state and no slots or hooks.
inline PyModuleDef module_definition(const char* name, const char* doc, PyMethodDef* methods) {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT, name, doc, -1, methods, nullptr, nullptr, nullptr, nullptr};
}

namespace detail {

// Replaces the pending TypeError or ValueError of a failed conversion by a TypeError that names
// the argument, so that a user sees which of several arrays could not be taken. Other
// exceptions (MemoryError) pass unchanged.
inline void name_conversion_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    const OwnedRef cause(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const OwnedRef owned_type(type);
    const OwnedRef cause(value);
    const OwnedRef owned_traceback(traceback);
#endif
    PyErr_Format(PyExc_TypeError,
                 "%s: expected a one-dimensional float64 array or an object safely convertible "
                 "to one (%S)",
                 name, cause.get());
}

inline bool is_native_float64_vector(PyObject* object) {
    if (!PyArray_Check(object)) {
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    return PyArray_NDIM(array) == 1 && PyArray_TYPE(array) == NPY_DOUBLE &&
           PyArray_ISCARRAY_RO(array) && PyArray_ISNOTSWAPPED(array);
}

}  // namespace detail

// Takes an argument as a one-dimensional float64 array. A contiguous, aligned, native float64
// vector is read in place and keeps its element type for the result; anything NumPy can cast
// safely (a list, an integer or float32 array, a strided view) is converted first. Returns
// nothing, with an exception set, when the argument cannot be taken.
inline std::optional<DoubleArray> as_double_array(PyObject* object, const char* name) {
    // Refuse an oversized array before a conversion could copy it.
    if (PyArray_Check(object)) {
        auto* array = reinterpret_cast<PyArrayObject*>(object);
        if (PyArray_NDIM(array) == 1 && PyArray_DIM(array, 0) > kMaxPoints) {
            PyErr_Format(PyExc_ValueError, "%s: %zd points exceed the limit of %d", name,
                         static_cast<Py_ssize_t>(PyArray_DIM(array, 0)), INT_MAX);
            return std::nullopt;
        }
    }

    DoubleArray view;
    if (detail::is_native_float64_vector(object)) {
        Py_INCREF(object);
        view.owner = OwnedRef(object);
        view.type_num = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object))->type_num;
    } else {
        // Two steps, so that only safe casts are made: NumPy first builds the array in the data's
        // own type, which is then cast to float64 only where that loses nothing (no complex,
        // string or object data, no strings parsed as numbers).
        OwnedRef natural(PyArray_FromAny(object, nullptr, 0, 0, 0, nullptr));
        if (natural.get() == nullptr) {
            detail::name_conversion_error(name);
            return std::nullopt;
        }
        // PyArray_FromArray steals the descriptor reference; without NPY_ARRAY_FORCECAST it
        // refuses unsafe casts with a TypeError.
        PyObject* converted =
            PyArray_FromArray(reinterpret_cast<PyArrayObject*>(natural.get()),
                              PyArray_DescrFromType(NPY_DOUBLE), NPY_ARRAY_CARRAY_RO);
        if (converted == nullptr) {
            detail::name_conversion_error(name);
            return std::nullopt;
        }
        view.owner = OwnedRef(converted);
        view.type_num = NPY_DOUBLE;
    }

    auto* array = reinterpret_cast<PyArrayObject*>(view.owner.get());
    if (PyArray_NDIM(array) != 1) {
        PyErr_Format(PyExc_ValueError, "%s: expected a one-dimensional array, got %d dimensions",
                     name, PyArray_NDIM(array));
        return std::nullopt;
    }
    view.size = PyArray_DIM(array, 0);
    if (view.size > kMaxPoints) {
        PyErr_Format(PyExc_ValueError, "%s: %zd points exceed the limit of %d", name,
                     static_cast<Py_ssize_t>(view.size), INT_MAX);
        return std::nullopt;
    }
    view.data = static_cast<const double*>(PyArray_DATA(array));
    return view;
}

// A per-point array must hold at least one value per point of the first argument; only the
// first `count` values are read.
inline bool require_length(const DoubleArray& array, npy_intp count, const char* name,
                           const char* first_name) {
    if (array.size >= count) {
        return true;
    }
    PyErr_Format(PyExc_ValueError, "%s: has %zd elements, fewer than the %zd of %s", name,
                 static_cast<Py_ssize_t>(array.size), static_cast<Py_ssize_t>(count), first_name);
    return false;
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
