#include "async/loop_notifier.h"

namespace vesper {

void LoopNotifier::fire() {
    if (interpreter_exiting()) return;
    if (flag_->pending.exchange(true, std::memory_order_acq_rel)) return;
    GilAcquire gil;
    if (!gil.held()) return;
    // Looked up afresh each time: the loop may have been closed or replaced.
    PyRef method = PyRef::steal(PyObject_GetAttrString(loop_.get(), "call_soon_threadsafe"));
    PyRef scheduled;
    if (method) scheduled = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), notify_.get(), nullptr));
    if (!scheduled) {
        PyErr_Clear();
        flag_->pending.store(false, std::memory_order_release);
    }
}

void install_notifier(NotifierSlot& slot, const PendingFlagRef& flag, PyObject* loop, PyObject* notify) {
    slot.install(std::make_shared<LoopNotifier>(flag, PyRef::borrow(loop), PyRef::borrow(notify)));
}

}  // namespace vesper
