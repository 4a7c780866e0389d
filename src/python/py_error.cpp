// Error values and their passage into and out of the interpreter.
#include "python/py_error.hpp"

#include <cstdio>
#include <memory>
#include <new>

#include "python/interface_texts.hpp"
#include "python/object_text.hpp"
#include "runtime/internal_failure.hpp"

namespace corvalinth::python {

namespace {

PyObject* panic_type_slot = nullptr;

// Qualified name of a type for the conversion message.
std::string qualified_type_name(PyObject* type) {
    PyRef name = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return texts::kFailedTypeName;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return texts::kFailedTypeName;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

// "'{type}' object cannot be converted to '{target}'".
std::string conversion_message(PyObject* type, const std::string& target) {
    std::string text = "'";
    text.append(qualified_type_name(type));
    text.append(texts::kConversionMiddle);
    text.append(target);
    text.push_back('\'');
    return text;
}

// An object made to raise an error. The interpreter running out of memory
// here is memory exhaustion, reported as such, not an internal failure.
PyObject* raise_part(PyObject* o) {
    if (o == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    return checked(o);
}

PyObject* new_str(const std::string& text) {
    return raise_part(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace

struct PyErrValue::Lazy {
    enum class Kind { Message, Conversion, Panic };
    Kind kind;
    PyObject* type;  // strong: the exception type (Message) or the offending type (Conversion)
    std::string text;  // the message (Message, Panic) or the target name (Conversion)

    ~Lazy() { Py_XDECREF(type); }
};

PyErrValue::PyErrValue(Lazy* lazy) : lazy_(lazy) {}
PyErrValue::PyErrValue(PyObject* instance) : instance_(instance) {}

PyErrValue PyErrValue::message(PyObject* type, std::string text) {
    Py_INCREF(type);
    return PyErrValue(new Lazy{Lazy::Kind::Message, type, std::move(text)});
}

PyErrValue PyErrValue::conversion(PyObject* obj, std::string target) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Py_INCREF(type);
    return PyErrValue(new Lazy{Lazy::Kind::Conversion, type, std::move(target)});
}

PyErrValue PyErrValue::panic(std::string message) {
    return PyErrValue(new Lazy{Lazy::Kind::Panic, nullptr, std::move(message)});
}

PyErrValue PyErrValue::from_instance(PyObject* exc) { return PyErrValue(exc); }

std::optional<PyErrValue> PyErrValue::take_pending() {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return std::nullopt;
    PyErrValue taken(exc);
    // Before the first internal failure no PanicException can exist, so the
    // type is not made here (nothing of it is created at import).
    if (panic_type_slot == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(exc)) != panic_type_slot) return taken;

    // A PanicException that went through Python code comes back as the
    // internal failure it started as.
    std::string message = texts::kUnwrappedPanic;
    if (PyRef text = PyRef::steal(PyObject_Str(exc))) {
        message = unicode_to_utf8_lossy(text.get());
    } else {
        PyErr_Clear();
    }
    std::fputs(texts::kResumingPanic, stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(std::exchange(taken.instance_, nullptr));
    PyErr_PrintEx(0);
    throw InternalFailure(message);
}

PyErrValue PyErrValue::fetch() {
    if (std::optional<PyErrValue> pending = take_pending()) return std::move(*pending);
    return message(PyExc_SystemError, texts::kFetchedNothing);
}

PyErrValue::PyErrValue(PyErrValue&& o) noexcept
    : lazy_(std::exchange(o.lazy_, nullptr)), instance_(std::exchange(o.instance_, nullptr)) {}

PyErrValue& PyErrValue::operator=(PyErrValue&& o) noexcept {
    if (this != &o) {
        delete std::exchange(lazy_, std::exchange(o.lazy_, nullptr));
        Py_XDECREF(std::exchange(instance_, std::exchange(o.instance_, nullptr)));
    }
    return *this;
}

PyErrValue::~PyErrValue() {
    delete lazy_;
    Py_XDECREF(instance_);
}

void PyErrValue::restore() && {
    if (instance_ != nullptr) {
        PyErr_SetRaisedException(std::exchange(instance_, nullptr));
        return;
    }
    if (lazy_ == nullptr) return;  // moved-from: nothing to raise
    std::unique_ptr<Lazy> lazy(std::exchange(lazy_, nullptr));
    PyRef type;
    PyRef argument;
    switch (lazy->kind) {
        case Lazy::Kind::Message:
            type = PyRef::borrow(lazy->type);
            argument = PyRef::steal(new_str(lazy->text));
            break;
        case Lazy::Kind::Conversion:
            type = PyRef::borrow(PyExc_TypeError);
            argument = PyRef::steal(new_str(conversion_message(lazy->type, lazy->text)));
            break;
        case Lazy::Kind::Panic: {
            type = PyRef::borrow(panic_exception_type());
            PyRef text = PyRef::steal(new_str(lazy->text));
            argument = PyRef::steal(raise_part(PyTuple_Pack(1, text.get())));
            break;
        }
    }
    if (PyType_Check(type.get()) &&
        PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(type.get()), Py_TPFLAGS_BASE_EXC_SUBCLASS)) {
        PyErr_SetObject(type.get(), argument.get());
    } else {
        PyErr_SetString(PyExc_TypeError, texts::kNotAnException);
    }
}

PyObject* PyErrValue::instance() {
    if (instance_ == nullptr) {
        std::move(*this).restore();
        instance_ = PyErr_GetRaisedException();
        if (instance_ == nullptr) throw InternalFailure("exception missing after writing to the interpreter");
    }
    return instance_;
}

std::string PyErrValue::debug_rendering() {
    PyObject* exc = instance();
    std::string out = "PyErr { type: ";
    out += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    out += ", value: ";
    out += repr_text(exc);
    out += ", traceback: ";
    if (PyRef traceback = PyRef::steal(PyException_GetTraceback(exc))) {
        out += "Some(" + repr_text(traceback.get()) + ")";
    } else {
        out += "None";
    }
    out += " }";
    return out;
}

void fail_unexpected(const char* fixed, PyErrValue err) {
    throw InternalFailure(std::string(fixed) + ": " + err.debug_rendering());
}

void fail_api_call() {
    PyErr_Print();
    throw InternalFailure(texts::kApiCallFailed);
}

PyObject* checked(PyObject* o) {
    if (o == nullptr) fail_api_call();
    return o;
}

PyObject* panic_exception_type() {
    if (panic_type_slot == nullptr) {
        PyObject* created = PyErr_NewExceptionWithDoc(texts::kPanicExceptionType, texts::kPanicExceptionDoc,
                                                      PyExc_BaseException, nullptr);
        if (created == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
                PyErr_Clear();
                throw std::bad_alloc();  // the type is made again at the next need
            }
            throw InternalFailure(texts::kPanicTypeFailed);
        }
        if (panic_type_slot == nullptr) {
            panic_type_slot = created;
        } else {
            Py_DECREF(created);
        }
    }
    return panic_type_slot;
}

}  // namespace corvalinth::python
