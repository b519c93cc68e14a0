#include "websocket/pending_message.h"

#include "module/class_object.h"
#include "module/pytext.h"
#include "websocket/websocket_values.h"

namespace vesper {

namespace {

Result<PyRef> pending_take(PyObject* self, const Args&) {
    auto& pending = contents_of<PendingMessageContents>(self);
    std::lock_guard lock(pending.mutex);
    if (!pending.value) {
        TRY_ASSIGN(pending.value, message_value(pending.text, pending.payload.data(), pending.payload.size()));
        // The Core's buffer goes back to the connection for a later message.
        pending.payload = MessagePayload();
    }
    return pending.value.clone();
}

PyObject* size_getter(PyObject* self, void*) {
    return python_boundary([&]() -> Result<PyRef> {
        auto& pending = contents_of<PendingMessageContents>(self);
        std::lock_guard lock(pending.mutex);
        return make_int(static_cast<long long>(pending.value ? 0 : pending.payload.size()));
    });
}

PyGetSetDef g_getters[] = {
    {"pending_bytes", size_getter, nullptr, "bytes held until take() (0 once taken)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const MethodDef kMethods[] = {
    {"take", MethodKind::None, kNoParams, pending_take,
     "take() -> str | bytes\n"
     "The message: str for text (UTF-8, each invalid sequence replaced by\n"
     "U+FFFD), bytes for binary; made on the first call, the same object\n"
     "after."},
};

}  // namespace

Result<PyRef> new_pending_message(bool text, MessagePayload payload) {
    return new_instance<PendingMessageContents>(ClassId::PendingMessage, text, std::move(payload));
}

const ClassDef kPendingMessageClass = {
    "PendingMessage",
    ClassId::PendingMessage,
    instance_size<PendingMessageContents>(),
    dealloc_instance<PendingMessageContents>,
    refuse_construction,
    kMethods,
    sizeof kMethods / sizeof kMethods[0],
    nullptr,
    g_getters,
};

}  // namespace vesper
