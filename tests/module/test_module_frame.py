"""The module's face: attributes, classes, the call frame's argument matching."""
import threading

import pytest

import vesper_native36 as native


def test_module_attributes():
    assert native.__all__ == ["PyEngine", "PyRequest", "PyResponse", "PyWebSocket", "abi_version"]
    assert native.abi_version == 8 and type(native.abi_version) is int
    assert native.__doc__ == ""


@pytest.mark.parametrize("name", ["PyEngine", "PyRequest", "PyResponse", "PyWebSocket", "PyEventHub"])
def test_classes_are_final_builtins(name):
    cls = getattr(native, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", ["PyRequest", "PyResponse", "PyWebSocket"])
def test_no_constructor(name):
    with pytest.raises(TypeError) as info:
        getattr(native, name)()
    assert str(info.value) == "No constructor defined"


def test_engine_static_methods(core):
    assert native.PyEngine.abi_version() == 8
    assert native.PyEngine().abi_version() == 8
    with pytest.raises(TypeError):
        native.PyEngine.abi_version(1)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((None,) * 13, {}, "PyEngine.__new__() takes from 0 to 12 positional arguments but 13 were given"),
        ((), {"bogus": 1}, "PyEngine.__new__() got an unexpected keyword argument 'bogus'"),
        ((None,), {"impersonate": None}, "PyEngine.__new__() got multiple values for argument 'impersonate'"),
        ((), {"verify": 1}, "argument 'verify': 'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_engine_argument_matching(core, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        native.PyEngine(*args, **kwargs)
    assert str(info.value) == message


def test_wrong_self_through_the_class(engine):
    with pytest.raises(TypeError) as info:
        native.PyRequest.cancel(engine)
    assert str(info.value) == "'PyEngine' object cannot be converted to 'PyRequest'"


def test_methods_report_their_names():
    assert native.PyRequest.cancel.__qualname__ == "PyRequest.cancel"
    assert native.PyRequest.cancel.__name__ == "cancel"


@pytest.mark.parametrize("call", [
    lambda e: e.request("GET", "http://x/", timeout=1e20),
    lambda e: e.request("GET", "http://x/").wait_manual(1e20),
    lambda e: e.request("GET", "http://x/").wait_redirect(2.0 ** 64),
])
def test_huge_timeouts_are_an_ordinary_error(engine, call):
    # A timeout past what a duration holds is the caller's mistake: an
    # Exception a plain `except Exception` catches, never PanicException.
    with pytest.raises(OverflowError) as info:
        call(engine)
    assert isinstance(info.value, Exception)


def test_failures_leave_the_object_usable(core, engine):
    for _ in range(3):
        with pytest.raises(RuntimeError):
            engine.request("GET", "http://x/", cache="bogus")
    assert engine.request("GET", "http://x/") is not None


def test_methods_run_on_several_threads_at_once(core, engine):
    request = engine.request("GET", "http://x/")
    request.start()
    ident = core.last_id("request")
    results = []

    def wait():
        results.append(request.await_response().status_code)

    def redirects():
        results.append(request.wait_redirect(timeout=30))

    threads = [threading.Thread(target=wait), threading.Thread(target=redirects)]
    for t in threads:
        t.start()
    core.redirect(ident, 302, b"", b"http://y/", b"GET")
    core.response(ident, 200)
    for t in threads:
        t.join(10)
    assert not any(t.is_alive() for t in threads)
    assert sorted(map(str, results)) == sorted(["200", str((302, [], "http://y/", "GET"))])
