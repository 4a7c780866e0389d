// Argument matching.
#include "binding/call_signature.hpp"

#include <cstring>

#include "binding/py_ref.hpp"

namespace corvalinth::binding {

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

PyErrValue CallSignature::type_error(const std::string& rest) const {
    return PyErrValue::message(PyExc_TypeError, full_name() + " " + rest);
}

PyStatus CallSignature::fill_positional(PyObject* const* args, Py_ssize_t nargs, PyObject** slots) const {
    const std::size_t n = static_cast<std::size_t>(nargs);
    const std::size_t total = parameters.size();
    for (std::size_t i = 0; i < n && i < total; ++i) slots[i] = args[i];
    if (n <= total) return ok_status();
    std::string text = "takes ";
    if (required != total) text += "from " + std::to_string(required) + " to ";
    text += std::to_string(total) + " positional arguments but " + std::to_string(n) + (n == 1 ? " was" : " were") +
            " given";
    return type_error(text);
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
            if (slots[i] != nullptr) return type_error(std::string("got multiple values for argument '") + name + "'");
            slots[i] = value;
            return ok_status();
        }
    }
    return type_error("got an unexpected keyword argument '" + display(key) + "'");
}

PyStatus CallSignature::check_required(PyObject* const* slots) const {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < required; ++i) missing += slots[i] == nullptr ? 1 : 0;
    if (missing == 0) return ok_status();
    std::string list;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < required; ++i) {
        if (slots[i] != nullptr) continue;
        ++listed;
        if (listed > 1) {
            if (missing > 2) list += ",";
            list += " ";
            if (listed == missing) list += "and ";
        }
        list += "'";
        list += parameters[i];
        list += "'";
    }
    return type_error("missing " + std::to_string(missing) + " required positional " +
                      (missing == 1 ? "argument" : "arguments") + ": " + list);
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
    PyException_SetCause(renamed.instance(), cause);   // steals `cause`
    return renamed;
}

}  // namespace corvalinth::binding
