"""walk_redirects(stream=True): the walk ends at the final head and leaves
its body to read, so a large final body is never held whole."""
import threading

import vesper

from conftest import Driver, head


def test_a_streamed_walk_leaves_the_body_to_read(core):
    release = threading.Event()

    def act(core, ident):
        core.response(ident, 200, head(200, "Content-Length: 4"))
        # The body comes only once the walk has ended: a walk that read it
        # would wait here until its read timeout.
        assert release.wait(5)
        core.data(ident, b"body")
        core.complete(ident)

    driver = Driver(core, act)
    try:
        with vesper.Client(trust_env=False, timeout=5) as client:
            with client.walk_redirects("GET", "http://a/", stream=True) as walk:
                assert list(walk) == []
                assert walk.response is not None and walk.response.status_code == 200
                release.set()
                assert b"".join(walk.response.iter_bytes()) == b"body"
    finally:
        release.set()
        driver.join()
