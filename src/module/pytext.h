// Text and byte values between Python and the module (interpreter lock held).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "module/failure.h"

namespace vesper {

// UTF-8 of a str for use in a message: strict when possible, else through
// "surrogatepass" with each invalid sequence replaced by U+FFFD.
std::string message_utf8(PyObject* unicode);
// str(object) as message text; "" (error cleared) when str() fails.
std::string str_of(PyObject* object);
// The __qualname__ of the object's type, for messages.
std::string type_name_of(PyObject* object);

// A str from UTF-8 the module produced (valid by construction).
Result<PyRef> make_str(std::string_view utf8);
// A list of ints 0..255, one per byte.
Result<PyRef> make_byte_list(const uint8_t* data, size_t len);
Result<PyRef> make_bytes(const uint8_t* data, size_t len);
Result<PyRef> make_int(long long value);

// The value as a quoted literal for option messages: "..." with \" \\ \t
// \r \n \0 escaped and other non-printable characters as \u{hex}.
std::string quoted_literal(std::string_view utf8);

}  // namespace vesper

namespace vesper {

Result<PyRef> tuple_from(PyRef* items, size_t count);

// A tuple of the given new references.
template <class... Items>
Result<PyRef> make_tuple(Items&&... items) {
    PyRef array[] = {std::move(items)...};
    return tuple_from(array, sizeof...(Items));
}

inline PyRef none() { return PyRef::borrow(Py_None); }
inline PyRef boolean(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

}  // namespace vesper
