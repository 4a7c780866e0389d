// Module definition and initialisation.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/boundary.hpp"
#include "binding/interface_texts.hpp"
#include "binding/kmeans_type.hpp"
#include "python/py_error.hpp"
#include "python/py_ref.hpp"

namespace corvalinth::binding {

using namespace python;

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, texts::kModuleName, texts::kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first initialised the module (-1: none yet).
std::atomic<std::int64_t> initialised_interpreter{-1};
// The module, once created and initialised; never released.
PyObject* module_cache = nullptr;
// The interned name "__all__", made once.
PyObject* all_name = nullptr;

PyObject* interned_all_name() {
    if (all_name == nullptr) {
        PyObject* name = checked(PyUnicode_FromString("__all__"));
        PyUnicode_InternInPlace(&name);
        if (all_name == nullptr) {
            all_name = name;
        } else {
            Py_DECREF(name);
        }
    }
    return all_name;
}

// The module's __all__ list, created empty when the module has none.
PyResult<PyRef> all_list(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttr(module, interned_all_name()));
    if (all) return all;
    PyErrValue err = PyErrValue::fetch();
    PyObject* exc = err.instance();
    if (!PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(exc)), PyExc_AttributeError)) return err;
    PyRef created = PyRef::steal(checked(PyList_New(0)));
    if (PyObject_SetAttr(module, interned_all_name(), created.get()) == -1) return PyErrValue::fetch();
    return created;
}

// Records `name` in __all__, then sets the attribute. Owns `name` and `value`.
PyStatus module_add(PyObject* module, PyRef name, PyRef value) {
    PyResult<PyRef> all = all_list(module);
    if (!all.ok()) return all.take_error();
    PyObject* list = all.value().get();
    if (!PyList_Check(list)) return PyErrValue::conversion(list, "PyList");
    if (PyList_Append(list, name.get()) == -1) {
        fail_unexpected(texts::kAllAppendFailed, PyErrValue::fetch());
    }
    if (PyObject_SetAttr(module, name.get(), value.get()) == -1) return PyErrValue::fetch();
    return ok_status();
}

PyStatus initialise_module(PyObject* module) {
    PyResult<PyTypeObject*> type = kmeans_type();
    if (!type.ok()) return type.take_error();
    PyStatus added = module_add(module, PyRef::steal(checked(PyUnicode_FromString(texts::kClassName))),
                                PyRef::borrow(reinterpret_cast<PyObject*>(type.value())));
    if (!added.ok()) return added;
    return module_add(module, PyRef::steal(checked(PyUnicode_FromString("__version__"))),
                      PyRef::steal(checked(PyUnicode_FromString(CORVALINTH_VERSION))));
}

PyResult<PyObject*> init_body() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return PyErrValue::fetch();
    std::int64_t expected = -1;
    if (!initialised_interpreter.compare_exchange_strong(expected, current, std::memory_order_seq_cst) &&
        expected != current) {
        return PyErrValue::message(PyExc_ImportError, texts::kSubinterpreters);
    }
    if (module_cache == nullptr) {
        PyRef module = PyRef::steal(PyModule_Create2(&module_def, 1013));
        if (!module) return PyErrValue::fetch();
        PyStatus initialised = initialise_module(module.get());
        if (!initialised.ok()) return initialised.take_error();
        if (module_cache == nullptr) module_cache = module.release();
    }
    return Py_NewRef(module_cache);
}

}  // namespace

}  // namespace corvalinth::binding

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_corvalinth() {
    return corvalinth::binding::object_boundary(corvalinth::binding::init_body);
}
