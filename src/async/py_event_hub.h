// PyEventHub: the Python class over EventHub.
#pragma once

#include <memory>

#include "async/event_hub.h"
#include "module/class_object.h"

namespace vesper {

struct EventHubContents {
    explicit EventHubContents(std::shared_ptr<EventHub> h) : hub(std::move(h)) {}
    // Closes the hub: an instance that goes leaves nothing scheduled.
    ~EventHubContents();
    EventHubContents(const EventHubContents&) = delete;
    EventHubContents& operator=(const EventHubContents&) = delete;

    std::shared_ptr<EventHub> hub;
};

// The hub of a PyEventHub argument (a TypeError for anything else).
Result<std::shared_ptr<EventHub>> to_event_hub(PyObject* object);

// start_hub(hub, tag) of a request or a WebSocket: `object` joins `hub`,
// then `start()` runs; a refused start leaves the hub again.
template <class Start>
Status start_on_hub(const std::shared_ptr<EventHub>& hub, HubMember::Kind kind, PyObject* object, PyObject* tag,
                    NotifierSlot& slot, HubLink& link, Start&& start) {
    TRY_STATUS(attach_to_hub(hub, kind, object, tag, slot, link));
    Status started = start();
    if (!started.ok()) detach_link(link);
    return started;
}

}  // namespace vesper
