#pragma once
// Text of interpreter objects for messages: str objects to UTF-8, with lone
// surrogates (and any other unencodable content) replaced by U+FFFD.
#include <Python.h>

#include <string>
#include <string_view>

namespace corvalinth::binding {

// UTF-8 of a str object. A string holding lone surrogates is encoded with
// "surrogatepass" and the result decoded with invalid sequences replaced.
std::string unicode_to_utf8_lossy(PyObject* text);

// Replaces each maximal invalid UTF-8 subsequence by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace corvalinth::binding
