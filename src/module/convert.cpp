#include "module/convert.h"

#include <cmath>
#include <limits>

#include "module/pytext.h"

namespace vesper {

namespace {

Failure cannot_convert(PyObject* object, const char* target) {
    return Failure::type_error("'" + type_name_of(object) + "' object cannot be converted to '" + target + "'");
}

// Iterates a sequence, calling `each(item)` for every item; `each` returns a
// Status.  The size hint only reserves space.
template <class Container, class Each>
Status for_each_item(PyObject* object, Container& out, Each each) {
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<size_t>(hint));
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return Failure::fetch();
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        TRY_STATUS(each(item.get()));
    }
    if (PyErr_Occurred()) return Failure::fetch();
    return ok_status();
}

Result<long> bounded_integer(PyObject* object, long upper) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return Failure::fetch();
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) return Failure::fetch();
    if (value < 0 || value > upper) return Failure::overflow("out of range integral type conversion attempted");
    return value;
}

}  // namespace

uint64_t Duration::millis() const {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    const uint64_t extra = nanos / 1'000'000u;
    if (secs > (kMax - extra) / 1000u) return kMax;
    return secs * 1000u + extra;
}

uint64_t Duration::wait_millis() const {
    const uint64_t whole = millis();
    if (whole == std::numeric_limits<uint64_t>::max()) return whole;
    return whole + (nanos % 1'000'000u != 0 ? 1 : 0);
}

Result<PyRef> to_text_bytes(PyObject* object) {
    if (!PyUnicode_Check(object)) return cannot_convert(object, "PyString");
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(object));
    if (!bytes) return Failure::fetch();
    return bytes;
}

Result<std::string> to_text(PyObject* object) {
    TRY_ASSIGN(PyRef bytes, to_text_bytes(object));
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) return Failure::fetch();
    return std::string(data, static_cast<size_t>(len));
}

Result<std::optional<std::string>> to_optional_text(PyObject* object) {
    if (object == Py_None) return std::optional<std::string>();
    TRY_ASSIGN(std::string text, to_text(object));
    return std::optional<std::string>(std::move(text));
}

Result<bool> to_flag(PyObject* object) {
    if (!PyBool_Check(object)) return cannot_convert(object, "PyBool");
    return object == Py_True;
}

Result<Bytes> to_bytes(PyObject* object) {
    if (!PySequence_Check(object)) return cannot_convert(object, "Sequence");
    // bytes and bytearray hold their bytes already: copy them in one go.
    if (PyBytes_CheckExact(object)) {
        char* data = nullptr;
        Py_ssize_t len = 0;
        if (PyBytes_AsStringAndSize(object, &data, &len) < 0) return Failure::fetch();
        return Bytes(data, data + len);
    }
    if (PyByteArray_CheckExact(object)) {
        const char* data = PyByteArray_AsString(object);
        const Py_ssize_t len = PyByteArray_Size(object);
        return Bytes(data, data + len);
    }
    Bytes out;
    TRY_STATUS(for_each_item(object, out, [&](PyObject* item) -> Status {
        TRY_ASSIGN(uint8_t byte, to_byte(item));
        out.push_back(byte);
        return ok_status();
    }));
    return out;
}

Result<std::vector<std::string>> to_text_list(PyObject* object) {
    if (!PySequence_Check(object)) return cannot_convert(object, "Sequence");
    std::vector<std::string> out;
    TRY_STATUS(for_each_item(object, out, [&](PyObject* item) -> Status {
        TRY_ASSIGN(std::string text, to_text(item));
        out.push_back(std::move(text));
        return ok_status();
    }));
    return out;
}

Result<HeaderList> to_header_pairs(PyObject* object) {
    // A dict fails here: headers are pairs in order, never a mapping.
    if (!PySequence_Check(object)) return cannot_convert(object, "Sequence");
    HeaderList out;
    TRY_STATUS(for_each_item(object, out, [&](PyObject* item) -> Status {
        if (!PyTuple_Check(item)) return cannot_convert(item, "PyTuple");
        const Py_ssize_t len = PyTuple_Size(item);
        if (len != 2) {
            return Failure::value_error("Expected tuple of length 2, but got tuple of length " + std::to_string(len) + ".");
        }
        TRY_ASSIGN(std::string name, to_text(PyTuple_GetItem(item, 0)));
        TRY_ASSIGN(std::string value, to_text(PyTuple_GetItem(item, 1)));
        out.emplace_back(std::move(name), std::move(value));
        return ok_status();
    }));
    return out;
}

Result<uint8_t> to_byte(PyObject* object) {
    TRY_ASSIGN(long value, bounded_integer(object, 255));
    return static_cast<uint8_t>(value);
}

Result<uint16_t> to_port(PyObject* object) {
    TRY_ASSIGN(long value, bounded_integer(object, 65535));
    return static_cast<uint16_t>(value);
}

Result<uint64_t> to_count(PyObject* object) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return Failure::fetch();
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Failure::fetch();
    return static_cast<uint64_t>(value);
}

Result<std::optional<double>> to_seconds(PyObject* object) {
    if (object == Py_None) return std::optional<double>();
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return Failure::fetch();
    return std::optional<double>(value);
}

Result<std::optional<Duration>> check_timeout(std::optional<double> seconds) {
    if (!seconds) return std::optional<Duration>();
    const double value = *seconds;
    if (std::isnan(value) || std::isinf(value) || value < 0.0) {
        return Failure::runtime("timeout must be a finite non-negative number");
    }
    // 2^64 seconds and more do not fit a duration.
    if (value >= 18446744073709551616.0) {
        return Failure::overflow("timeout is too large: it must be under 2**64 seconds");
    }
    const double whole = std::floor(value);
    Duration d;
    d.secs = static_cast<uint64_t>(whole);
    const double nanos = std::nearbyint((value - whole) * 1e9);
    if (nanos >= 1e9) {
        if (d.secs == std::numeric_limits<uint64_t>::max()) {
            return Failure::overflow("timeout is too large: it must be under 2**64 seconds");
        }
        d.secs += 1;
    } else {
        d.nanos = static_cast<uint32_t>(nanos);
    }
    return std::optional<Duration>(d);
}

}  // namespace vesper
