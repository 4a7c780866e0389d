#pragma once
// Matching of call arguments against a callable's parameter list, with the
// TypeError messages the interpreter's own functions use, and the renaming of
// conversion errors with the argument's name.
#include <Python.h>

#include <cstddef>
#include <span>
#include <string>

#include "python/py_error.hpp"

namespace corvalinth::binding {

struct CallSignature {
    const char* class_name;  // or null
    const char* function_name;
    std::span<const char* const> parameters;  // positional-or-keyword, in order
    std::size_t required;  // leading parameters that must be given

    // "{class}.{function}()" or "{function}()".
    std::string full_name() const;

    // Tuple-and-dictionary form: `kwargs` may be null. `slots` has one entry
    // per parameter and receives borrowed references (null: not given).
    python::PyStatus match_tuple_dict(PyObject* args, PyObject* kwargs, PyObject** slots) const;

    // Vector form (fast calling convention with keywords): the value of the
    // i-th name of `kwnames` (may be null) is args[nargs + i].
    python::PyStatus match_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const;

private:
    python::PyStatus fill_positional(PyObject* const* args, Py_ssize_t nargs, PyObject** slots) const;
    python::PyStatus fill_keyword(PyObject* key, PyObject* value, PyObject** slots) const;
    python::PyStatus check_required(PyObject* const* slots) const;
};

// A conversion of argument `name` failed with `err`: an exact TypeError is
// rewritten as "argument '{name}': {message}" keeping its cause; anything else
// is returned unchanged.
python::PyErrValue argument_error(const char* name, python::PyErrValue err);

}  // namespace corvalinth::binding
