// The module's entry point: builds the module object and registers the four
// classes and the interface version.
#include "halyard.h"
#include "module/class_object.h"
#include "module/core_extensions.h"
#include "module/core_failure.h"
#include "module/event_records.h"

namespace vesper {

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "vesper_native36",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to the module's __all__ (made on first use), then sets the
// attribute.
Status add_attribute(PyObject* module, const char* name, PyRef value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Failure::fetch();
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all) return Failure::fetch();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Failure::fetch();
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || !PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Clear();
        return Failure::panic("could not append __name__ to __all__");
    }
    if (PyObject_SetAttrString(module, name, value.get()) < 0) return Failure::fetch();
    return ok_status();
}

PyObject* on_interpreter_exit(PyObject*, PyObject*) {
    mark_interpreter_exiting();
    Py_RETURN_NONE;
}

PyMethodDef g_exit_hook = {"vesper_native36_exit", on_interpreter_exit, METH_NOARGS, nullptr};

// Tells the module when the interpreter starts to exit: from then on Core
// threads no longer wake asyncio loops (the interpreter would end such a
// thread instead of letting it in).
Status register_exit_hook() {
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return Failure::fetch();
    PyRef hook = PyRef::steal(PyCFunction_NewEx(&g_exit_hook, nullptr, nullptr));
    if (!hook) return Failure::fetch();
    PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    if (!done) return Failure::fetch();
    return ok_status();
}

Status add_class(PyObject* module, ClassId id) {
    TRY_ASSIGN(PyTypeObject* type, class_type(id));
    return add_attribute(module, class_def(id).name, PyRef::borrow(reinterpret_cast<PyObject*>(type)));
}

// The extension functions the loaded Core offers, by name: the package and
// the tests ask it before using a feature built on one.
Result<PyRef> core_extension_names() {
    PyRef names = PyRef::steal(PyList_New(0));
    if (!names) return Failure::fetch();
    bool failed = false;
    for_each_core_extension([&](const char* name, bool found) {
        if (!found || failed) return;
        PyRef text = PyRef::steal(PyUnicode_FromString(name));
        failed = !text || PyList_Append(names.get(), text.get()) < 0;
    });
    if (failed) return Failure::fetch();
    PyRef set = PyRef::steal(PyFrozenSet_New(names.get()));
    if (!set) return Failure::fetch();
    return set;
}

Result<PyRef> initialise() {
    find_core_extensions();
    PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION));
    if (!module) return Failure::fetch();
    for (ClassId id : {ClassId::Engine, ClassId::Request, ClassId::Response, ClassId::WebSocket}) {
        TRY_STATUS(add_class(module.get(), id));
    }
    // Additions: attributes, left out of the established __all__.
    for (auto [name, id] : {std::pair{"PyEventHub", ClassId::EventHub},
                            std::pair{"PendingMessage", ClassId::PendingMessage}}) {
        TRY_ASSIGN(PyTypeObject* type, class_type(id));
        if (PyObject_SetAttrString(module.get(), name, reinterpret_cast<PyObject*>(type)) < 0) return Failure::fetch();
    }
    // The failures as values: the exception classes and the kind names.
    PyObject* core_failure = core_failure_type();
    if (core_failure == nullptr) return Failure::fetch();
    if (PyObject_SetAttrString(module.get(), "CoreFailure", core_failure) < 0) return Failure::fetch();
    PyObject* thread_error = network_thread_error_type();
    if (thread_error == nullptr) return Failure::fetch();
    if (PyObject_SetAttrString(module.get(), "NetworkThreadError", thread_error) < 0) return Failure::fetch();
    // The typed event records of the bytes forms, with their kind constants.
    for (auto [name, type] : {std::pair{"RequestEvent", request_event_type()},
                              std::pair{"WebSocketEvent", websocket_event_type()}}) {
        if (type == nullptr) return Failure::fetch();
        if (PyObject_SetAttrString(module.get(), name, type) < 0) return Failure::fetch();
    }
    TRY_ASSIGN(PyRef kind_names, failure_kind_names());
    if (PyObject_SetAttrString(module.get(), "failure_kinds", kind_names.get()) < 0) return Failure::fetch();
    TRY_ASSIGN(PyRef extensions, core_extension_names());
    if (PyObject_SetAttrString(module.get(), "core_extensions", extensions.get()) < 0) return Failure::fetch();
    PyRef version = PyRef::steal(PyLong_FromUnsignedLong(HY_ABI_VERSION));
    if (!version) return Failure::fetch();
    TRY_STATUS(add_attribute(module.get(), "abi_version", std::move(version)));
    TRY_STATUS(register_exit_hook());
    return module;
}

}  // namespace

}  // namespace vesper

PyMODINIT_FUNC PyInit_vesper_native36(void) {
    return vesper::python_boundary(vesper::initialise);
}
