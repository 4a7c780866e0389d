// Receiver borrows.
#include "binding/receiver_borrow.hpp"

#include <utility>

#include "binding/interface_texts.hpp"

namespace corvalinth::binding {

using namespace python;

namespace {

// The receiver as a KMeans instance, or the conversion error naming "KMeans".
PyResult<KMeansObject*> as_kmeans(PyObject* receiver) {
    PyTypeObject* type = kmeans_type_for_receiver();
    if (Py_TYPE(receiver) != type && !PyType_IsSubtype(Py_TYPE(receiver), type)) {
        return PyErrValue::conversion(receiver, texts::kClassName);
    }
    return reinterpret_cast<KMeansObject*>(receiver);
}

}  // namespace

PyResult<ReceiverBorrow> ReceiverBorrow::shared(PyObject* receiver) {
    PyResult<KMeansObject*> object = as_kmeans(receiver);
    if (!object.ok()) return object.take_error();
    KMeansObject* self = object.value();
    if (self->borrow_flag == -1) return PyErrValue::message(PyExc_RuntimeError, texts::kAlreadyMutablyBorrowed);
    self->borrow_flag += 1;
    Py_INCREF(receiver);
    return ReceiverBorrow(self, false);
}

PyResult<ReceiverBorrow> ReceiverBorrow::exclusive(PyObject* receiver) {
    PyResult<KMeansObject*> object = as_kmeans(receiver);
    if (!object.ok()) return object.take_error();
    KMeansObject* self = object.value();
    if (self->borrow_flag != 0) return PyErrValue::message(PyExc_RuntimeError, texts::kAlreadyBorrowed);
    self->borrow_flag = -1;
    Py_INCREF(receiver);
    return ReceiverBorrow(self, true);
}

ReceiverBorrow::ReceiverBorrow(ReceiverBorrow&& o) noexcept
    : object_(std::exchange(o.object_, nullptr)), exclusive_(o.exclusive_) {}

ReceiverBorrow::~ReceiverBorrow() {
    if (object_ == nullptr) return;
    if (exclusive_) {
        object_->borrow_flag = 0;
    } else {
        object_->borrow_flag -= 1;
    }
    Py_DECREF(reinterpret_cast<PyObject*>(object_));
}

}  // namespace corvalinth::binding
