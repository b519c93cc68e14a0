// PyEventHub(loop, notify): one asyncio wake-up per poll cycle for all the
// requests and WebSockets attached with start_hub.
#include "async/py_event_hub.h"

#include "module/pytext.h"
#include "request/py_request.h"
#include "websocket/py_websocket.h"
#include "websocket/websocket_values.h"

namespace vesper {

namespace {

constexpr uint64_t kDefaultLimit = 256;

constexpr const char* kConstructNames[] = {"loop", "notify"};
constexpr ParamList kConstructParams = {kConstructNames, 2, 2};
constexpr const char* kLimit[] = {"limit"};
constexpr const char* kObject[] = {"tag_owner"};


EventHub& hub_of(PyObject* self) { return *contents_of<EventHubContents>(self).hub; }

void close_hub(EventHub& hub) {
    std::vector<std::shared_ptr<HubMember>> members = hub.close();
    for (const auto& member : members) {
        member->notifier->remove();
        member->link->clear_if(member.get());
    }
    hub.drop_loop();
    // `members` goes last, with no lock held: the objects may go with it.
}

// Appends (tag, event) to `list`.
Status append_pair(PyObject* list, const HubMember& member, PyRef event) {
    TRY_ASSIGN(PyRef pair, make_tuple(member.tag.clone(), std::move(event)));
    if (PyList_Append(list, pair.get()) < 0) return Failure::fetch();
    return ok_status();
}

struct Drained {
    bool terminal = false;
    bool full = false;  // stopped for want of room, maybe not dry
};

Result<Drained> drain_request(PyObject* list, const HubMember& member, uint64_t room, uint64_t& count) {
    RequestContents& request = request_of(member.object.get());
    Drained out;
    for (uint64_t n = 0;; ++n) {
        if (n == room) {
            out.full = true;
            return out;
        }
        TRY_ASSIGN(std::optional<TakenEvent> event,
                   take_request_event(EventForm::Bytes, BodyDelivery::Signals, request));
        if (!event) return out;
        out.terminal = event->terminal;
        TRY_STATUS(append_pair(list, member, std::move(event->value)));
        ++count;
        if (out.terminal) return out;
    }
}

Result<Drained> drain_websocket(PyObject* list, const HubMember& member, uint64_t room, uint64_t& count) {
    WebSocketContents& socket = websocket_of(member.object.get());
    Drained out;
    Result<std::vector<WebSocketEvent>> popped = pop_websocket_events(socket, room);
    if (!popped.ok()) return out;  // never connected: nothing to deliver
    for (WebSocketEvent& event : popped.value()) {
        TRY_ASSIGN(PyRef value, websocket_hub_record(event));
        TRY_STATUS(append_pair(list, member, std::move(value)));
        ++count;
        if (event.terminal()) out.terminal = true;
    }
    out.full = !out.terminal && popped.value().size() == room;
    return out;
}

Result<PyRef> hub_poll(PyObject* self, const Args& args) {
    uint64_t limit = kDefaultLimit;
    if (args.given(0)) {
        TRY_ASSIGN(limit, args.convert(0, to_count));
    }
    if (limit == 0) limit = 1;
    EventHub& hub = hub_of(self);
    // Cleared before looking: an event recorded from now on either lands in
    // this poll or schedules a new notify.
    hub.clear_pending();
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return Failure::fetch();
    uint64_t count = 0;
    while (count < limit) {
        std::shared_ptr<HubMember> member = hub.next_ready();
        if (!member) break;
        TRY_ASSIGN(Drained drained, member->kind == HubMember::Kind::Request
                                        ? drain_request(list.get(), *member, limit - count, count)
                                        : drain_websocket(list.get(), *member, limit - count, count));
        if (drained.terminal) {
            detach_member(member);
        } else if (drained.full) {
            hub.requeue_front(member);
        }
    }
    return list;
}

// The hub link of a PyRequest or PyWebSocket.
Result<HubLink*> link_of(PyObject* object) {
    TRY_ASSIGN(PyTypeObject* request_type, class_type(ClassId::Request));
    TRY_ASSIGN(PyTypeObject* websocket_type, class_type(ClassId::WebSocket));
    if (PyObject_TypeCheck(object, request_type)) return &request_of(object).hub;
    if (PyObject_TypeCheck(object, websocket_type)) return &websocket_of(object).hub;
    return Failure::type_error("argument 'tag_owner': '" + type_name_of(object) +
                               "' object is neither a PyRequest nor a PyWebSocket");
}

Result<PyRef> hub_detach(PyObject* self, const Args& args) {
    TRY_ASSIGN(HubLink* link, link_of(args[0]));
    std::shared_ptr<HubMember> member = link->take();
    if (!member) return boolean(false);
    if (member->hub.lock().get() != &hub_of(self)) {
        link->set(std::move(member));  // attached elsewhere: left alone
        return boolean(false);
    }
    detach_member(member);
    return boolean(true);
}

Result<PyRef> hub_close(PyObject* self, const Args&) {
    close_hub(hub_of(self));
    return none();
}

Result<PyRef> hub_pending_count(PyObject* self, const Args&) {
    return make_int(static_cast<long long>(hub_of(self).attached_count()));
}

Result<PyRef> hub_is_closed(PyObject* self, const Args&) { return boolean(hub_of(self).closed()); }

constexpr const char* kPollDoc =
    "poll(limit=256) -> list[tuple[object, RequestEvent | WebSocketEvent]]\n"
    "Clears the pending flag, then returns up to `limit` (tag, event) pairs\n"
    "from the attached objects with events ready, the object that became\n"
    "ready first first.  A request's body is not among them: after RESPONSE\n"
    "its reader takes it with take_available(), told by READABLE (once per\n"
    "take that found nothing) and ENDED; flow control is the request's own\n"
    "(the Core pauses at 1 MiB queued).  A WebSocket's events are those of\n"
    "recv_message().  An object whose terminal event is returned is\n"
    "detached.  A full batch may leave events behind without a new notify:\n"
    "poll again.";
constexpr const char* kDetachDoc =
    "detach(tag_owner) -> bool\n"
    "Detaches a PyRequest or PyWebSocket from this hub; False if it was not attached.";
constexpr const char* kCloseDoc =
    "close()\nDetaches every object and lets the loop go: nothing is scheduled any more.";
constexpr const char* kCountDoc = "pending_count() -> int\nThe number of attached objects.";

const MethodDef kMethods[] = {
    {"poll", MethodKind::Args, {kLimit, 1, 0}, hub_poll, kPollDoc},
    {"detach", MethodKind::Args, {kObject, 1, 1}, hub_detach, kDetachDoc},
    {"close", MethodKind::None, kNoParams, hub_close, kCloseDoc},
    {"pending_count", MethodKind::None, kNoParams, hub_pending_count, kCountDoc},
    {"is_closed", MethodKind::None, kNoParams, hub_is_closed},
};

PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return python_boundary([&]() -> Result<PyRef> {
        TRY_ASSIGN(Args matched, Args::match("PyEventHub", "__new__", kConstructParams, args, 0, kwargs));
        if (!PyCallable_Check(matched[1])) {
            return Failure::type_error("argument 'notify': '" + type_name_of(matched[1]) + "' object is not callable");
        }
        auto hub = std::make_shared<EventHub>(PyRef::borrow(matched[0]), PyRef::borrow(matched[1]));
        return new_instance<EventHubContents>(ClassId::EventHub, std::move(hub));
    });
}

}  // namespace

EventHubContents::~EventHubContents() {
    if (hub) close_hub(*hub);
}

Result<std::shared_ptr<EventHub>> to_event_hub(PyObject* object) {
    TRY_ASSIGN(PyTypeObject* type, class_type(ClassId::EventHub));
    if (!PyObject_TypeCheck(object, type)) {
        return Failure::type_error("'" + type_name_of(object) + "' object cannot be converted to 'PyEventHub'");
    }
    return contents_of<EventHubContents>(object).hub;
}

const ClassDef kEventHubClass = {
    "PyEventHub",
    ClassId::EventHub,
    instance_size<EventHubContents>(),
    dealloc_instance<EventHubContents>,
    construct,
    kMethods,
    sizeof kMethods / sizeof kMethods[0],
    nullptr,
    nullptr,
};

}  // namespace vesper
