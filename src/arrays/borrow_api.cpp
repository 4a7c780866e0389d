// Lookup and installation of the shared borrow registry capsule.
#include "arrays/borrow_api.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "arrays/interface_texts.hpp"
#include "arrays/numpy_api.hpp"
#include "arrays/numpy_layout.hpp"
#include "python/py_ref.hpp"

namespace corvalinth::arrays {

using python::PyErrValue;
using python::PyRef;
using python::PyResult;

namespace {

constexpr const char* kCapsuleName = texts::kBorrowCapsule;
constexpr const char* kImplementationName = texts::kBorrowImplementation;

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

// Creates a registry and returns its new capsule, published in no module yet.
PyResult<PyRef> new_registry_capsule() {
    PyResult<void**> table = numpy_api_table();
    if (!table.ok()) return table.take_error();
    auto registry = std::make_unique<BorrowRegistry>(npy::array_type(table.value()));
    auto record = std::make_unique<BorrowApiRecord>(make_borrow_api_record(registry.get()));
    PyRef capsule = PyRef::steal(PyCapsule_New(record.get(), kCapsuleName, destroy_installed_capsule));
    if (!capsule) return PyErrValue::fetch();
    // The capsule's destructor owns both from here on.
    registry.release();
    record.release();
    return capsule;
}

// A capsule found in NumPy's modules or newly made, and the modules that are
// to publish it once it has proved usable.
struct Lookup {
    PyRef capsule;
    std::vector<PyRef> publish_in;
};

// NumPy 1.x: the registry lives in "numpy.core.multiarray". Any failure to
// read it means nobody published one yet (or it cannot be read): ours is
// installed.
PyResult<Lookup> find_or_create_v1(PyObject* attr_name) {
    PyResult<PyRef> imported = import_numpy_multiarray();
    if (!imported.ok()) return imported.take_error();
    Lookup lookup;
    lookup.capsule = PyRef::steal(PyObject_GetAttr(imported.value().get(), attr_name));
    if (lookup.capsule) return lookup;
    PyErr_Clear();
    PyResult<PyRef> created = new_registry_capsule();
    if (!created.ok()) return created.take_error();
    lookup.capsule = std::move(created.value());
    lookup.publish_in.push_back(std::move(imported.value()));
    return lookup;
}

// NumPy 2.x: participants written for NumPy 2 publish the registry in
// "numpy._core.multiarray", older ones in the "numpy.core.multiarray" shim
// (a module of its own). The real module is asked first, then the shim; each
// module's own attributes are read without its __getattr__ hook, which would
// raise a DeprecationWarning. The capsule in use is published in each module
// that has none, so that participants of either era find the same registry;
// a module that has one keeps it.
PyResult<Lookup> find_or_create_v2(PyObject* attr_name) {
    Lookup lookup;
    for (const char* name : {texts::kMultiarrayModule2, texts::kMultiarrayModule}) {
        PyResult<PyRef> imported = import_module(name);
        if (!imported.ok()) return imported.take_error();
        PyRef found = PyRef::steal(PyObject_GenericGetAttr(imported.value().get(), attr_name));
        if (!found) {
            PyErr_Clear();
            lookup.publish_in.push_back(std::move(imported.value()));
        } else if (!lookup.capsule) {
            lookup.capsule = std::move(found);
        }
    }
    if (!lookup.capsule) {
        PyResult<PyRef> created = new_registry_capsule();
        if (!created.ok()) return created.take_error();
        lookup.capsule = std::move(created.value());
    }
    return lookup;
}

}  // namespace

const BorrowApiRecord* cached_borrow_api() { return record_cell; }

PyResult<const BorrowApiRecord*> borrow_api() {
    if (record_cell != nullptr) return record_cell;

    // The table comes first: its ABI version says where NumPy keeps the registry.
    PyResult<void**> table = numpy_api_table();
    if (!table.ok()) return table.take_error();

    PyRef attr_name = PyRef::steal(python::checked(PyUnicode_FromString(kCapsuleName)));
    PyResult<Lookup> found =
        numpy_abi() == NumpyAbi::v2 ? find_or_create_v2(attr_name.get()) : find_or_create_v1(attr_name.get());
    if (!found.ok()) return found.take_error();
    Lookup& lookup = found.value();
    PyRef& capsule = lookup.capsule;
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type) return PyErrValue::conversion(capsule.get(), texts::kCapsuleTarget);

    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr) PyErr_Clear();
    auto* record = static_cast<const BorrowApiRecord*>(PyCapsule_GetPointer(capsule.get(), name));
    if (record == nullptr) {
        PyErr_Clear();
        return PyErrValue::message(PyExc_SystemError, "borrow checking API capsule holds a null pointer");
    }
    if (record->version == 0) {
        return PyErrValue::message(PyExc_TypeError,
                                   std::string(texts::kBorrowVersionUnsupported) + std::string(kImplementationName));
    }
    for (const PyRef& module : lookup.publish_in) {
        if (PyObject_SetAttr(module.get(), attr_name.get(), capsule.get()) != 0) return PyErrValue::fetch();
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
    if (!record.ok()) python::fail_unexpected(texts::kBorrowApiFailed, record.take_error());
    return *record.value();
}

}  // namespace corvalinth::arrays
