// The array bridge: argument arrays taken as read-only, contiguous float64 views, converted
// safely where they are not already, with errors that name the argument.
#pragma once

#include "frame/module_frame.hpp"

#include <optional>
#include <utility>

namespace halfmoon::frame {

// A read-only, contiguous view of a one-dimensional float64 array. `owner` keeps the viewed
// array alive: either the caller's own array or a converted copy of the argument.
struct DoubleArray {
    OwnedRef owner;
    const double* data = nullptr;
    npy_intp size = 0;
    int type_num = NPY_DOUBLE;
};

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

// A C-contiguous, aligned, native float64 array of `ndim` dimensions: read where it is.
inline bool is_native_float64(PyObject* object, int ndim) {
    if (!PyArray_Check(object)) {
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    return PyArray_NDIM(array) == ndim && PyArray_TYPE(array) == NPY_DOUBLE &&
           PyArray_ISCARRAY_RO(array) && PyArray_ISNOTSWAPPED(array);
}

// The argument as a C-contiguous float64 array, converted in two steps so that only safe casts
// are made: NumPy first builds the array in the data's own type, which is then cast to float64
// only where that loses nothing (no complex, string or object data, no strings parsed as
// numbers). Null, with a TypeError naming the argument, where that is not possible.
inline OwnedRef safe_float64_array(PyObject* object, const char* name) {
    OwnedRef natural(PyArray_FromAny(object, nullptr, 0, 0, 0, nullptr));
    if (natural.get() == nullptr) {
        name_conversion_error(name);
        return OwnedRef();
    }
    // PyArray_FromArray steals the descriptor reference; without NPY_ARRAY_FORCECAST it refuses
    // unsafe casts with a TypeError.
    OwnedRef converted(PyArray_FromArray(reinterpret_cast<PyArrayObject*>(natural.get()),
                                         PyArray_DescrFromType(NPY_DOUBLE), NPY_ARRAY_CARRAY_RO));
    if (converted.get() == nullptr) {
        name_conversion_error(name);
    }
    return converted;
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
    if (detail::is_native_float64(object, 1)) {
        Py_INCREF(object);
        view.owner = OwnedRef(object);
        view.type_num = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object))->type_num;
    } else {
        view.owner = detail::safe_float64_array(object, name);
        if (view.owner.get() == nullptr) {
            return std::nullopt;
        }
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

// A float64 array of a fixed number of dimensions, read in place where it is already
// contiguous, aligned and native, converted safely otherwise (as as_double_array does).
struct DoubleArrayND {
    OwnedRef owner;
    const double* data = nullptr;
    int ndim = 0;
    npy_intp shape[NPY_MAXDIMS] = {};
    npy_intp size = 0;
};

inline std::optional<DoubleArrayND> as_double_array_nd(PyObject* object, const char* name,
                                                       int ndim) {
    DoubleArrayND view;
    if (detail::is_native_float64(object, ndim)) {
        Py_INCREF(object);
        view.owner = OwnedRef(object);
    } else {
        view.owner = detail::safe_float64_array(object, name);
        if (view.owner.get() == nullptr) {
            return std::nullopt;
        }
    }
    auto* array = reinterpret_cast<PyArrayObject*>(view.owner.get());
    if (PyArray_NDIM(array) != ndim) {
        PyErr_Format(PyExc_ValueError, "%s: expected %d dimension(s), got %d", name, ndim,
                     PyArray_NDIM(array));
        return std::nullopt;
    }
    view.ndim = ndim;
    for (int k = 0; k < ndim; ++k) {
        view.shape[k] = PyArray_DIM(array, k);
    }
    view.size = PyArray_SIZE(array);
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

}  // namespace halfmoon::frame
