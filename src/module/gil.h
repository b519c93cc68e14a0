// Who holds the interpreter lock, and references given up without it.
//
// The module keeps its own per-thread record of whether this thread holds
// the interpreter lock: the call frame sets it, the guards below clear and
// restore it.  A reference dropped while the record says "not held" (a Core
// thread, or a Python thread inside a blocking wait) is queued and released
// by the next call frame on any thread.
#pragma once

#include "module/python.h"

namespace vesper {

bool gil_held();

// Set once the interpreter starts to exit (an atexit hook the module
// registers): Core threads then stop asking for the interpreter lock,
// which a finalizing interpreter answers by ending the asking thread.  It
// returns once no Core thread is inside the interpreter (or after a bound
// of a few seconds), giving up the lock meanwhile: nothing of the module
// touches the interpreter from a Core thread once finalization begins.
void mark_interpreter_exiting();
bool interpreter_exiting();

// Gives up one reference: at once when this thread holds the interpreter
// lock, else through the pending-decrement queue, which only Python
// threads entering the module drain.
void release_reference(PyObject* object);

// Applies queued decrements; the caller holds the interpreter lock.
void drain_pending_decrements();

// Marks the calling thread as holding the interpreter lock for its scope
// (used by the call frame, whose caller already holds it).
class GilHeldScope {
public:
    GilHeldScope();
    ~GilHeldScope();
    GilHeldScope(const GilHeldScope&) = delete;
    GilHeldScope& operator=(const GilHeldScope&) = delete;

private:
    bool previous_;
};

// Releases the interpreter lock for its scope (blocking waits, Core calls).
// Taking it back in a finalizing interpreter ends the thread by unwinding,
// so the destructor may throw that unwind.
class GilRelease {
public:
    GilRelease();
    ~GilRelease() noexcept(false);
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
    bool previous_;
};

// Takes the interpreter lock on a thread that may not hold it (a Core
// thread), unless the interpreter is exiting: then held() is false and the
// caller must not touch Python.  Unlike a call frame it leaves queued
// decrements alone.
class GilAcquire {
public:
    GilAcquire();
    ~GilAcquire();
    GilAcquire(const GilAcquire&) = delete;
    GilAcquire& operator=(const GilAcquire&) = delete;

    bool held() const { return held_; }

private:
    PyGILState_STATE state_{};
    bool previous_ = false;
    bool held_ = false;
};

}  // namespace vesper
