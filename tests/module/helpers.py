"""Small helpers shared by the module tests."""
import threading


class Background:
    """Runs `fn` on a Python thread and hands back its result or exception."""

    def __init__(self, fn, *args):
        self.result = None
        self.error = None
        self._thread = threading.Thread(target=self._run, args=(fn, args), daemon=True)
        self._thread.start()

    def _run(self, fn, args):
        try:
            self.result = fn(*args)
        except BaseException as exc:  # handed to the test
            self.error = exc

    def join(self, timeout=10):
        self._thread.join(timeout)
        assert not self._thread.is_alive(), "background call did not return"
        if self.error is not None:
            raise self.error
        return self.result


def started(core, engine, *args, **kwargs):
    """A started request and its id in the double."""
    request = engine.request(*(args or ("GET", "http://x/")), **kwargs)
    request.start()
    return request, core.last_id("request")


def failure_texts(event):
    """An event (a tuple, or a record as event_tuples.as_tuple shapes it)
    with each CoreFailure item (the bytes forms' failure value) replaced by
    its text, for comparing with expected texts."""
    from bound import native
    from event_tuples import as_tuple

    return tuple(str(item) if isinstance(item, native.CoreFailure) else item for item in as_tuple(event))
