// PyEngine.loop_attach / loop_drive / loop_detach: an asyncio loop's thread
// runs the engine's network loop itself (the Core's hy_engine_loop_*), so
// that the callbacks run there and their events reach the loop's hub with
// no wake-up from another thread.  Without the extension every answer says
// "not attached" and the network thread does the work, as before.
#include "async/py_event_hub.h"
#include "engine/py_engine.h"
#include "module/convert.h"
#include "module/core_extensions.h"
#include "module/gil.h"
#include "module/pytext.h"

namespace vesper {

Result<PyRef> engine_loop_attach(PyObject* self, const Args&) {
    const auto attach = core_extensions().engine_loop_attach;
    if (attach == nullptr || core_extensions().engine_loop_drive == nullptr ||
        core_extensions().engine_loop_detach == nullptr)
        return make_int(-1);
    TRY_ASSIGN(hy_engine* engine, engine_core_handle(self));
    int32_t fd = -1;
    if (attach(engine, &fd) != HY_OK) return make_int(-1);
    note_loop_attach(engine_network(self).get());
    return make_int(fd);
}

Result<PyRef> engine_loop_drive(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::shared_ptr<EventHub> hub, args.convert(0, to_event_hub));
    const auto drive = core_extensions().engine_loop_drive;
    if (drive == nullptr) return none();
    TRY_ASSIGN(hy_engine* engine, engine_core_handle(self));
    int64_t next_ms = 0;
    uint32_t rc = HY_OK;
    {
        // The callbacks of the round take no interpreter lock for this
        // hub's events; the caller polls it next.
        DrainingScope draining(hub.get());
        GilRelease unlocked;
        rc = drive(engine, &next_ms);
    }
    if (rc != HY_OK) return none();
    PyRef seconds = PyRef::steal(PyFloat_FromDouble(static_cast<double>(next_ms) / 1000.0));
    if (!seconds) return Failure::fetch();
    return seconds;
}

Result<PyRef> engine_loop_detach(PyObject* self, const Args&) {
    const auto detach = core_extensions().engine_loop_detach;
    if (detach == nullptr) return boolean(false);
    TRY_ASSIGN(hy_engine* engine, engine_core_handle(self));
    if (detach(engine) != HY_OK) return boolean(false);
    note_loop_detach(engine_network(self).get());
    return boolean(true);
}

}  // namespace vesper
