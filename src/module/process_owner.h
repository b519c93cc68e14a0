// The process a Core object was made in.  After fork() a child holds
// copies of its parent's Core objects, but not the network threads that
// serve them: using one would wait for ever, and releasing one could block
// on a lock a vanished thread held.
#pragma once

#include <sys/types.h>

#include "module/failure.h"

namespace vesper {

// This process's id without a system call: kept by the module and renewed
// in a fork()'s child (pthread_atfork).  Every request asks several times,
// and getpid() is a system call since glibc 2.25.
pid_t current_process();

class ProcessOwner {
public:
    ProcessOwner() : pid_(current_process()) {}
    bool here() const { return current_process() == pid_; }

private:
    pid_t pid_;
};

inline Status check_process(const ProcessOwner& owner) {
    if (owner.here()) return ok_status();
    return Failure::runtime(
        "this engine was created in another process (before fork()): its network thread does not run here; "
        "create a new PyEngine in this process");
}

}  // namespace vesper
