"""PyEngine's options and cookie jar, through the Core's extensions: what
reaches the Core, and what comes back."""
import threading

import pytest

from conftest import native, text_of


@pytest.mark.core_extension("hy_engine_create_with_options")
def test_options_reach_the_core_as_lines(core):
    native.PyEngine(proxy="http://p:1", options=[("max_connections", "3"), ("resolve", "a.test:443:127.0.0.1"),
                                                  ("resolve", "b.test:80:[::1]")])
    record = core.record("engine")
    assert text_of(record["options"]) == b"max_connections=3\nresolve=a.test:443:127.0.0.1\nresolve=b.test:80:[::1]\n"
    assert text_of(record["proxy"]) == b"http://p:1"
    assert core.calls("hy_engine_create_with_options") == 1 and core.calls("hy_engine_create") == 0
    # Without options the specified function makes the engine.
    native.PyEngine(options=[])
    native.PyEngine(options=None)
    assert core.calls("hy_engine_create") == 2 and "options" not in core.record("engine")


@pytest.mark.core_extension("hy_engine_create_with_options")
@pytest.mark.parametrize("options, error", [
    ([("a=b", "1")], ValueError), ([("", "1")], ValueError), ([("a", "1\n2")], ValueError),
    ([("a",)], ValueError), ("max_connections=1", TypeError), ([("a", 1)], TypeError),
])
def test_bad_options_are_refused_before_the_core(core, options, error):
    with pytest.raises(error):
        native.PyEngine(options=options)
    assert core.calls("hy_engine_create_with_options") == 0


@pytest.mark.core_extension("hy_engine_create_with_options")
def test_a_refused_option_raises_the_cores_code(core):
    core.script("hy_engine_create_with_options", 1)
    with pytest.raises(RuntimeError, match="InvalidArgument"):
        native.PyEngine(options=[("max_connections", "0")])


@pytest.mark.core_extension("hy_engine_cookies")
def test_cookies_apply_and_list(core, engine):
    line = "a.test\tFALSE\t/\tFALSE\t0\tn\tv"
    assert engine.cookies() == ""
    assert engine.cookies(line) == line + "\n"
    many = [f"b.test\tFALSE\t/\tFALSE\t0\tc{i}\t{'x' * 100}" for i in range(100)]
    for item in many:
        engine.cookies(item)
    # A list longer than the first buffer is read whole.
    assert engine.cookies().splitlines() == [line] + many
    assert engine.cookies("ALL") == ""
    commands = [text_of(r["command"]) for r in core.records("cookies")]
    assert commands[:2] == [b"", line.encode()] and commands[-1] == b"ALL"


@pytest.mark.core_extension("hy_engine_cookies")
def test_cookies_failure_and_the_interpreter_lock(core, engine):
    core.script("hy_engine_cookies", 1)
    with pytest.raises(RuntimeError, match="InvalidArgument"):
        engine.cookies("bad")
    with pytest.raises(TypeError):
        engine.cookies(3)
    # Other threads run while the Core works on the jar.
    results = []
    threads = [threading.Thread(target=lambda: results.append(engine.cookies())) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert results == [""] * 4
