"""References given up on a Core thread are released on a Python thread:
a Python __del__ never runs on the network thread."""
import asyncio
import gc
import threading

from helpers import started


class Notify:
    """A notify whose finalizer records the thread it ran on."""

    def __init__(self, seen):
        self.seen = seen

    def __call__(self):
        pass

    def __del__(self):
        self.seen.append(threading.get_ident())


def _on_core_thread(fn):
    # ctypes gives up the interpreter lock around the double's entry point:
    # the callbacks it runs see a thread that is not in the module, as a
    # Core thread is.
    thread = threading.Thread(target=fn)
    thread.start()
    thread.join(10)
    assert not thread.is_alive()


def test_finalizer_runs_on_a_python_thread_not_the_core_thread(core, engine):
    loop = asyncio.new_event_loop()
    # A closed loop refuses call_soon_threadsafe, so nothing but the
    # request's state holds the doomed request's notify.
    closed = asyncio.new_event_loop()
    closed.close()
    try:
        seen = []
        doomed = engine.request("GET", "http://x/")
        doomed.start_async(closed, Notify(seen))
        doomed_id = core.last_id("request")
        del doomed                       # the Core's context keeps the state
        gc.collect()
        other = engine.request("GET", "http://x/")
        other.start_async(loop, lambda: None)
        other_id = core.last_id("request")
        core_thread = []

        def core_side():
            core_thread.append(threading.get_ident())
            core.complete(doomed_id)     # the state, and its notify, go here
            core.response(other_id)      # a notifier takes the interpreter lock
        _on_core_thread(core_side)
        assert seen == []                # queued, not run on the Core thread
        other.is_finished()              # a Python thread enters the module
        assert seen == [threading.get_ident()]
        assert core_thread[0] != seen[0]
    finally:
        loop.close()
