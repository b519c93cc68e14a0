// The one way module code includes the interpreter's headers: stable ABI only.
#pragma once

#ifndef Py_LIMITED_API
#error "the module builds against the stable ABI: define Py_LIMITED_API"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
