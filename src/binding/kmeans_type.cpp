// The KMeans type object, its constructor and its deallocator.
#include "binding/kmeans_type.hpp"

#include <new>
#include <string>

#include "binding/boundary.hpp"
#include "binding/call_signature.hpp"
#include "binding/interface_texts.hpp"
#include "binding/scalar_args.hpp"
#include "runtime/internal_failure.hpp"

namespace corvalinth::binding {

using namespace python;

namespace {

constexpr const char* kNewParameters[] = {"n_clusters", "max_iters", "tol", "random_state"};
const CallSignature kNewSignature{texts::kClassName, "__new__", kNewParameters, 0};

PyTypeObject* type_slot = nullptr;

// Converts a given argument into `out`; an absent one leaves the default.
template <class T>
std::optional<PyErrValue> convert_argument(PyObject* given, const char* name, PyResult<T> (*convert)(PyObject*),
                                           T& out) {
    if (given == nullptr) return std::nullopt;
    PyResult<T> converted = convert(given);
    if (!converted.ok()) return argument_error(name, converted.take_error());
    out = std::move(converted.value());
    return std::nullopt;
}

PyResult<PyObject*> construct(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    PyObject* given[4];
    PyStatus matched = kNewSignature.match_tuple_dict(args, kwargs, given);
    if (!matched.ok()) return matched.take_error();

    kmeans::KMeansParams params;  // defaults: 8, 300, 1e-4, no seed
    if (auto err = convert_argument(given[0], "n_clusters", extract_u64, params.n_clusters)) return std::move(*err);
    if (auto err = convert_argument(given[1], "max_iters", extract_u64, params.max_iters)) return std::move(*err);
    if (auto err = convert_argument(given[2], "tol", extract_f64, params.tol)) return std::move(*err);
    PyResult<std::optional<std::uint64_t>> seed = extract_optional(given[3], extract_u64);
    if (!seed.ok()) return argument_error("random_state", seed.take_error());
    params.random_state = seed.value();

    allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
    PyObject* obj = alloc(subtype, 0);
    if (obj == nullptr) return PyErrValue::fetch();
    auto* self = reinterpret_cast<KMeansObject*>(obj);
    ::new (static_cast<void*>(&self->model)) kmeans::KMeansModel{params, std::nullopt, 0, 0.0};
    self->borrow_flag = 0;
    return obj;
}

PyObject* kmeans_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return object_boundary([&] { return construct(subtype, args, kwargs); });
}

void kmeans_dealloc(PyObject* obj) {
    dealloc_boundary([obj] {
        PyTypeObject* type = Py_TYPE(obj);
        reinterpret_cast<KMeansObject*>(obj)->model.~KMeansModel();  // releases the centres
        type->tp_free(obj);
        Py_DECREF(type);
    });
}

}  // namespace

PyResult<PyTypeObject*> kmeans_type() {
    if (type_slot != nullptr) return type_slot;
    // The docstring carries the text signature and nothing after the separator.
    const std::string doc = std::string(texts::kClassName) + texts::kClassTextSignature + "\n--\n\n";
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_new, reinterpret_cast<void*>(kmeans_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(kmeans_dealloc)},
        {Py_tp_methods, kmeans_method_table},
        {Py_tp_getset, kmeans_attribute_table},
        {0, nullptr},
    };
    PyType_Spec spec{texts::kTypeSpecName, static_cast<int>(sizeof(KMeansObject)), 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* created = PyType_FromSpec(&spec);
    if (created == nullptr) return PyErrValue::fetch();
    if (type_slot == nullptr) {
        type_slot = reinterpret_cast<PyTypeObject*>(created);
    } else {
        Py_DECREF(created);
    }
    return type_slot;
}

PyTypeObject* kmeans_type_for_receiver() {
    PyResult<PyTypeObject*> type = kmeans_type();
    if (type.ok()) return type.value();
    type.take_error().restore();
    PyErr_PrintEx(0);
    throw InternalFailure(texts::kTypeFailed);
}

}  // namespace corvalinth::binding
