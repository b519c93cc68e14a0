// EngineHandle: the module's owner of one Core engine.
#pragma once

#include <memory>

#include "halyard.h"
#include "module/network_thread.h"
#include "module/process_owner.h"

namespace vesper {

class EngineHandle {
public:
    explicit EngineHandle(hy_engine* engine) : engine_(engine) {}
    // In a forked child the engine is left as it is (see ProcessOwner).
    ~EngineHandle() {
        if (owner_.here()) hy_engine_release(engine_);
    }
    EngineHandle(const EngineHandle&) = delete;
    EngineHandle& operator=(const EngineHandle&) = delete;

    hy_engine* get() const { return engine_; }
    const ProcessOwner& owner() const { return owner_; }

private:
    hy_engine* engine_;  // never null
    ProcessOwner owner_;
};

// Counted references to the holder; the last one releases the Core engine.
using EngineRef = std::shared_ptr<EngineHandle>;

// The contents of a PyEngine: its one reference, and the identity of the
// network thread its callbacks run on (module/network_thread.h).
struct EngineContents {
    EngineRef handle;
    NetworkRef network;
};

}  // namespace vesper
