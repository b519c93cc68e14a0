#include "module/pytext.h"

#include <cstdio>

#include "module/utf8.h"

namespace vesper {

std::string message_utf8(PyObject* unicode) {
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(unicode));
    if (!bytes) {
        PyErr_Clear();
        bytes = PyRef::steal(PyUnicode_AsEncodedString(unicode, "utf-8", "surrogatepass"));
        if (!bytes) {
            PyErr_Clear();
            return std::string();
        }
        char* data = nullptr;
        Py_ssize_t len = 0;
        PyBytes_AsStringAndSize(bytes.get(), &data, &len);
        return utf8_lossy(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(len));
    }
    char* data = nullptr;
    Py_ssize_t len = 0;
    PyBytes_AsStringAndSize(bytes.get(), &data, &len);
    return std::string(data, static_cast<size_t>(len));
}

std::string str_of(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        return std::string();
    }
    return message_utf8(text.get());
}

std::string type_name_of(PyObject* object) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return "object";
    }
    return message_utf8(name.get());
}

Result<PyRef> make_str(std::string_view utf8) {
    PyRef s = PyRef::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
    if (!s) return Failure::fetch();
    return s;
}

namespace {

// The interpreter's cached small ints 0..255, borrowed once and kept: the
// body lists are built from them without a lookup per byte.
PyObject* const* small_ints() {
    static PyObject* table[256] = {};
    if (table[255] == nullptr) {
        for (int i = 0; i < 256; ++i) table[i] = PyLong_FromLong(i);
    }
    return table;
}

}  // namespace

Result<PyRef> make_byte_list(const uint8_t* data, size_t len) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(len)));
    if (!list) return Failure::fetch();
    PyObject* const* ints = small_ints();
    PyObject* raw = list.get();
    for (size_t i = 0; i < len; ++i) {
        PyObject* item = ints[data[i]];
        Py_INCREF(item);
        PyList_SetItem(raw, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

Result<PyRef> make_bytes(const uint8_t* data, size_t len) {
    PyRef b = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(len)));
    if (!b) return Failure::fetch();
    return b;
}

Result<PyRef> make_int(long long value) {
    PyRef i = PyRef::steal(PyLong_FromLongLong(value));
    if (!i) return Failure::fetch();
    return i;
}

namespace {

bool printable(char32_t cp) {
    if (cp < 0x20 || cp == 0x7F) return false;
    if (cp < 0x7F) return true;
    if (cp < 0xA0) return false;
    PyRef ch = PyRef::steal(PyUnicode_FromOrdinal(static_cast<int>(cp)));
    if (!ch) {
        PyErr_Clear();
        return false;
    }
    PyRef answer = PyRef::steal(PyObject_CallMethod(ch.get(), "isprintable", nullptr));
    if (!answer) {
        PyErr_Clear();
        return false;
    }
    return answer.get() == Py_True;
}

}  // namespace

std::string quoted_literal(std::string_view utf8) {
    std::string out = "\"";
    size_t pos = 0;
    while (pos < utf8.size()) {
        const char32_t cp = utf8_next(utf8, pos);
        switch (cp) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case 0: out += "\\0"; continue;
            default: break;
        }
        if (printable(cp)) {
            utf8_append(out, cp);
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out += buf;
        }
    }
    out += '"';
    return out;
}

}  // namespace vesper

namespace vesper {

Result<PyRef> tuple_from(PyRef* items, size_t count) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple) return Failure::fetch();
    for (size_t i = 0; i < count; ++i) PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return tuple;
}

}  // namespace vesper
