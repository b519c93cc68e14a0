// PyRequest under asyncio: attaching and detaching the loop notifier.
#include "async/loop_notifier.h"
#include "async/py_event_hub.h"
#include "module/pytext.h"
#include "request/py_request.h"

namespace vesper {

namespace {

void install(PyObject* self, const Args& args) {
    RequestContents& request = request_of(self);
    install_notifier(request.handle->state().notifier(), request.pending, args[0], args[1]);
}

}  // namespace

Result<PyRef> request_start_async(PyObject* self, const Args& args) {
    install(self, args);
    // A refused start leaves the notifier installed; detach_callback removes it.
    TRY_STATUS(start_into_slot(request_of(self)));
    return none();
}

Result<PyRef> request_attach_async(PyObject* self, const Args& args) {
    install(self, args);
    return none();
}

Result<PyRef> request_start_hub(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::shared_ptr<EventHub> hub, args.convert(0, to_event_hub));
    RequestContents& request = request_of(self);
    TRY_STATUS(start_on_hub(hub, HubMember::Kind::Request, self, args[1], request.handle->state().notifier(),
                            request.hub, [&] { return start_into_slot(request); }));
    return none();
}

Result<PyRef> request_detach_callback(PyObject* self, const Args&) {
    finish_request(request_of(self));
    return none();
}

}  // namespace vesper
