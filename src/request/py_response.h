// PyResponse: an immutable snapshot of a response head.
#pragma once

#include <cstdint>

#include "module/convert.h"

namespace vesper {

struct ResponseContents {
    int32_t status = 0;
    Bytes headers;  // the head block exactly as the Core delivered it
    Bytes content;  // empty for the responses the request operations make
};

Result<PyRef> new_response(int32_t status, Bytes headers);

}  // namespace vesper
