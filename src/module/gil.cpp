#include "module/gil.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace vesper {

namespace {

thread_local bool t_gil_held = false;
std::atomic<bool> g_interpreter_exiting{false};

struct PendingDecrements {
    std::atomic<bool> pending{false};
    std::mutex mutex;
    std::vector<PyObject*> objects;
};

// Never destroyed: Core threads may still queue references while the
// process exits.
PendingDecrements& pending_queue() {
    static auto* queue = new PendingDecrements();
    return *queue;
}

}  // namespace

bool gil_held() { return t_gil_held; }

void mark_interpreter_exiting() { g_interpreter_exiting.store(true, std::memory_order_release); }
bool interpreter_exiting() { return g_interpreter_exiting.load(std::memory_order_acquire); }

void release_reference(PyObject* object) {
    if (object == nullptr) return;
    if (t_gil_held) {
        Py_DECREF(object);
        return;
    }
    auto& queue = pending_queue();
    {
        std::lock_guard lock(queue.mutex);
        queue.objects.push_back(object);
    }
    queue.pending.store(true, std::memory_order_release);
}

void drain_pending_decrements() {
    auto& queue = pending_queue();
    if (!queue.pending.exchange(false, std::memory_order_acq_rel)) return;
    std::vector<PyObject*> objects;
    {
        std::lock_guard lock(queue.mutex);
        objects.swap(queue.objects);
    }
    for (PyObject* object : objects) Py_DECREF(object);
}

GilHeldScope::GilHeldScope() : previous_(t_gil_held) { t_gil_held = true; }
GilHeldScope::~GilHeldScope() { t_gil_held = previous_; }

GilRelease::GilRelease() : previous_(t_gil_held) {
    t_gil_held = false;
    state_ = PyEval_SaveThread();
}

GilRelease::~GilRelease() noexcept(false) {
    PyEval_RestoreThread(state_);
    t_gil_held = previous_;
}

GilAcquire::GilAcquire() {
    state_ = PyGILState_Ensure();
    previous_ = t_gil_held;
    t_gil_held = true;
    // The queued decrements are not drained here: a Core thread would run
    // a Python __del__, which stalls every connection of its network
    // thread (or deadlocks, waiting on that engine).  Python threads
    // entering the module drain them (CallFrame).
}

GilAcquire::~GilAcquire() {
    t_gil_held = previous_;
    PyGILState_Release(state_);
}

}  // namespace vesper
