#include "module/panic.h"

namespace vesper {

PyObject* panic_exception_type() {
    // Created on first need and kept for the life of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewException("vesper_runtime.PanicException", PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace vesper
