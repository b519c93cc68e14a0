// PyRef: the module's one owner of a Python reference.
//
// Every PyObject* kept past a statement lives in a PyRef.  Functions that
// return a new reference return a PyRef; borrowed pointers stay raw.
// Dropping a PyRef on a thread without the interpreter lock is safe: the
// decrement is queued (see gil.h).
#pragma once

#include <utility>

#include "module/gil.h"

namespace vesper {

class PyRef {
public:
    PyRef() = default;
    ~PyRef() { reset(); }

    PyRef(PyRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    // Takes over a new reference (may be null).
    static PyRef steal(PyObject* object) { return PyRef(object); }
    // Takes a new reference to a borrowed object; needs the interpreter lock.
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller (e.g. a return to the interpreter).
    PyObject* release() { return std::exchange(object_, nullptr); }
    PyRef clone() const { return borrow(object_); }
    void reset() { release_reference(std::exchange(object_, nullptr)); }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace vesper
