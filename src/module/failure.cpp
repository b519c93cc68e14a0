#include "module/failure.h"

#include "module/core_failure.h"
#include "module/panic.h"
#include "module/pytext.h"

namespace vesper {

Failure Failure::fetch() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return Failure(Type::System, "attempted to fetch exception but none was set");
    }
    PyObject* panic_type = panic_exception_type();
    if (panic_type != nullptr && PyErr_GivenExceptionMatches(type, panic_type)) {
        // A fault of this module that came back through Python code it
        // called: report it and carry on as the same fault.
        PyErr_NormalizeException(&type, &value, &traceback);
        std::string message = value ? str_of(value) : std::string();
        PyErr_Restore(type, value, traceback);
        PySys_WriteStderr("vesper_native36: a fault of this module came back through Python code.\n");
        PySys_WriteStderr("vesper_native36: resuming the fault; its traceback follows.\n");
        PyErr_PrintEx(0);
        return panic(message.empty() ? kGenericFaultText : message);
    }
    if (panic_type == nullptr) PyErr_Clear();
    Failure failure(Type::Python, std::string());
    failure.ptype_ = PyRef::steal(type);
    failure.pvalue_ = PyRef::steal(value);
    failure.ptraceback_ = PyRef::steal(traceback);
    return failure;
}

bool Failure::is_exact_type_error() const {
    if (type_ == Type::TypeError) return true;
    return type_ == Type::Python && ptype_.get() == PyExc_TypeError;
}

std::string Failure::message_text() const {
    if (type_ != Type::Python) return message_;
    PyObject* type = ptype_.clone().release();
    PyObject* value = pvalue_.clone().release();
    PyObject* traceback = ptraceback_.clone().release();
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string text = value ? str_of(value) : std::string();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return text;
}

void Failure::raise() && {
    PyObject* type = nullptr;
    switch (type_) {
        case Type::Python:
            PyErr_Restore(ptype_.release(), pvalue_.release(), ptraceback_.release());
            return;
        case Type::Runtime: type = PyExc_RuntimeError; break;
        case Type::TypeError: type = PyExc_TypeError; break;
        case Type::Overflow: type = PyExc_OverflowError; break;
        case Type::Value: type = PyExc_ValueError; break;
        case Type::System: type = PyExc_SystemError; break;
        case Type::Timeout: type = PyExc_TimeoutError; break;
        case Type::Panic:
            type = panic_exception_type();
            if (type == nullptr) return;  // its creation failure is pending
            break;
        case Type::NetworkThread:
            type = network_thread_error_type();
            if (type == nullptr) return;
            break;
        case Type::Core: {
            Result<PyRef> value = core_failure_value(error_, net_error_, status_, message_, timeout_phase_);
            if (!value.ok()) {
                std::move(value).failure().raise();
                return;
            }
            PyErr_SetObject(core_failure_type(), value.value().get());
            return;
        }
    }
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (!text) return;  // the encoding failure is pending
    PyErr_SetObject(type, text.get());
}

}  // namespace vesper
