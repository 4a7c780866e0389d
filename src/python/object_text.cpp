// Object display and representation for messages.
#include "python/object_text.hpp"

#include "python/interface_texts.hpp"
#include "python/py_error.hpp"
#include "python/py_ref.hpp"

namespace corvalinth::python {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Accepted range of the byte after a lead byte; 0 continuation bytes means
// the lead byte is never valid.
struct LeadRule {
    int continuations;
    unsigned char low;
    unsigned char high;
};

LeadRule lead_rule(unsigned char c) {
    if (c >= 0xC2 && c <= 0xDF) return {1, 0x80, 0xBF};
    if (c == 0xE0) return {2, 0xA0, 0xBF};
    if (c == 0xED) return {2, 0x80, 0x9F};
    if (c >= 0xE1 && c <= 0xEF) return {2, 0x80, 0xBF};
    if (c == 0xF0) return {3, 0x90, 0xBF};
    if (c >= 0xF1 && c <= 0xF3) return {3, 0x80, 0xBF};
    if (c == 0xF4) return {3, 0x80, 0x8F};
    return {0, 0, 0};
}

// str() or repr() of `o` as text; `render` is PyObject_Str or PyObject_Repr.
std::string render_text(PyObject* o, PyObject* (*render)(PyObject*)) {
    PyRef text = PyRef::steal(render(o));
    if (text) return unicode_to_utf8_lossy(text.get());
    PyErr_WriteUnraisable(o);
    const char* name = Py_TYPE(o)->tp_name;
    std::string_view raw = name != nullptr ? std::string_view(name) : std::string_view();
    if (name == nullptr || utf8_lossy(raw) != raw) return texts::kUnprintableObject;
    return texts::kUnprintableBefore + std::string(raw) + texts::kUnprintableAfter;
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        const LeadRule rule = lead_rule(c);
        std::size_t j = i + 1;
        int taken = 0;
        while (taken < rule.continuations && j < n) {
            const auto b = static_cast<unsigned char>(bytes[j]);
            const unsigned char low = taken == 0 ? rule.low : 0x80;
            const unsigned char high = taken == 0 ? rule.high : 0xBF;
            if (b < low || b > high) break;
            ++j;
            ++taken;
        }
        if (rule.continuations != 0 && taken == rule.continuations) {
            out.append(bytes.substr(i, j - i));
        } else {
            out.append(kReplacement);
        }
        i = j;
    }
    return out;
}

std::string unicode_to_utf8_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
    PyErr_Clear();
    PyRef bytes = PyRef::steal(checked(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass")));
    return utf8_lossy(
        std::string_view(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

std::string display(PyObject* o) { return render_text(o, PyObject_Str); }

std::string repr_text(PyObject* o) { return render_text(o, PyObject_Repr); }

}  // namespace corvalinth::python
