"""ctypes control layer of the Core double (libhalyard.so built from double.cpp).

The module's tests load the double before importing vesper_native36, so the
module's dependency on libhalyard.so resolves to it.
"""
import ctypes
import json
import os

_u8p = ctypes.c_char_p


def _buf(data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    return bytes(data)


class CoreDouble:
    def __init__(self, path):
        # Loaded globally and first: the module's DT_NEEDED libhalyard.so
        # then matches this library by its SONAME.
        self.lib = ctypes.CDLL(os.fspath(path), mode=ctypes.RTLD_GLOBAL)
        lib = self.lib
        lib.hyd_reset.restype = None
        lib.hyd_set_recording.argtypes = [ctypes.c_int]
        lib.hyd_set_abi.argtypes = [ctypes.c_uint32]
        lib.hyd_set_version.argtypes = [ctypes.c_char_p]
        lib.hyd_script.argtypes = [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_int]
        lib.hyd_calls.argtypes = [ctypes.c_char_p]
        lib.hyd_calls.restype = ctypes.c_uint64
        lib.hyd_record_count.argtypes = [ctypes.c_char_p]
        lib.hyd_record.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.hyd_record.restype = ctypes.c_char_p
        lib.hyd_last_id.argtypes = [ctypes.c_char_p]
        lib.hyd_released.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.hyd_resume_count.argtypes = [ctypes.c_int]
        lib.hyd_resume_count.restype = ctypes.c_uint64
        lib.hyd_upload_full.argtypes = [ctypes.c_int, ctypes.c_int]
        lib.hyd_set_sent_heads.argtypes = [ctypes.c_int, _u8p, ctypes.c_uint64]
        lib.hyd_set_from_cache.argtypes = [ctypes.c_int, ctypes.c_uint32]
        lib.hyd_set_timeout_phase.argtypes = [ctypes.c_int, ctypes.c_uint32]
        lib.hyd_ws_set_timeout_phase.argtypes = [ctypes.c_int, ctypes.c_uint32]
        lib.hyd_auto_respond.argtypes = [ctypes.c_int, ctypes.c_int32, _u8p, ctypes.c_uint64]
        lib.hyd_fire_response.argtypes = [ctypes.c_int, ctypes.c_int32, _u8p, ctypes.c_uint64]
        lib.hyd_fire_data.argtypes = [ctypes.c_int, _u8p, ctypes.c_uint64]
        lib.hyd_fire_data.restype = ctypes.c_int32
        lib.hyd_fire_data_repeat.argtypes = [ctypes.c_int, _u8p, ctypes.c_uint64, ctypes.c_uint64]
        lib.hyd_fire_data_repeat.restype = ctypes.c_int64
        lib.hyd_fire_complete.argtypes = [ctypes.c_int, ctypes.c_uint32, ctypes.c_int32]
        lib.hyd_fire_redirect.argtypes = [ctypes.c_int, ctypes.c_int32, _u8p, ctypes.c_uint64,
                                          _u8p, ctypes.c_uint64, _u8p, ctypes.c_uint64]
        lib.hyd_stream_body.argtypes = [ctypes.c_int, ctypes.c_uint64, ctypes.c_uint64]
        lib.hyd_ws_fire_open.argtypes = [ctypes.c_int, _u8p, ctypes.c_uint64, _u8p, ctypes.c_uint64]
        lib.hyd_ws_fire_message.argtypes = [ctypes.c_int, ctypes.c_uint32, ctypes.c_uint32, _u8p,
                                            ctypes.c_uint64, ctypes.c_uint64]
        lib.hyd_ws_fire_closing.argtypes = [ctypes.c_int]
        lib.hyd_ws_fire_close.argtypes = [ctypes.c_int, ctypes.c_uint32, ctypes.c_uint16, _u8p,
                                          ctypes.c_uint64]
        lib.hyd_ws_fire_error.argtypes = [ctypes.c_int, ctypes.c_uint32, ctypes.c_int32, ctypes.c_int32,
                                          _u8p, ctypes.c_uint64]

    # -- set-up ------------------------------------------------------------
    def reset(self):
        self.lib.hyd_reset()

    def set_recording(self, on):
        self.lib.hyd_set_recording(1 if on else 0)

    def set_abi(self, abi):
        self.lib.hyd_set_abi(abi)

    def set_version(self, text):
        self.lib.hyd_set_version(None if text is None else text.encode("utf-8"))

    def script(self, function, code, null_handle=False):
        """The next call of `function` answers `code`."""
        self.lib.hyd_script(function.encode(), code, 1 if null_handle else 0)

    def auto_respond(self, body=b"", status=200, enabled=True):
        self.lib.hyd_auto_respond(1 if enabled else 0, status, bytes(body), len(body))

    # -- observation -------------------------------------------------------
    def calls(self, function):
        return self.lib.hyd_calls(function.encode())

    def records(self, kind):
        n = self.lib.hyd_record_count(kind.encode())
        return [json.loads(self.lib.hyd_record(kind.encode(), i)) for i in range(n)]

    def record(self, kind, index=-1):
        raw = self.lib.hyd_record(kind.encode(), index)
        assert raw is not None, f"no {kind} record {index}"
        return json.loads(raw)

    def last_id(self, kind):
        return self.lib.hyd_last_id(kind.encode())

    def released(self, kind, ident):
        return self.lib.hyd_released(kind.encode(), ident)

    def set_sent_heads(self, ident, heads):
        """What the request's hy_request_sent_heads hands out from now on."""
        heads = _buf(heads)
        assert self.lib.hyd_set_sent_heads(ident, heads, len(heads)) == 0

    def set_from_cache(self, ident, from_cache=True):
        """What the request's hy_request_from_cache answers from now on."""
        assert self.lib.hyd_set_from_cache(ident, 1 if from_cache else 0) == 0

    def set_timeout_phase(self, ident, phase):
        """What the request's hy_request_timeout_phase answers from now on."""
        assert self.lib.hyd_set_timeout_phase(ident, phase) == 0

    def ws_set_timeout_phase(self, ident, phase):
        """What the WebSocket's hy_websocket_timeout_phase answers from now on."""
        assert self.lib.hyd_ws_set_timeout_phase(ident, phase) == 0

    def upload_full(self, ident, full=True):
        """Holds the request's upload queue full: hy_request_upload_wait
        times out until it is let go (full=False)."""
        assert self.lib.hyd_upload_full(ident, 1 if full else 0) == 0

    def resume_count(self, ident):
        return self.lib.hyd_resume_count(ident)

    # -- request callbacks (each from a new native thread) -----------------
    def response(self, ident, status=200, head=b"HTTP/1.1 200 OK\r\n\r\n"):
        head = _buf(head)
        assert self.lib.hyd_fire_response(ident, status, head, len(head)) == 0

    def data(self, ident, chunk):
        chunk = _buf(chunk)
        return self.lib.hyd_fire_data(ident, chunk, len(chunk))

    def data_repeat(self, ident, chunk, count):
        chunk = _buf(chunk)
        return self.lib.hyd_fire_data_repeat(ident, chunk, len(chunk), count)

    def raw_data(self, ident, pointer, length):
        """on_data with an arbitrary (pointer, length) pair."""
        return self.lib.hyd_fire_data(ident, pointer, length)

    def complete(self, ident, code=0, net_error=0):
        assert self.lib.hyd_fire_complete(ident, code, net_error) == 0

    def redirect(self, ident, status=302, raw=b"", first=b"", second=b""):
        raw, first, second = _buf(raw), _buf(first), _buf(second)
        assert self.lib.hyd_fire_redirect(ident, status, raw, len(raw), first, len(first),
                                          second, len(second)) == 0

    def wait_idle(self, timeout=10.0):
        """Waits until every detached Core-like thread of the double ended."""
        import time
        deadline = time.monotonic() + timeout
        while self.lib.hyd_running_threads() != 0:
            assert time.monotonic() < deadline, "double threads still running"
            time.sleep(0.001)

    def stream_body(self, ident, chunk, total):
        assert self.lib.hyd_stream_body(ident, chunk, total) == 0

    # -- WebSocket callbacks -----------------------------------------------
    def ws_open(self, ident, protocol=b"", extensions=b""):
        protocol, extensions = _buf(protocol), _buf(extensions)
        assert self.lib.hyd_ws_fire_open(ident, protocol, len(protocol), extensions, len(extensions)) == 0

    def ws_message(self, ident, data, kind=1, flags=0, count=1, length=None):
        data = _buf(data)
        n = len(data) if length is None else length
        assert self.lib.hyd_ws_fire_message(ident, kind, flags, data, n, count) == 0

    def ws_closing(self, ident):
        assert self.lib.hyd_ws_fire_closing(ident) == 0

    def ws_close(self, ident, code=1000, reason=b"", flags=0):
        reason = _buf(reason)
        assert self.lib.hyd_ws_fire_close(ident, flags, code, reason, len(reason)) == 0

    def ws_error(self, ident, code=8, net_error=-105, response=0, message=b""):
        message = _buf(message)
        assert self.lib.hyd_ws_fire_error(ident, code, net_error, response, message, len(message)) == 0


def text_of(field):
    """The bytes a record field held (None when its pointer was null)."""
    if field["null"]:
        return None
    return bytes.fromhex(field["hex"])
