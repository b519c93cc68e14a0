#include "module/byte_buffer.h"

#include "module/pytext.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace vesper {

namespace {

constexpr int kBufSimple = 0;
constexpr int kBufWritable = 1;

using GetBufferFn = int (*)(PyObject*, BufferView*, int);
using ReleaseBufferFn = void (*)(BufferView*);

struct BufferFunctions {
    GetBufferFn get = nullptr;
    ReleaseBufferFn release = nullptr;
};

// Looked up once (with the interpreter lock held): only an interpreter
// whose stable ABI has them (3.11+) is asked.
const BufferFunctions& buffer_functions() {
    static const BufferFunctions functions = [] {
        BufferFunctions f;
        const char* version = Py_GetVersion();
        char* end = nullptr;
        const long major = std::strtol(version, &end, 10);
        const long minor = (end && *end == '.') ? std::strtol(end + 1, nullptr, 10) : 0;
        if (major > 3 || (major == 3 && minor >= 11)) {
            f.get = reinterpret_cast<GetBufferFn>(dlsym(RTLD_DEFAULT, "PyObject_GetBuffer"));
            f.release = reinterpret_cast<ReleaseBufferFn>(dlsym(RTLD_DEFAULT, "PyBuffer_Release"));
            if (f.get == nullptr || f.release == nullptr) f = BufferFunctions{};
        }
        return f;
    }();
    return functions;
}

// A buffer of `object` with `flags`, or false (error cleared).
bool get_view(PyObject* object, BufferView& view, int flags) {
    const BufferFunctions& f = buffer_functions();
    if (f.get == nullptr) return false;
    if (f.get(object, &view, flags) == 0) return true;
    PyErr_Clear();
    return false;
}

void release_view(BufferView& view) { buffer_functions().release(&view); }

}  // namespace

bool buffer_protocol_available() { return buffer_functions().get != nullptr; }

// ------------------------------------------------------------------ input

ByteInput ByteInput::owned(Bytes bytes) {
    ByteInput in;
    in.copy_ = std::move(bytes);
    in.data_ = in.copy_.data();
    in.size_ = in.copy_.size();
    return in;
}

ByteInput ByteInput::of_bytes(PyRef bytes) {
    ByteInput in;
    char* data = nullptr;
    Py_ssize_t len = 0;
    PyBytes_AsStringAndSize(bytes.get(), &data, &len);
    in.data_ = reinterpret_cast<const uint8_t*>(data);
    in.size_ = static_cast<size_t>(len);
    in.object_ = std::move(bytes);
    return in;
}

ByteInput ByteInput::lent(PyRef owner, const uint8_t* data, size_t len) {
    ByteInput in;
    in.object_ = std::move(owner);
    in.data_ = data;
    in.size_ = len;
    return in;
}

ByteInput ByteInput::of_view(const BufferView& view) {
    ByteInput in;
    in.view_ = view;
    in.has_view_ = true;
    in.data_ = static_cast<const uint8_t*>(view.buf);
    in.size_ = static_cast<size_t>(view.len);
    return in;
}

void ByteInput::reset() {
    if (has_view_) {
        has_view_ = false;
        release_view(view_);
    }
    object_.reset();
    copy_.clear();
    data_ = nullptr;
    size_ = 0;
}

void ByteInput::take(ByteInput& other) {
    copy_ = std::move(other.copy_);
    object_ = std::move(other.object_);
    view_ = other.view_;
    has_view_ = std::exchange(other.has_view_, false);
    size_ = std::exchange(other.size_, 0);
    // A moved vector keeps its storage, so a pointer into the copy stays good.
    data_ = std::exchange(other.data_, nullptr);
}

Result<ByteInput> to_byte_input(PyObject* object, bool stable) {
    if (PyBytes_Check(object)) return ByteInput::of_bytes(PyRef::borrow(object));
    BufferView view;
    if (get_view(object, view, kBufSimple)) return ByteInput::of_view(view);
    if (PyByteArray_Check(object)) {
        const auto* data = reinterpret_cast<const uint8_t*>(PyByteArray_AsString(object));
        const size_t len = static_cast<size_t>(PyByteArray_Size(object));
        // Without an exported buffer a resize could move the storage once
        // the interpreter lock is given up: copy then.
        if (stable) return ByteInput::owned(Bytes(data, data + len));
        return ByteInput::lent(PyRef::borrow(object), data, len);
    }
    if (!buffer_protocol_available() && !PyList_Check(object) && !PyTuple_Check(object)) {
        PyRef view_object = PyRef::steal(PyMemoryView_FromObject(object));
        if (view_object) {
            PyRef copy = PyRef::steal(PyBytes_FromObject(view_object.get()));
            if (!copy) return Failure::fetch();
            return ByteInput::of_bytes(std::move(copy));
        }
        PyErr_Clear();
    }
    TRY_ASSIGN(Bytes bytes, to_bytes(object));
    return ByteInput::owned(std::move(bytes));
}

// ----------------------------------------------------------------- target

WritableTarget::~WritableTarget() {
    if (has_view_) release_view(view_);
}

WritableTarget::WritableTarget(WritableTarget&& other) noexcept
    : direct_(std::exchange(other.direct_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      object_(std::move(other.object_)),
      view_(other.view_),
      has_view_(std::exchange(other.has_view_, false)) {}

Status WritableTarget::store(const uint8_t* data, size_t len) {
    if (len == 0) return ok_status();
    if (direct_ != nullptr) {
        std::memcpy(direct_, data, len);
        return ok_status();
    }
    PyRef piece = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                         static_cast<Py_ssize_t>(len)));
    if (!piece) return Failure::fetch();
    if (PySequence_SetSlice(object_.get(), 0, static_cast<Py_ssize_t>(len), piece.get()) < 0) return Failure::fetch();
    return ok_status();
}

Result<WritableTarget> to_writable_target(PyObject* object) {
    WritableTarget target;
    if (get_view(object, target.view_, kBufWritable)) {
        target.has_view_ = true;
        target.direct_ = static_cast<uint8_t*>(target.view_.buf);
        target.size_ = static_cast<size_t>(target.view_.len);
        return target;
    }
    if (PyByteArray_Check(object)) {
        // Used with the interpreter lock held only: no resize can come
        // between this pointer and the copy.
        target.object_ = PyRef::borrow(object);
        target.direct_ = reinterpret_cast<uint8_t*>(PyByteArray_AsString(object));
        target.size_ = static_cast<size_t>(PyByteArray_Size(object));
        return target;
    }
    if (!buffer_protocol_available()) {
        PyRef view_object = PyRef::steal(PyMemoryView_FromObject(object));
        if (view_object) {
            PyRef readonly = PyRef::steal(PyObject_GetAttrString(view_object.get(), "readonly"));
            if (!readonly) return Failure::fetch();
            if (readonly.get() != Py_True) {
                PyRef flat = PyRef::steal(PyObject_CallMethod(view_object.get(), "cast", "s", "B"));
                if (!flat) return Failure::fetch();
                const Py_ssize_t len = PyObject_Size(flat.get());
                if (len < 0) return Failure::fetch();
                target.object_ = std::move(flat);
                target.size_ = static_cast<size_t>(len);
                return target;
            }
        } else {
            PyErr_Clear();
        }
    }
    return Failure::type_error("'" + type_name_of(object) + "' object is not a writable bytes-like object");
}

}  // namespace vesper
