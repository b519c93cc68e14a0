#include "module/method_descriptor.h"

#include <string>

#include "module/pytext.h"

namespace vesper {

namespace {

struct MethodObject {
    PyObject ob_base;
    const ClassDef* owner;
    const MethodDef* method;
};

struct BoundMethodObject {
    PyObject ob_base;
    const ClassDef* owner;
    const MethodDef* method;
    PyRef self;
};

// Ends a shared borrow on every way out of a method body.
class SharedBorrow {
public:
    explicit SharedBorrow(ObjectHeader* header) : header_(header) { ++header_->borrow; }
    ~SharedBorrow() { --header_->borrow; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    ObjectHeader* header_;
};

PyObject* dispatch(const ClassDef& owner, const MethodDef& method, PyObject* self, PyObject* args,
                   Py_ssize_t offset, PyObject* kwargs) {
    return python_boundary([&]() -> Result<PyRef> {
        TRY_ASSIGN(PyTypeObject* type, class_type(owner.id));
        if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
            return Failure::type_error("'" + type_name_of(self) + "' object cannot be converted to '" + owner.name +
                                       "'");
        }
        auto* header = reinterpret_cast<ObjectHeader*>(self);
        if (header->borrow == -1) return Failure::runtime("Already mutably borrowed");
        SharedBorrow borrow(header);
        if (method.kind == MethodKind::None) {
            const Py_ssize_t given = PyTuple_Size(args) - offset;
            if (given > 0 || (kwargs != nullptr && PyDict_Size(kwargs) > 0)) {
                const std::string full = std::string(owner.name) + "." + method.name + "()";
                if (given > 0) {
                    return Failure::type_error(full + " takes no arguments (" + std::to_string(given) + " given)");
                }
                return Failure::type_error(full + " takes no keyword arguments");
            }
            return method.body(self, Args());
        }
        TRY_ASSIGN(Args matched, Args::match(owner.name, method.name, method.params, args, offset, kwargs));
        return method.body(self, matched);
    });
}

// ------------------------------------------------------------ bound method

PyTypeObject* bound_method_type();

PyObject* bound_call(PyObject* object, PyObject* args, PyObject* kwargs) {
    auto* bound = reinterpret_cast<BoundMethodObject*>(object);
    return dispatch(*bound->owner, *bound->method, bound->self.get(), args, 0, kwargs);
}

void bound_dealloc(PyObject* object) {
    CallFrame frame;
    auto* bound = reinterpret_cast<BoundMethodObject*>(object);
    bound->self.~PyRef();
    PyTypeObject* type = Py_TYPE(object);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(object);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyObject* bound_repr(PyObject* object) {
    auto* bound = reinterpret_cast<BoundMethodObject*>(object);
    return PyUnicode_FromFormat("<bound method %s.%s of %R>", bound->owner->name, bound->method->name,
                                bound->self.get());
}

PyObject* get_self(PyObject* object, void*) {
    return reinterpret_cast<BoundMethodObject*>(object)->self.clone().release();
}

// ------------------------------------------------------- shared attributes

template <class T>
PyObject* get_name(PyObject* object, void*) {
    return PyUnicode_FromString(reinterpret_cast<T*>(object)->method->name);
}

template <class T>
PyObject* get_qualname(PyObject* object, void*) {
    auto* m = reinterpret_cast<T*>(object);
    return PyUnicode_FromFormat("%s.%s", m->owner->name, m->method->name);
}

template <class T>
PyObject* get_doc(PyObject* object, void*) {
    const char* doc = reinterpret_cast<T*>(object)->method->doc;
    if (doc == nullptr) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}

PyGetSetDef g_bound_getset[] = {
    {"__name__", get_name<BoundMethodObject>, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname<BoundMethodObject>, nullptr, nullptr, nullptr},
    {"__doc__", get_doc<BoundMethodObject>, nullptr, nullptr, nullptr},
    {"__self__", get_self, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* bound_method_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_call, reinterpret_cast<void*>(bound_call)},
            {Py_tp_dealloc, reinterpret_cast<void*>(bound_dealloc)},
            {Py_tp_repr, reinterpret_cast<void*>(bound_repr)},
            {Py_tp_getset, g_bound_getset},
            {0, nullptr},
        };
        PyType_Spec spec = {"vesper_native36.bound_method", static_cast<int>(sizeof(BoundMethodObject)), 0,
                            Py_TPFLAGS_DEFAULT, slots};
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    }
    return type;
}

// -------------------------------------------------------------- descriptor

PyObject* method_get(PyObject* object, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(object);
        return object;
    }
    PyTypeObject* type = bound_method_type();
    if (type == nullptr) return nullptr;
    PyObject* bound_object = PyType_GenericAlloc(type, 0);
    if (bound_object == nullptr) return nullptr;
    auto* method = reinterpret_cast<MethodObject*>(object);
    auto* bound = reinterpret_cast<BoundMethodObject*>(bound_object);
    bound->owner = method->owner;
    bound->method = method->method;
    new (&bound->self) PyRef(PyRef::borrow(instance));
    return bound_object;
}

PyObject* method_call(PyObject* object, PyObject* args, PyObject* kwargs) {
    auto* method = reinterpret_cast<MethodObject*>(object);
    if (PyTuple_Size(args) < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %s.%s() needs an argument", method->owner->name,
                     method->method->name);
        return nullptr;
    }
    return dispatch(*method->owner, *method->method, PyTuple_GetItem(args, 0), args, 1, kwargs);
}

void method_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(object);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyObject* method_repr(PyObject* object) {
    auto* method = reinterpret_cast<MethodObject*>(object);
    return PyUnicode_FromFormat("<method '%s' of '%s' objects>", method->method->name, method->owner->name);
}

PyGetSetDef g_method_getset[] = {
    {"__name__", get_name<MethodObject>, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname<MethodObject>, nullptr, nullptr, nullptr},
    {"__doc__", get_doc<MethodObject>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* method_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_call, reinterpret_cast<void*>(method_call)},
            {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
            {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
            {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
            {Py_tp_getset, g_method_getset},
            {0, nullptr},
        };
        PyType_Spec spec = {"vesper_native36.method", static_cast<int>(sizeof(MethodObject)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR, slots};
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    }
    return type;
}

}  // namespace

PyRef new_method_descriptor(const ClassDef& owner, const MethodDef& method) {
    PyTypeObject* type = method_type();
    if (type == nullptr) return PyRef();
    PyObject* object = PyType_GenericAlloc(type, 0);
    if (object == nullptr) return PyRef();
    auto* m = reinterpret_cast<MethodObject*>(object);
    m->owner = &owner;
    m->method = &method;
    return PyRef::steal(object);
}

}  // namespace vesper
