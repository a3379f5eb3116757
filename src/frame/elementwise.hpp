// Element-wise evaluation of a scalar kernel over broadcast NumPy arguments, for the private
// helper modules that expose core functions to Python. Include after module_frame.hpp.
#pragma once

#include "frame/module_frame.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace halfmoon::frame {

template <typename T>
struct NumpyType;
template <>
struct NumpyType<double> {
    static constexpr int value = NPY_DOUBLE;
};
template <>
struct NumpyType<std::int64_t> {
    static constexpr int value = NPY_INT64;
};

namespace detail {

template <typename Out, typename... In, typename Kernel, std::size_t... I>
void run_inner_loops(NpyIter* iter, Kernel& kernel, std::index_sequence<I...>) {
    NpyIter_IterNextFunc* next = NpyIter_GetIterNext(iter, nullptr);
    char** data = NpyIter_GetDataPtrArray(iter);
    const npy_intp* strides = NpyIter_GetInnerStrideArray(iter);
    const npy_intp* size = NpyIter_GetInnerLoopSizePtr(iter);
    constexpr std::size_t out = sizeof...(In);
    do {
        const npy_intp count = *size;
        for (npy_intp k = 0; k < count; ++k) {
            *reinterpret_cast<Out*>(data[out] + k * strides[out]) =
                kernel(*reinterpret_cast<const In*>(data[I] + k * strides[I])...);
        }
    } while (next(iter));
}

}  // namespace detail

// Broadcasts the arguments against each other, casts each safely to its kernel parameter type
// (TypeError where that is not possible), and returns a new array (a NumPy scalar for scalar
// arguments) of kernel(arguments...) element by element.
template <typename Out, typename... In, typename Kernel>
PyObject* map_elementwise(const std::array<PyObject*, sizeof...(In)>& arguments, Kernel kernel) {
    constexpr std::size_t n_in = sizeof...(In);
    std::array<OwnedRef, n_in> inputs;
    std::array<PyArrayObject*, n_in + 1> operands{};
    std::array<npy_uint32, n_in + 1> op_flags{};
    std::array<PyArray_Descr*, n_in + 1> dtypes{};
    constexpr std::array<int, n_in + 1> type_numbers = {NumpyType<In>::value...,
                                                        NumpyType<Out>::value};
    for (std::size_t j = 0; j < n_in; ++j) {
        inputs[j] = OwnedRef(PyArray_FromAny(arguments[j], nullptr, 0, 0, 0, nullptr));
        if (inputs[j].get() == nullptr) {
            return nullptr;
        }
        operands[j] = reinterpret_cast<PyArrayObject*>(inputs[j].get());
        op_flags[j] = NPY_ITER_READONLY | NPY_ITER_NBO | NPY_ITER_ALIGNED;
    }
    op_flags[n_in] = NPY_ITER_WRITEONLY | NPY_ITER_ALLOCATE | NPY_ITER_NBO | NPY_ITER_ALIGNED;
    for (std::size_t j = 0; j <= n_in; ++j) {
        dtypes[j] = PyArray_DescrFromType(type_numbers[j]);  // borrowed from NumPy's builtins
    }

    NpyIter* iter = NpyIter_MultiNew(
        static_cast<int>(n_in + 1), operands.data(),
        NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED | NPY_ITER_GROWINNER | NPY_ITER_ZEROSIZE_OK,
        NPY_KEEPORDER, NPY_SAFE_CASTING, op_flags.data(), dtypes.data());
    for (PyArray_Descr* descr : dtypes) {
        Py_DECREF(descr);
    }
    if (iter == nullptr) {
        return nullptr;
    }
    if (NpyIter_GetIterSize(iter) > 0) {
        detail::run_inner_loops<Out, In...>(iter, kernel, std::make_index_sequence<n_in>{});
    }
    OwnedRef result(reinterpret_cast<PyObject*>(NpyIter_GetOperandArray(iter)[n_in]));
    Py_INCREF(result.get());
    if (NpyIter_Deallocate(iter) != NPY_SUCCEED) {
        return nullptr;
    }
    return return_result(std::move(result));
}

}  // namespace halfmoon::frame
