// Argument matching.
#include "binding/call_signature.hpp"

#include <cstring>

#include "binding/call_messages.hpp"
#include "python/object_text.hpp"
#include "python/py_ref.hpp"

namespace corvalinth::binding {

using namespace python;

std::string CallSignature::full_name() const {
    std::string name;
    if (class_name != nullptr) {
        name += class_name;
        name += '.';
    }
    name += function_name;
    name += "()";
    return name;
}

PyStatus CallSignature::fill_positional(PyObject* const* args, Py_ssize_t nargs, PyObject** slots) const {
    const std::size_t n = static_cast<std::size_t>(nargs);
    const std::size_t total = parameters.size();
    for (std::size_t i = 0; i < n && i < total; ++i) slots[i] = args[i];
    if (n <= total) return ok_status();
    return PyErrValue::message(PyExc_TypeError, too_many_positional_message(full_name(), required, total, n));
}

PyStatus CallSignature::fill_keyword(PyObject* key, PyObject* value, PyObject** slots) const {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();  // an unreadable name names no parameter
    } else {
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            const char* name = parameters[i];
            if (std::strlen(name) != static_cast<std::size_t>(size) || std::memcmp(name, text, size) != 0) continue;
            if (slots[i] != nullptr) {
                return PyErrValue::message(PyExc_TypeError, multiple_values_message(full_name(), name));
            }
            slots[i] = value;
            return ok_status();
        }
    }
    return PyErrValue::message(PyExc_TypeError, unexpected_keyword_message(full_name(), display(key)));
}

PyStatus CallSignature::check_required(PyObject* const* slots) const {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < required; ++i) {
        if (slots[i] == nullptr) missing.emplace_back(parameters[i]);
    }
    if (missing.empty()) return ok_status();
    return PyErrValue::message(PyExc_TypeError, missing_required_message(full_name(), missing));
}

PyStatus CallSignature::match_tuple_dict(PyObject* args, PyObject* kwargs, PyObject** slots) const {
    for (std::size_t i = 0; i < parameters.size(); ++i) slots[i] = nullptr;
    PyStatus status = fill_positional(reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args), slots);
    if (!status.ok()) return status;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            status = fill_keyword(key, value, slots);
            if (!status.ok()) return status;
        }
    }
    return check_required(slots);
}

PyStatus CallSignature::match_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                     PyObject** slots) const {
    for (std::size_t i = 0; i < parameters.size(); ++i) slots[i] = nullptr;
    PyStatus status = fill_positional(args, nargs, slots);
    if (!status.ok()) return status;
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            status = fill_keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots);
            if (!status.ok()) return status;
        }
    }
    return check_required(slots);
}

PyErrValue argument_error(const char* name, PyErrValue err) {
    PyObject* original = err.instance();
    if (reinterpret_cast<PyObject*>(Py_TYPE(original)) != PyExc_TypeError) return err;
    PyErrValue renamed =
        PyErrValue::message(PyExc_TypeError, std::string("argument '") + name + "': " + display(original));
    PyObject* cause = PyException_GetCause(original);  // new reference or null
    PyException_SetCause(renamed.instance(), cause);  // steals `cause`
    return renamed;
}

}  // namespace corvalinth::binding
