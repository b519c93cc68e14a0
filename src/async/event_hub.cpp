#include "async/event_hub.h"

namespace vesper {

void EventHub::mark_ready(const std::shared_ptr<HubMember>& member) {
    {
        std::lock_guard lock(mutex_);
        if (closed_.load(std::memory_order_relaxed) || !member->attached) return;
        if (!member->queued) {
            member->queued = true;
            ready_.push_back(member);
        }
    }
    // This thread polls the hub once the round it runs is over.
    if (draining_here() == this) return;
    schedule();
}

EventHub*& EventHub::draining_here() {
    static thread_local EventHub* hub = nullptr;
    return hub;
}

void EventHub::schedule() {
    if (interpreter_exiting()) return;
    if (pending_.exchange(true, std::memory_order_acq_rel)) return;
    GilAcquire gil;
    if (!gil.held()) return;
    // Checked again with the interpreter lock: close() lets the loop go
    // holding it.
    if (closed() || !loop_) return;
    PyRef method = PyRef::steal(PyObject_GetAttrString(loop_.get(), "call_soon_threadsafe"));
    PyRef scheduled;
    if (method) scheduled = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), notify_.get(), nullptr));
    if (!scheduled) {
        // A closed loop: dropped, and the next event tries again.
        PyErr_Clear();
        pending_.store(false, std::memory_order_release);
    }
}

bool EventHub::add(const std::shared_ptr<HubMember>& member) {
    std::lock_guard lock(mutex_);
    if (closed()) return false;
    members_.emplace(member.get(), member);
    return true;
}

void EventHub::remove(const std::shared_ptr<HubMember>& member) {
    std::shared_ptr<HubMember> dropped;
    std::lock_guard lock(mutex_);
    member->attached = false;
    auto found = members_.find(member.get());
    if (found == members_.end()) return;
    dropped = std::move(found->second);
    members_.erase(found);
    // Queued entries of detached members are skipped by next_ready.
}

std::shared_ptr<HubMember> EventHub::next_ready() {
    std::lock_guard lock(mutex_);
    while (!ready_.empty()) {
        std::shared_ptr<HubMember> member = std::move(ready_.front());
        ready_.pop_front();
        member->queued = false;
        if (member->attached) return member;
    }
    return nullptr;
}

void EventHub::requeue_front(const std::shared_ptr<HubMember>& member) {
    std::lock_guard lock(mutex_);
    if (!member->attached || member->queued) return;
    member->queued = true;
    ready_.push_front(member);
}

std::vector<std::shared_ptr<HubMember>> EventHub::close() {
    std::vector<std::shared_ptr<HubMember>> members;
    std::deque<std::shared_ptr<HubMember>> ready;
    std::lock_guard lock(mutex_);
    closed_.store(true, std::memory_order_release);
    members.reserve(members_.size());
    for (auto& [key, member] : members_) {
        member->attached = false;
        members.push_back(std::move(member));
    }
    members_.clear();
    ready.swap(ready_);
    return members;
}

void EventHub::drop_loop() {
    loop_.reset();
    notify_.reset();
}

size_t EventHub::attached_count() const {
    std::lock_guard lock(mutex_);
    return members_.size();
}

void HubNotifier::fire() {
    if (std::shared_ptr<EventHub> hub = member_->hub.lock()) hub->mark_ready(member_);
}

Status attach_to_hub(const std::shared_ptr<EventHub>& hub, HubMember::Kind kind, PyObject* object, PyObject* tag,
                     NotifierSlot& slot, HubLink& link) {
    detach_link(link);
    auto member = std::make_shared<HubMember>();
    member->kind = kind;
    member->object = PyRef::borrow(object);
    member->tag = PyRef::borrow(tag);
    member->notifier = &slot;
    member->link = &link;
    member->hub = hub;
    if (!hub->add(member)) return Failure::runtime("event hub is closed");
    link.set(member);
    slot.install(std::make_shared<HubNotifier>(member));
    return ok_status();
}

void detach_member(const std::shared_ptr<HubMember>& member) {
    if (std::shared_ptr<EventHub> hub = member->hub.lock()) hub->remove(member);
    member->notifier->remove();
    member->link->clear_if(member.get());
}

}  // namespace vesper
