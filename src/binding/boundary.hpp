#pragma once
// The interpreter boundary: every entry point the interpreter calls runs its
// body inside one of these, so that no C++ exception ever unwinds into the
// interpreter. Error values become the pending exception; internal failures
// become PanicException; memory exhaustion becomes MemoryError, also when it
// strikes while a failure is being converted. Any other failure while the
// boundary itself raises the error ends the process.
#include <Python.h>

#include <exception>
#include <new>
#include <optional>

#include "binding/diagnostics.hpp"
#include "binding/interface_texts.hpp"
#include "python/py_error.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/pool/thread_setup.hpp"

namespace corvalinth::binding {

namespace detail {

// Runs `body` (returning PyResult<R>) and turns every way it can fail into a
// pending error value. Returns the result on success.
template <class R, class F>
std::optional<R> run_guarded(F& body) {
    try {
        std::optional<python::PyErrValue> err;
        try {
            python::PyResult<R> result = body();
            if (result.ok()) return std::move(result.value());
            err.emplace(result.take_error());
        } catch (const InternalFailure& failure) {
            report_internal_failure(failure.what());
            err.emplace(python::PyErrValue::panic(failure.what()));
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& other) {
            report_internal_failure(other.what());
            err.emplace(python::PyErrValue::panic(texts::kNativePanic));
        } catch (...) {
            report_internal_failure(texts::kNativePanic);
            err.emplace(python::PyErrValue::panic(texts::kNativePanic));
        }
        std::move(*err).restore();
    } catch (const std::bad_alloc&) {
        // From the body, or from building the error value of its failure:
        // either way the interpreter's preallocated MemoryError is raised.
        PyErr_NoMemory();
    }
    return std::nullopt;
}

}  // namespace detail

// Entry points that return an object: `body` returns PyResult<PyObject*>
// holding a new reference. Returns it, or null with an exception set.
template <class F>
PyObject* object_boundary(F&& body) noexcept {
    // A thread whose exception state cannot be set up must not throw.
    if (!runtime::prepare_calling_thread()) return PyErr_NoMemory();
    try {
        std::optional<PyObject*> result = detail::run_guarded<PyObject*>(body);
        return result ? *result : nullptr;
    } catch (...) {
        abort_at_boundary();
    }
}

// Deallocation: `body` returns nothing and is not expected to fail; a failure
// is raised as PanicException and reported at once as unraisable.
template <class F>
void dealloc_boundary(F&& body) noexcept {
    // The memory must be given back even when the thread cannot be set up;
    // releasing it does not throw.
    runtime::prepare_calling_thread();
    try {
        auto wrapped = [&body]() -> python::PyStatus {
            body();
            return python::ok_status();
        };
        if (!detail::run_guarded<python::Unit>(wrapped)) PyErr_WriteUnraisable(nullptr);
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace corvalinth::binding
