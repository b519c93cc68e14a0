#include "module/gil.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <mutex>
#include <vector>

namespace vesper {

namespace {

thread_local bool t_gil_held = false;
std::atomic<bool> g_interpreter_exiting{false};
// Core threads between their check of g_interpreter_exiting and the end of
// their GilAcquire: the exit hook waits for them to leave.
std::atomic<int> g_core_threads_inside{0};

// How long the exit hook waits for Core threads inside the interpreter.
constexpr auto kExitWait = std::chrono::seconds(5);

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

void mark_interpreter_exiting() {
    g_interpreter_exiting.store(true, std::memory_order_seq_cst);
    // Finalization begins once the hook returns: a Core thread still
    // inside (or waiting for the lock to get in) must be out by then, so
    // the lock is given up until they have left.
    if (g_core_threads_inside.load(std::memory_order_seq_cst) == 0) return;
    PyThreadState* state = PyEval_SaveThread();
    const auto end = std::chrono::steady_clock::now() + kExitWait;
    while (g_core_threads_inside.load(std::memory_order_seq_cst) != 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    PyEval_RestoreThread(state);
}
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
    // Counted in before the check, so the exit hook either sees this thread
    // inside or this thread sees the hook's flag.
    g_core_threads_inside.fetch_add(1, std::memory_order_seq_cst);
    if (g_interpreter_exiting.load(std::memory_order_seq_cst)) {
        g_core_threads_inside.fetch_sub(1, std::memory_order_seq_cst);
        return;
    }
    held_ = true;
    state_ = PyGILState_Ensure();
    previous_ = t_gil_held;
    t_gil_held = true;
    // The queued decrements are not drained here: a Core thread would run
    // a Python __del__, which stalls every connection of its network
    // thread (or deadlocks, waiting on that engine).  Python threads
    // entering the module drain them (CallFrame).
}

GilAcquire::~GilAcquire() {
    if (!held_) return;
    t_gil_held = previous_;
    PyGILState_Release(state_);
    g_core_threads_inside.fetch_sub(1, std::memory_order_seq_cst);
}

}  // namespace vesper
