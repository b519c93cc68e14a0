#include "request/py_response.h"

#include "module/class_object.h"
#include "module/pytext.h"

namespace vesper {

namespace {

template <Result<PyRef> (*Get)(const ResponseContents&)>
PyObject* getter(PyObject* self, void*) {
    return python_boundary([&]() -> Result<PyRef> {
        if (reinterpret_cast<ObjectHeader*>(self)->borrow == -1) return Failure::runtime("Already mutably borrowed");
        return Get(contents_of<ResponseContents>(self));
    });
}

Result<PyRef> status_code(const ResponseContents& r) { return make_int(r.status); }
Result<PyRef> headers(const ResponseContents& r) { return make_bytes(r.headers.data(), r.headers.size()); }
Result<PyRef> content(const ResponseContents& r) { return make_bytes(r.content.data(), r.content.size()); }

PyGetSetDef g_getters[] = {
    {"status_code", getter<status_code>, nullptr, nullptr, nullptr},
    {"content", getter<content>, nullptr, nullptr, nullptr},
    {"headers", getter<headers>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

Result<PyRef> new_response(int32_t status, Bytes headers) {
    return new_instance<ResponseContents>(ClassId::Response, ResponseContents{status, std::move(headers), Bytes()});
}

const ClassDef kResponseClass = {
    "PyResponse",
    ClassId::Response,
    instance_size<ResponseContents>(),
    dealloc_instance<ResponseContents>,
    nullptr,
    nullptr,
    0,
    nullptr,
    g_getters,
};

}  // namespace vesper
