// PendingMessage: a received WebSocket message the event hub hands out
// before its Python object is made.  The hub's poll takes every event
// queued at once; had it made the str or bytes of each large message then,
// a window of them would be allocated and dropped together, and glibc gives
// such a run back to the system and faults it in again, page by page, for
// the next window.  take() makes the object when the reader asks for the
// message, one at a time, and gives the Core's buffer back.
#pragma once

#include <mutex>
#include <utility>

#include "module/failure.h"
#include "module/py_ref.h"
#include "websocket/message_payload.h"

namespace vesper {

struct PendingMessageContents {
    PendingMessageContents(bool is_text, MessagePayload bytes) : text(is_text), payload(std::move(bytes)) {}

    std::mutex mutex;
    const bool text;
    MessagePayload payload;  // emptied once taken
    PyRef value;             // the str or bytes, once made
};

Result<PyRef> new_pending_message(bool text, MessagePayload payload);

}  // namespace vesper
