#pragma once
// Borrows of a KMeans receiver through its borrow flag: any number of shared
// borrows, or one exclusive borrow. A borrow holds a strong reference to the
// receiver and is released when the handle is destroyed.
#include <Python.h>

#include "binding/kmeans_type.hpp"
#include "python/py_error.hpp"

namespace corvalinth::binding {

class ReceiverBorrow {
public:
    // RuntimeError "Already mutably borrowed" while borrowed exclusively.
    static python::PyResult<ReceiverBorrow> shared(PyObject* receiver);
    // RuntimeError "Already borrowed" while borrowed in any way.
    static python::PyResult<ReceiverBorrow> exclusive(PyObject* receiver);

    ReceiverBorrow(ReceiverBorrow&& o) noexcept;
    ReceiverBorrow& operator=(ReceiverBorrow&&) = delete;
    ReceiverBorrow(const ReceiverBorrow&) = delete;
    ReceiverBorrow& operator=(const ReceiverBorrow&) = delete;
    ~ReceiverBorrow();

    kmeans::KMeansModel& model() const { return object_->model; }

private:
    ReceiverBorrow(KMeansObject* object, bool exclusive) : object_(object), exclusive_(exclusive) {}
    KMeansObject* object_;
    bool exclusive_;
};

}  // namespace corvalinth::binding
