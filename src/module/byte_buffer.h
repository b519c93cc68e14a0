// Bytes of Python objects without a Python-side copy: read-only input for
// bodies, uploads and WebSocket sends, and writable targets for readinto.
//
// The module is built on the 3.8 stable ABI, where the buffer protocol is
// not part of the limited API (Py_buffer and PyObject_GetBuffer joined it
// in 3.11).  So:
//   - bytes and bytearray are read through their own limited-API accessors
//     on every version;
//   - on 3.11 and later, any other buffer exporter (memoryview, array, mmap,
//     PickleBuffer ...) is read in place through PyObject_GetBuffer, looked
//     up at run time; the Py_buffer layout used is the one the 3.11 stable
//     ABI fixes;
//   - on 3.8 to 3.10, such objects are copied once through a memoryview
//     (PyMemoryView_FromObject and PyBytes_FromObject, both limited API).
// Like bytes(x) and socket.send(x), a buffer's raw bytes are taken, whatever
// its item format; objects without a buffer still go through the sequence
// of ints path.
#pragma once

#include <cstdint>
#include <utility>

#include "module/convert.h"

namespace vesper {

// The Py_buffer layout of the 3.11 stable ABI.
struct BufferView {
    void* buf = nullptr;
    PyObject* obj = nullptr;
    Py_ssize_t len = 0;
    Py_ssize_t itemsize = 0;
    int readonly = 0;
    int ndim = 0;
    char* format = nullptr;
    Py_ssize_t* shape = nullptr;
    Py_ssize_t* strides = nullptr;
    Py_ssize_t* suboffsets = nullptr;
    void* internal = nullptr;
};

// True when this interpreter offers PyObject_GetBuffer through its stable
// ABI (3.11 and later).
bool buffer_protocol_available();

// Bytes lent by a Python object (or copied from it) for the length of one
// module call.  `stable` inputs stay valid with the interpreter lock given
// up (the object is immutable or its buffer is exported, which forbids a
// resize); the others are copies.  Destroyed with the interpreter lock held.
class ByteInput {
public:
    ByteInput() = default;
    ~ByteInput() { reset(); }
    ByteInput(ByteInput&& other) noexcept { take(other); }
    ByteInput& operator=(ByteInput&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    ByteInput(const ByteInput&) = delete;
    ByteInput& operator=(const ByteInput&) = delete;

    static ByteInput owned(Bytes bytes);
    static ByteInput of_bytes(PyRef bytes);
    static ByteInput of_view(const BufferView& view);
    // Memory of `owner`, valid while the interpreter lock stays held.
    static ByteInput lent(PyRef owner, const uint8_t* data, size_t len);

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    void reset();
    void take(ByteInput& other);

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    Bytes copy_;
    PyRef object_;
    BufferView view_;
    bool has_view_ = false;
};

// bytes, bytearray, any buffer exporter, or a sequence of ints 0..255 (the
// conversion `to_bytes` makes, with its messages).  A bytearray read without
// the buffer protocol is copied when `stable` is asked for.
Result<ByteInput> to_byte_input(PyObject* object, bool stable);

// A writable target of readinto.  Used with the interpreter lock held.
class WritableTarget {
public:
    WritableTarget() = default;
    ~WritableTarget();
    WritableTarget(WritableTarget&& other) noexcept;
    WritableTarget& operator=(WritableTarget&&) = delete;
    WritableTarget(const WritableTarget&) = delete;

    size_t size() const { return size_; }
    // Where to copy to: the target's own memory, or null when the bytes must
    // be stored through `store` (3.8 to 3.10, other types than bytearray).
    uint8_t* direct() const { return direct_; }
    // Writes data[0:len] at the start of the target.
    Status store(const uint8_t* data, size_t len);

    friend Result<WritableTarget> to_writable_target(PyObject* object);

private:
    uint8_t* direct_ = nullptr;
    size_t size_ = 0;
    PyRef object_;  // the bytearray, or the byte-cast memoryview to store through
    BufferView view_;
    bool has_view_ = false;
};

Result<WritableTarget> to_writable_target(PyObject* object);

}  // namespace vesper
