#include "module/core_failure.h"

#include "module/pytext.h"

namespace vesper {

namespace {

PyObject* make_type(const char* name, const char* doc) {
    return PyErr_NewExceptionWithDoc(name, doc, PyExc_RuntimeError, nullptr);
}

Result<PyRef> optional_int(std::optional<int32_t> value) {
    if (!value) return none();
    return make_int(*value);
}

Status set_attribute(PyObject* object, const char* name, Result<PyRef> value) {
    if (!value.ok()) return std::move(value).failure();
    if (PyObject_SetAttrString(object, name, value.value().get()) < 0) return Failure::fetch();
    return ok_status();
}

}  // namespace

PyObject* core_failure_type() {
    // Kept for the life of the process; a failed creation is tried again.
    static PyObject* type = nullptr;
    if (type != nullptr) return type;
    type = make_type(
        "vesper_native36.CoreFailure",
        "A failure the Core reported (or the module on its behalf): the text is the failure text; kind is the "
        "kind's code (failure_kinds names it), net_error the Chromium network error number, status a "
        "WebSocket handshake's HTTP status and timeout_phase the phase that ran out (\"connect\", \"read\", "
        "\"write\", \"pool\", \"total\", and for a WebSocket \"handshake\"), each None when the failure has none.");
    return type;
}

PyObject* network_thread_error_type() {
    static PyObject* type = nullptr;
    if (type != nullptr) return type;
    type = make_type(
        "vesper_native36.NetworkThreadError",
        "A blocking wait made on its engine's own network thread (from one of the engine's callbacks), refused.");
    return type;
}

// The package's names of the Core's timeout phases; null for none or one
// this module does not know.
static const char* timeout_phase_name(uint32_t phase) {
    switch (phase) {
    case HY_TIMEOUT_PHASE_CONNECT: return "connect";
    case HY_TIMEOUT_PHASE_READ: return "read";
    case HY_TIMEOUT_PHASE_WRITE: return "write";
    case HY_TIMEOUT_PHASE_POOL: return "pool";
    case HY_TIMEOUT_PHASE_TOTAL: return "total";
    case HY_TIMEOUT_PHASE_HANDSHAKE: return "handshake";
    default: return nullptr;
    }
}

Result<PyRef> core_failure_value(const CoreError& error, std::optional<int32_t> net_error,
                                 std::optional<int32_t> status, std::string_view text, uint32_t timeout_phase) {
    PyObject* type = core_failure_type();
    if (type == nullptr) return Failure::fetch();
    TRY_ASSIGN(PyRef message, make_str(text));
    PyRef value = PyRef::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
    if (!value) return Failure::fetch();
    TRY_STATUS(set_attribute(value.get(), "kind", make_int(error.code_of_kind())));
    TRY_STATUS(set_attribute(value.get(), "net_error", optional_int(net_error)));
    TRY_STATUS(set_attribute(value.get(), "status", optional_int(status)));
    const char* phase = timeout_phase_name(timeout_phase);
    TRY_STATUS(set_attribute(value.get(), "timeout_phase", phase ? make_str(phase) : Result<PyRef>(none())));
    return value;
}

Result<PyRef> failure_kind_names() {
    PyRef names = PyRef::steal(PyDict_New());
    if (!names) return Failure::fetch();
    for (int index = 0; index < kErrorKindCount; ++index) {
        const CoreError error{static_cast<ErrorKind>(index)};
        TRY_ASSIGN(PyRef code, make_int(error.code_of_kind()));
        TRY_ASSIGN(PyRef name, make_str(kind_name(error.kind)));
        if (PyDict_SetItem(names.get(), code.get(), name.get()) < 0) return Failure::fetch();
    }
    return names;
}

}  // namespace vesper
