// Intrusive reference counting for state shared between Python threads and
// Core threads.  The Core holds plain pointers (callback contexts), so the
// count lives in the object: a context reference is one count like any other.
#pragma once

#include <atomic>
#include <utility>

namespace vesper {

class RefCounted {
public:
    RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    void retain() const { count_.fetch_add(1, std::memory_order_relaxed); }
    // Drops one count; the last one destroys the object.
    void release() const {
        if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

protected:
    virtual ~RefCounted() = default;

private:
    mutable std::atomic<long> count_{1};
};

// A counted reference; the object starts with one count, which `adopt` takes.
template <class T>
class Shared {
public:
    Shared() = default;
    static Shared adopt(T* object) { return Shared(object); }
    static Shared share(T* object) {
        if (object) object->retain();
        return Shared(object);
    }
    ~Shared() { reset(); }
    Shared(const Shared& other) : object_(other.object_) {
        if (object_) object_->retain();
    }
    Shared(Shared&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Shared& operator=(Shared other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }
    void reset() {
        if (T* object = std::exchange(object_, nullptr)) object->release();
    }

private:
    explicit Shared(T* object) : object_(object) {}
    T* object_ = nullptr;
};

template <class T, class... A>
Shared<T> make_shared_ref(A&&... args) {
    return Shared<T>::adopt(new T(std::forward<A>(args)...));
}

}  // namespace vesper
