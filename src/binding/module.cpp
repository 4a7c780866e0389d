// Module definition and initialisation.
#include <Python.h>

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvalinth",
    "corvalinth - High-performance machine learning library",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_corvalinth() {
    return PyModule_Create2(&module_def, 1013);
}
