#pragma once
// Text of interpreter objects for messages: str objects to UTF-8, with lone
// surrogates (and any other unencodable content) replaced by U+FFFD.
#include <Python.h>

#include <string>
#include <string_view>

namespace corvalinth::python {

// UTF-8 of a str object. A string holding lone surrogates is encoded with
// "surrogatepass" and the result decoded with invalid sequences replaced.
std::string unicode_to_utf8_lossy(PyObject* text);

// Replaces each maximal invalid UTF-8 subsequence by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Object display: str(o) as UTF-8 (lone surrogates via "surrogatepass" then
// replaced by U+FFFD); "<unprintable {tp_name} object>" when str() raises.
std::string display(PyObject* o);
// repr(o) as UTF-8, with the same fallback.
std::string repr_text(PyObject* o);

}  // namespace corvalinth::python
