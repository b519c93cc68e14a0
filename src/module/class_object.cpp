#include "module/class_object.h"

#include "module/method_descriptor.h"

namespace vesper {

namespace {

struct ClassCache {
    bool created = false;
    PyTypeObject* type = nullptr;
};

ClassCache g_classes[kClassCount];

PyTypeObject* create_type(const ClassDef& def) {
    const std::string qualified = std::string("builtins.") + def.name;
    PyType_Slot slots[8];
    int n = 0;
    slots[n++] = {Py_tp_base, &PyBaseObject_Type};
    slots[n++] = {Py_tp_new, reinterpret_cast<void*>(def.construct ? def.construct : refuse_construction)};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)};
    if (def.static_methods) slots[n++] = {Py_tp_methods, def.static_methods};
    if (def.getters) slots[n++] = {Py_tp_getset, def.getters};
    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (def.traverse) {
        flags |= Py_TPFLAGS_HAVE_GC;
        slots[n++] = {Py_tp_traverse, reinterpret_cast<void*>(def.traverse)};
        slots[n++] = {Py_tp_clear, reinterpret_cast<void*>(def.clear)};
    }
    slots[n++] = {0, nullptr};
    PyType_Spec spec = {qualified.c_str(), def.basic_size, 0, flags, slots};
    PyRef type = PyRef::steal(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    // Instance methods are descriptors of the module's own, so that the
    // type of self is checked by the module with its own message.
    for (size_t i = 0; i < def.method_count; ++i) {
        PyRef descriptor = new_method_descriptor(def, def.methods[i]);
        if (!descriptor) return nullptr;
        if (PyObject_SetAttrString(type.get(), def.methods[i].name, descriptor.get()) < 0) return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace

const ClassDef& class_def(ClassId id) {
    static const ClassDef* const defs[kClassCount] = {&kEngineClass,    &kRequestClass,  &kResponseClass,
                                                      &kWebSocketClass, &kEventHubClass, &kPendingMessageClass};
    return *defs[static_cast<int>(id)];
}

Result<PyTypeObject*> class_type(ClassId id) {
    ClassCache& cache = g_classes[static_cast<int>(id)];
    if (cache.created) return cache.type;
    const ClassDef& def = class_def(id);
    PyTypeObject* type = create_type(def);
    if (type == nullptr) {
        PyErr_Print();
        return Failure::panic(std::string("An error occurred while initializing class ") + def.name);
    }
    cache.type = type;
    cache.created = true;
    return type;
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    // Instances of heap types own a reference to their type.
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
    return python_boundary([]() -> Result<PyRef> { return Failure::type_error("No constructor defined"); });
}

}  // namespace vesper
