// Lazy access to NumPy's C-API table.
#include "arrays/numpy_api.hpp"

#include <cstdio>
#include <utility>

#include "arrays/interface_texts.hpp"
#include "arrays/numpy_layout.hpp"

namespace corvalinth::arrays {

using python::PyErrValue;
using python::PyRef;
using python::PyResult;

namespace {

// Filled once with the first table fetched; never cleared. Written only with
// the interpreter lock held.
void** api_table_cell = nullptr;

}  // namespace

void** cached_numpy_api() { return api_table_cell; }

PyResult<PyRef> import_numpy_multiarray() { return import_module(texts::kMultiarrayModule); }

PyResult<PyRef> import_module(const char* name) {
    PyRef module_name = PyRef::steal(python::checked(PyUnicode_FromString(name)));
    PyRef module = PyRef::steal(PyImport_Import(module_name.get()));
    if (!module) return PyErrValue::fetch();
    return module;
}

PyResult<void**> numpy_api_table() {
    if (api_table_cell != nullptr) return api_table_cell;

    PyResult<PyRef> imported = import_numpy_multiarray();
    if (!imported.ok()) return imported.take_error();
    PyRef module = std::move(imported.value());

    PyRef attr_name = PyRef::steal(python::checked(PyUnicode_FromString(texts::kArrayApiCapsule)));
    PyRef capsule = PyRef::steal(PyObject_GetAttr(module.get(), attr_name.get()));
    if (!capsule) return PyErrValue::fetch();
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type) return PyErrValue::conversion(capsule.get(), texts::kCapsuleTarget);

    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr) PyErr_Clear();
    void* pointer = PyCapsule_GetPointer(capsule.get(), name);
    if (pointer == nullptr) {
        PyErr_Clear();
        // A null table must never be cached or used.
        return PyErrValue::message(PyExc_SystemError, "NumPy's _ARRAY_API capsule holds a null pointer");
    }

    // The object layouts differ between NumPy majors; the table says which
    // one published it.
    void** table = static_cast<void**>(pointer);
    const unsigned int abi_version = npy::get_ndarray_c_version(table)();
    const std::optional<NumpyAbi> abi = numpy_abi_for_version(abi_version);
    if (!abi) {
        char text[96];
        std::snprintf(text, sizeof text, "NumPy C ABI version 0x%08x is not supported (majors 1 and 2 are)",
                      abi_version);
        return PyErrValue::message(PyExc_ImportError, text);
    }

    // The import may have let another thread fill the cell: the first stored
    // table wins. The capsule that backs the stored table stays referenced
    // for the life of the process.
    if (api_table_cell == nullptr) {
        api_table_cell = table;
        select_numpy_abi(*abi);
        capsule.release();
    }
    return api_table_cell;
}

void** numpy_api() {
    PyResult<void**> table = numpy_api_table();
    if (!table.ok()) python::fail_unexpected(texts::kArrayApiFailed, table.take_error());
    return table.value();
}

}  // namespace corvalinth::arrays
