// Instance methods of the module's classes.
//
// A method is a descriptor of the module's own type rather than the
// interpreter's method descriptor, so that a call through the class with a
// foreign self (PyRequest.cancel(engine)) reaches the module's type check
// and its message.  The type is flagged as a method descriptor, so
// `obj.method(...)` calls it without creating a bound method.
#pragma once

#include "module/class_object.h"

namespace vesper {

PyRef new_method_descriptor(const ClassDef& owner, const MethodDef& method);

}  // namespace vesper
