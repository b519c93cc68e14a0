#include "module/class_object.h"

namespace vesper {

namespace {
struct RequestContents {};
}  // namespace

const ClassDef kRequestClass = {
    "PyRequest", ClassId::Request, instance_size<RequestContents>(), dealloc_instance<RequestContents>,
    nullptr,     nullptr,          0,                                nullptr,
    nullptr,
};

}  // namespace vesper
