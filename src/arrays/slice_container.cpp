// The PySliceContainer type.
#include "arrays/slice_container.hpp"

#include "arrays/interface_texts.hpp"
#include "python/py_error.hpp"
#include "runtime/internal_failure.hpp"

namespace corvalinth::arrays {

namespace {

struct SliceContainer {
    PyObject_HEAD void* buffer;
    std::size_t length;
    std::size_t capacity;
    ReleaseFn release;
};

PyTypeObject* container_type_cell = nullptr;

PyObject* container_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, texts::kNoConstructor);
    return nullptr;
}

void container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    container->release(container->buffer, container->length, container->capacity);
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyType_Slot container_slots[] = {
    {Py_tp_doc, const_cast<char*>("Owns a native buffer on the Python heap for the arrays laid over it.")},
    {Py_tp_new, reinterpret_cast<void*>(container_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {0, nullptr},
};

PyType_Spec container_spec = {
    texts::kSliceContainerType, sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT, container_slots,
};

}  // namespace

PyTypeObject* slice_container_type() {
    if (container_type_cell != nullptr) return container_type_cell;
    PyObject* type = PyType_FromSpec(&container_spec);
    if (type == nullptr) {
        PyErr_PrintEx(0);
        throw InternalFailure(texts::kSliceContainerTypeFailed);
    }
    // The first stored type wins should creation have let another thread in.
    if (container_type_cell == nullptr) {
        container_type_cell = reinterpret_cast<PyTypeObject*>(type);
    } else {
        Py_DECREF(type);
    }
    return container_type_cell;
}

PyObject* new_slice_container(BufferDescription buffer) {
    PyTypeObject* type;
    try {
        type = slice_container_type();
    } catch (...) {
        buffer.release(buffer.buffer, buffer.length, buffer.capacity);
        throw;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* object = alloc(type, 0);
    if (object == nullptr) {
        buffer.release(buffer.buffer, buffer.length, buffer.capacity);
        python::fail_unexpected(texts::kSliceContainerFailed, python::PyErrValue::fetch());
    }
    auto* container = reinterpret_cast<SliceContainer*>(object);
    container->buffer = buffer.buffer;
    container->length = buffer.length;
    container->capacity = buffer.capacity;
    container->release = buffer.release;
    return object;
}

}  // namespace corvalinth::arrays
