#include "pyclass.hpp"
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "implroster", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_implroster(void) { return PyModuleDef_Init(&def); }
