"""Limits and name resolution reach the Core as the engine's named options,
on per-request proxy engines too; client.cookies works on the engine's jar."""
import pytest

import vesper

from conftest import Driver, answer, text_of


def _options(core):
    return [text_of(r.get("options", {"null": True, "hex": ""})) for r in core.records("engine")]


def test_limits_and_resolution_become_engine_options(core):
    with vesper.Client(trust_env=False, timeout=5,
                       limits=vesper.Limits(max_connections=10, max_connections_per_host=3,
                                            max_keepalive_connections=4, keepalive_expiry=2.5),
                       resolve={"a.test:443": "127.0.0.1", "b.test:80": "::1"}, ip_version=6,
                       dns_over_https="https://dns.test/q") as client:
        driver = Driver(core, answer(200, b"ok"), count=2)
        client.get("http://a.test/")
        client.get("http://a.test/", proxy="http://p:1")
        driver.join()
    expected = (b"max_connections=10\nmax_connections_per_host=3\nmax_keepalive_connections=4\n"
                b"keepalive_expiry_ms=2500\nresolve=a.test:443:127.0.0.1\nresolve=b.test:80:[::1]\nip_version=6\n"
                b"doh_url=https://dns.test/q\n")
    assert _options(core) == [expected, expected]
    assert core.calls("hy_engine_create") == 0


def test_without_settings_the_specified_create_is_used(core, client):
    driver = Driver(core, answer(200, b"ok"))
    client.get("http://a.test/")
    driver.join()
    assert core.calls("hy_engine_create") == 1 and core.calls("hy_engine_create_with_options") == 0


@pytest.mark.parametrize("kwargs", [
    {"max_connections": 0}, {"max_connections_per_host": 2.5}, {"max_keepalive_connections": True},
    {"keepalive_expiry": -1}, {"keepalive_expiry": "5"},
])
def test_bad_limits(kwargs):
    with pytest.raises(ValueError, match="Limits"):
        vesper.Limits(**kwargs)


def test_limits_equality_and_repr():
    assert vesper.Limits(max_connections=2) == vesper.Limits(max_connections=2) != vesper.Limits()
    assert repr(vesper.Limits(keepalive_expiry=1)) == ("Limits(max_connections=None, max_connections_per_host=None, "
                                                        "max_keepalive_connections=None, keepalive_expiry=1.0)")


def test_client_cookies_drive_the_engines_jar(core, client):
    client.cookies.set("a", "1", domain=".Example.test", path="/p", secure=True, http_only=True)
    commands = [text_of(r["command"]) for r in core.records("cookies")]
    assert commands[-1] == b"#HttpOnly_.example.test\tTRUE\t/p\tTRUE\t0\ta\t1"
    assert [c.name for c in client.cookies] == ["a"]
    assert client.cookies.delete("a", domain="example.test") == 1
    deletion = [text_of(r["command"]) for r in core.records("cookies") if text_of(r["command"])][-1]
    assert deletion.split(b"\t")[4] == b"1" and deletion.split(b"\t")[5] == b"a"
    assert len(client.cookies) == 0
    client.cookies.clear()
    assert text_of(core.record("cookies")["command"]) == b"ALL"
