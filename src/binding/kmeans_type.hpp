#pragma once
// The KMeans class: instance layout and the type object.
#include <Python.h>

#include "kmeans/base/model.hpp"
#include "python/py_error.hpp"

namespace corvalinth::binding {

// Instance layout: object header, the model record, then the borrow flag
// (0 free, n > 0 while n shared borrows are held, -1 while borrowed exclusively).
struct KMeansObject {
    PyObject ob_base;
    kmeans::KMeansModel model;
    Py_ssize_t borrow_flag;
};

// The KMeans type object (borrowed), created on the first call and kept for
// the life of the process; or the error of its creation.
python::PyResult<PyTypeObject*> kmeans_type();

// The type object for a receiver check: a creation failure is printed and
// becomes the internal failure "failed to create type object for KMeans".
PyTypeObject* kmeans_type_for_receiver();

// Method and attribute tables of the type (defined with the methods).
extern PyMethodDef kmeans_method_table[];
extern PyGetSetDef kmeans_attribute_table[];

}  // namespace corvalinth::binding
