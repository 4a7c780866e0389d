// Lookup and installation of the shared borrow registry capsule.
#include "arrays/borrow_api.hpp"

#include <memory>
#include <string>
#include <utility>

#include "arrays/numpy_api.hpp"
#include "python/py_ref.hpp"

namespace corvalinth::arrays {

using python::PyErrValue;
using python::PyRef;
using python::PyResult;

namespace {

constexpr const char* kCapsuleName = "_RUST_NUMPY_BORROW_CHECKING_API";
constexpr const char* kImplementationName = "corvalinth";

// Filled once with the first usable record; never cleared.
const BorrowApiRecord* record_cell = nullptr;

extern "C" void destroy_installed_capsule(PyObject* capsule) {
    auto* record = static_cast<BorrowApiRecord*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (record == nullptr) {
        PyErr_Clear();
        return;
    }
    delete static_cast<BorrowRegistry*>(record->state);
    delete record;
}

// Creates a registry, publishes it in `module` and returns the new capsule.
PyResult<PyRef> install(PyObject* module, PyObject* attr_name) {
    PyResult<void**> table = numpy_api_table();
    if (!table.ok()) return table.take_error();
    auto registry = std::make_unique<BorrowRegistry>(npy::array_type(table.value()));
    auto record = std::make_unique<BorrowApiRecord>(make_borrow_api_record(registry.get()));
    PyRef capsule = PyRef::steal(PyCapsule_New(record.get(), kCapsuleName, destroy_installed_capsule));
    if (!capsule) return PyErrValue::fetch();
    // The capsule's destructor owns both from here on.
    registry.release();
    record.release();
    if (PyObject_SetAttr(module, attr_name, capsule.get()) != 0) return PyErrValue::fetch();
    return capsule;
}

}  // namespace

const BorrowApiRecord* cached_borrow_api() { return record_cell; }

PyResult<const BorrowApiRecord*> borrow_api() {
    if (record_cell != nullptr) return record_cell;

    PyResult<PyRef> imported = import_numpy_multiarray();
    if (!imported.ok()) return imported.take_error();
    PyRef module = std::move(imported.value());

    PyRef attr_name = PyRef::steal(python::checked(PyUnicode_FromString(kCapsuleName)));
    PyRef capsule = PyRef::steal(PyObject_GetAttr(module.get(), attr_name.get()));
    if (capsule) {
        if (Py_TYPE(capsule.get()) != &PyCapsule_Type) return PyErrValue::conversion(capsule.get(), "PyCapsule");
    } else {
        // Nobody published a registry yet (or it cannot be read): install ours.
        PyErr_Clear();
        PyResult<PyRef> installed = install(module.get(), attr_name.get());
        if (!installed.ok()) return installed.take_error();
        capsule = std::move(installed.value());
    }

    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr) PyErr_Clear();
    auto* record = static_cast<const BorrowApiRecord*>(PyCapsule_GetPointer(capsule.get(), name));
    if (record == nullptr) {
        PyErr_Clear();
        return PyErrValue::message(PyExc_SystemError, "borrow checking API capsule holds a null pointer");
    }
    if (record->version == 0) {
        return PyErrValue::message(PyExc_TypeError, "Version 0 of borrow checking API is not supported by this version of " +
                                                        std::string(kImplementationName));
    }

    // The first stored record wins; the capsule behind it stays referenced for
    // the life of the process.
    if (record_cell == nullptr) {
        record_cell = record;
        capsule.release();
    }
    return record_cell;
}

const BorrowApiRecord& borrow_api_or_fail() {
    PyResult<const BorrowApiRecord*> record = borrow_api();
    if (!record.ok()) python::fail_unexpected("Interal borrow checking API error", record.take_error());
    return *record.value();
}

}  // namespace corvalinth::arrays
