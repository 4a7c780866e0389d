// fit, predict, fit_predict and the fitted-state attributes of KMeans.
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <utility>
#include <variant>

#include "arrays/input_array.hpp"
#include "arrays/result_array.hpp"
#include "binding/boundary.hpp"
#include "binding/call_signature.hpp"
#include "binding/interface_texts.hpp"
#include "binding/kmeans_type.hpp"
#include "binding/method_docs.hpp"
#include "binding/receiver_borrow.hpp"
#include "kmeans/fit.hpp"
#include "kmeans/predict.hpp"
#include "runtime/internal_failure.hpp"

namespace corvalinth::binding {

using namespace python;

namespace {

using arrays::InputBorrow;

constexpr const char* kSampleParameters[] = {"x"};
const CallSignature kFitSignature{texts::kClassName, "fit", kSampleParameters, 1};
const CallSignature kPredictSignature{texts::kClassName, "predict", kSampleParameters, 1};
const CallSignature kFitPredictSignature{texts::kClassName, "fit_predict", kSampleParameters, 1};

// The interrupt check handed to the engine: lets the interpreter run pending
// signal handlers, and keeps the exception one of them raised.
class SignalCheck {
public:
    kmeans::InterruptCheck callable() {
        return [this]() -> bool {
            if (PyErr_CheckSignals() != -1) return false;
            try {
                reason_.emplace(PyErrValue::fetch());
            } catch (...) {
                failure_ = std::current_exception();
            }
            return true;
        };
    }
    // Why the fit stopped.
    PyErrValue take_reason() {
        if (failure_) std::rethrow_exception(failure_);
        if (!reason_) throw InternalFailure("fit stopped by the interrupt check without a reason");
        return std::move(*reason_);
    }

private:
    std::optional<PyErrValue> reason_;
    std::exception_ptr failure_;
};

PyErrValue engine_error(kmeans::EngineError error, SignalCheck* signals) {
    if (error.kind == kmeans::EngineError::Kind::Value) {
        return PyErrValue::message(PyExc_ValueError, std::move(error.message));
    }
    if (signals == nullptr) throw InternalFailure("prediction reported an interruption");
    return signals->take_reason();
}

// Converts x; its conversion error becomes the error of argument "x".
PyResult<InputBorrow> extract_x(PyObject* x) {
    PyResult<InputBorrow> input = arrays::extract_sample_array(x);
    if (!input.ok()) return argument_error("x", input.take_error());
    return input;
}

// Runs the engine's fit; the input is released when the fit ends. Memory
// exhaustion leaves the whole record as it was.
std::optional<PyErrValue> run_fit(kmeans::KMeansModel& model, InputBorrow input) {
    const kmeans::SampleMatrix samples = arrays::view_samples(input);
    SignalCheck signals;
    const std::uint64_t n_iter_before = model.n_iter_;
    const double inertia_before = model.inertia_;
    std::optional<kmeans::EngineError> error;
    try {
        error = kmeans::fit(model, samples, signals.callable());
    } catch (const std::bad_alloc&) {
        model.n_iter_ = n_iter_before;
        model.inertia_ = inertia_before;
        throw;
    }
    if (!error) return std::nullopt;
    return engine_error(std::move(*error), &signals);
}

// Labels the input; it is released once the labels array exists.
PyResult<PyObject*> run_predict(const kmeans::KMeansModel& model, InputBorrow input) {
    std::variant<kmeans::LabelBuffer, kmeans::EngineError> labels = kmeans::predict(model, arrays::view_samples(input));
    if (auto* error = std::get_if<kmeans::EngineError>(&labels)) return engine_error(std::move(*error), nullptr);
    return arrays::labels_to_array(std::move(std::get<kmeans::LabelBuffer>(labels)));
}

// A method call after its common steps: arguments matched, receiver
// borrowed, x converted. Members are released input first, receiver last.
struct SampleCall {
    ReceiverBorrow receiver;
    InputBorrow input;
};

PyResult<SampleCall> begin_sample_call(const CallSignature& signature, bool exclusive, PyObject* self,
                                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* x = nullptr;
    PyStatus matched = signature.match_vector(args, nargs, kwnames, &x);
    if (!matched.ok()) return matched.take_error();
    PyResult<ReceiverBorrow> receiver = exclusive ? ReceiverBorrow::exclusive(self) : ReceiverBorrow::shared(self);
    if (!receiver.ok()) return receiver.take_error();
    PyResult<InputBorrow> input = extract_x(x);
    if (!input.ok()) return input.take_error();
    return SampleCall{std::move(receiver.value()), std::move(input.value())};
}

PyResult<PyObject*> fit_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyResult<SampleCall> call = begin_sample_call(kFitSignature, true, self, args, nargs, kwnames);
    if (!call.ok()) return call.take_error();
    if (std::optional<PyErrValue> error = run_fit(call.value().receiver.model(), std::move(call.value().input))) {
        return std::move(*error);
    }
    return Py_NewRef(Py_None);
}

PyResult<PyObject*> predict_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyResult<SampleCall> call = begin_sample_call(kPredictSignature, false, self, args, nargs, kwnames);
    if (!call.ok()) return call.take_error();
    return run_predict(call.value().receiver.model(), std::move(call.value().input));
}

PyResult<PyObject*> fit_predict_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyResult<SampleCall> call = begin_sample_call(kFitPredictSignature, true, self, args, nargs, kwnames);
    if (!call.ok()) return call.take_error();
    kmeans::KMeansModel& model = call.value().receiver.model();
    // The fit fills a trial record (a fit never reads the previous centres),
    // which replaces the model once the labels exist: memory exhaustion in
    // the prediction leaves the model as it was. Any other outcome leaves
    // what fitting the model itself would have left.
    kmeans::KMeansModel trial{model.params, std::nullopt, model.n_iter_, model.inertia_};
    auto commit = [&] {
        if (trial.cluster_centers_) model.cluster_centers_ = std::move(trial.cluster_centers_);
        model.n_iter_ = trial.n_iter_;
        model.inertia_ = trial.inertia_;
    };
    // The fit gets its own handle; the call's handle is kept for the
    // prediction, and released before the receiver if the fit fails.
    if (std::optional<PyErrValue> error = run_fit(trial, call.value().input.duplicate())) {
        commit();
        return std::move(*error);
    }
    try {
        PyResult<PyObject*> labels = run_predict(trial, std::move(call.value().input));
        commit();
        return labels;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        commit();
        throw;
    }
}

PyObject* fit_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return object_boundary([&] { return fit_body(self, args, nargs, kwnames); });
}

PyObject* predict_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return object_boundary([&] { return predict_body(self, args, nargs, kwnames); });
}

PyObject* fit_predict_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return object_boundary([&] { return fit_predict_body(self, args, nargs, kwnames); });
}

// Getters read the record under a shared borrow.
template <class Read>
PyObject* read_attribute(PyObject* self, Read read) {
    return object_boundary([&]() -> PyResult<PyObject*> {
        PyResult<ReceiverBorrow> receiver = ReceiverBorrow::shared(self);
        if (!receiver.ok()) return receiver.take_error();
        return read(receiver.value().model());
    });
}

PyObject* get_cluster_centers(PyObject* self, void*) {
    return read_attribute(self, [](const kmeans::KMeansModel& model) -> PyObject* {
        if (!model.cluster_centers_) return Py_NewRef(Py_None);
        return arrays::centres_to_array(*model.cluster_centers_);
    });
}

PyObject* get_n_iter(PyObject* self, void*) {
    return read_attribute(
        self, [](const kmeans::KMeansModel& model) { return checked(PyLong_FromUnsignedLongLong(model.n_iter_)); });
}

PyObject* get_inertia(PyObject* self, void*) {
    return read_attribute(self,
                          [](const kmeans::KMeansModel& model) { return checked(PyFloat_FromDouble(model.inertia_)); });
}

template <class F>
PyCFunction as_method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

PyMethodDef kmeans_method_table[] = {
    {"fit", as_method(fit_entry), METH_FASTCALL | METH_KEYWORDS, "fit($self, x)\n--\n\n" CORVALINTH_DOC_FIT},
    {"predict", as_method(predict_entry), METH_FASTCALL | METH_KEYWORDS,
     "predict($self, x)\n--\n\n" CORVALINTH_DOC_PREDICT},
    {"fit_predict", as_method(fit_predict_entry), METH_FASTCALL | METH_KEYWORDS,
     "fit_predict($self, x)\n--\n\n" CORVALINTH_DOC_FIT_PREDICT},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kmeans_attribute_table[] = {
    {"cluster_centers_", get_cluster_centers, nullptr, "", nullptr},
    {"n_iter_", get_n_iter, nullptr, "", nullptr},
    {"inertia_", get_inertia, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace corvalinth::binding
