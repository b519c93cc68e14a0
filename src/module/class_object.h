// The module's classes: instance layout, type creation, allocation.
//
// Every instance is the object header, a borrow counter, then the class's
// contents (a C++ object constructed in place and destroyed with the
// instance).  Methods take a shared borrow for their whole run, also while
// a blocking wait has released the interpreter lock; nothing takes an
// exclusive one, so all mutable state lives behind the contents' own locks.
#pragma once

#include <new>
#include <utility>

#include "module/args.h"
#include "module/frame.h"

namespace vesper {

enum class ClassId { Engine = 0, Request, Response, WebSocket, EventHub, PendingMessage };
inline constexpr int kClassCount = 6;

enum class MethodKind { Args, None };

// The parameter list of a method that takes none.
inline constexpr const char* kNoParamNames[] = {nullptr};
inline constexpr ParamList kNoParams = {kNoParamNames, 0, 0};

// One instance method.  The body runs after the type check of self, the
// borrow and the argument matching.
struct MethodDef {
    const char* name;
    MethodKind kind;
    ParamList params;  // kind Args only
    Result<PyRef> (*body)(PyObject* self, const Args& args);
    const char* doc = nullptr;
};

struct ClassDef {
    const char* name;              // "PyEngine"
    ClassId id;
    int basic_size;
    void (*dealloc)(PyObject*);
    PyObject* (*construct)(PyTypeObject*, PyObject*, PyObject*);  // null: no constructor
    const MethodDef* methods;
    size_t method_count;
    PyMethodDef* static_methods;   // null-terminated table, or null
    PyGetSetDef* getters;          // null-terminated table, or null
    // Set for classes whose instances hold Python objects that may refer
    // back to them (a notify that captures its request): the instances are
    // then tracked by the garbage collector.  `traverse` visits what the
    // contents hold; `clear` lets it go.
    int (*traverse)(PyObject* self, visitproc visit, void* arg) = nullptr;
    int (*clear)(PyObject* self) = nullptr;
};

// The definitions, one per class file.
extern const ClassDef kEngineClass;
extern const ClassDef kRequestClass;
extern const ClassDef kResponseClass;
extern const ClassDef kWebSocketClass;
extern const ClassDef kEventHubClass;
extern const ClassDef kPendingMessageClass;

const ClassDef& class_def(ClassId id);
// The class's type object, created on first need and kept for the process.
Result<PyTypeObject*> class_type(ClassId id);

struct ObjectHeader {
    PyObject ob_base;
    Py_ssize_t borrow;  // 0 idle, n>0 shared uses, -1 exclusive (never taken)
};

template <class Contents>
struct Instance : ObjectHeader {
    Contents contents;
};

template <class Contents>
Contents& contents_of(PyObject* self) {
    return static_cast<Instance<Contents>*>(reinterpret_cast<ObjectHeader*>(self))->contents;
}

void free_instance(PyObject* self);

// Allocates an instance of the class and builds its contents from `args`.
// If the allocation fails, the arguments are dropped by the caller at once
// (releasing any Core handle they hold).
template <class Contents, class... A>
Result<PyRef> new_instance(ClassId id, A&&... args) {
    TRY_ASSIGN(PyTypeObject* type, class_type(id));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* object = alloc(type, 0);
    if (object == nullptr) return Failure::fetch();
    auto* instance = static_cast<Instance<Contents>*>(reinterpret_cast<ObjectHeader*>(object));
    instance->borrow = 0;
    // A collection must not visit contents not yet built.
    const bool tracked = PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC;
    if (tracked) PyObject_GC_UnTrack(object);
    try {
        new (&instance->contents) Contents(std::forward<A>(args)...);
    } catch (...) {
        free_instance(object);
        throw;
    }
    if (tracked) PyObject_GC_Track(object);
    return PyRef::steal(object);
}

template <class Contents>
void dealloc_instance(PyObject* self) noexcept {
    CallFrame frame;
    if (PyType_GetFlags(Py_TYPE(self)) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
    contents_of<Contents>(self).~Contents();
    free_instance(self);
}

template <class Contents>
constexpr int instance_size() {
    return static_cast<int>(sizeof(Instance<Contents>));
}

// The constructor of classes whose instances only come from operations.
PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*);

}  // namespace vesper
