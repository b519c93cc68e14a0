"""The defaults and refusals a newcomer meets first: no HTTP cache unless
asked, the package's own User-Agent, refused input named before anything is
created, and URLs percent-encoded as browsers send them."""
import pytest

import vesper

from conftest import Driver, answer, sent
from vesper._native import core_has
from control import text_of


def engine_of(core, **options):
    with vesper.Client(trust_env=False, **options) as client:
        driver = Driver(core, answer(200, b"ok"))
        response = client.get("http://x/")
        driver.join()
    return core.record("engine"), response


@pytest.mark.parametrize("options, cache_on, mode", [
    ({}, False, 0),
    ({"impersonate": "chrome_120"}, False, 0),
    ({"cache": True}, True, 0),
    ({"cache": "force"}, True, 4),
    ({"cache_mode": "validate"}, True, 1),
    ({"cache": False}, False, 0),
])
def test_the_cache_is_off_unless_asked(core, options, cache_on, mode):
    engine, response = engine_of(core, **options)
    assert engine["cache_disabled"] == (0 if cache_on else 1)
    assert core.record("request")["cache_mode"] == mode
    # Without the cache nothing can come from it; with it, the Core says so
    # (or None when it cannot tell).
    assert response.from_cache is (None if cache_on and not core_has("hy_request_from_cache") else False)


@pytest.mark.parametrize("options, error", [
    ({"cache": "sometimes"}, ValueError),
    ({"cache": 1}, TypeError),
    ({"cache": "force", "cache_mode": "bypass"}, ValueError),
    ({"cache_mode": "fast"}, ValueError),
])
def test_bad_cache_options(core, options, error):
    with pytest.raises(error, match="cache"):
        vesper.Client(trust_env=False, **options)


@pytest.mark.parametrize("options, agent", [
    ({}, f"vesper/{vesper.__version__}"),
    ({"user_agent": "mine/2"}, "mine/2"),
    ({"impersonate": "chrome_120"}, None),  # the profile's own
])
def test_user_agent(core, options, agent):
    engine, _ = engine_of(core, **options)
    assert text_of(engine["user_agent"]) == (agent.encode() if agent else None)


@pytest.mark.parametrize("call, error, words", [
    (lambda c: c.request("GE T", "http://x/"), ValueError, ["method", "'GE T'", "token"]),
    (lambda c: c.request("", "http://x/"), ValueError, ["method", "''"]),
    (lambda c: c.request(b"GET", "http://x/"), TypeError, ["method", "bytes"]),
    (lambda c: c.get("http://x/", headers={"X-A": "1\r\nEvil: 2"}), vesper.InvalidHeader,
     ["headers", "'X-A'", "CR", "position 1", "'1\\r\\nEvil: 2'"]),
    (lambda c: c.get("http://x/", headers={"X-A": "a\nb"}), vesper.InvalidHeader, ["an LF", "position 1"]),
    (lambda c: c.get("http://x/", headers={"X-A": "a\x00"}), vesper.InvalidHeader, ["a NUL"]),
    (lambda c: c.get("http://x/", headers={"Authorization": "Bearer s3cr3t\r\n"}), vesper.InvalidHeader,
     ["'Authorization'", "<elided>"]),
    (lambda c: c.get("http://x/", headers={"X A": "1"}), vesper.InvalidHeader, ["header name", "'X A'", "token"]),
    (lambda c: c.get("http://x/", headers={"X:A": "1"}), vesper.InvalidHeader, ["'X:A'"]),
    (lambda c: c.get("http://a b/"), vesper.InvalidURL, ["url", "forbidden character ' '", "'a b'"]),
    (lambda c: c.get("http://u:pw@a<b/"), vesper.InvalidURL, ["url", "u:***@"]),
    (lambda c: c.get("nohost"), vesper.InvalidURL, ["url", "'nohost'", "no scheme"]),
    (lambda c: c.websocket("ws://x/", headers={"X": "a\rb"}), vesper.InvalidHeader, ["'X'", "a CR"]),
    (lambda c: c.post("http://x/", content=b"a", headers={"Transfer-Encoding": "chunked"}), vesper.InvalidHeader,
     ["Transfer-Encoding", "'chunked'"]),
    (lambda c: c.get("http://x/", headers={"Host": "a b:80"}), vesper.InvalidHeader, ["Host", "'a b:80'"]),
    (lambda c: c.get("http://x/", headers={"Host": "a:99999"}), vesper.InvalidHeader, ["Host"]),
    (lambda c: c.websocket("ws://x/", subprotocols=["a b"]), ValueError, ["subprotocols", "'a b'"]),
    (lambda c: c.websocket("ws://x/", subprotocols=["a", "a"]), ValueError, ["twice"]),
    (lambda c: c.websocket("ws://x/", origin="https://x/path"), ValueError, ["origin", "'https://x/path'"]),
])
def test_refused_input_names_the_argument_and_the_value(core, client, call, error, words):
    with pytest.raises(error) as info:
        call(client)
    for word in words:
        assert word in str(info.value)
    if error is vesper.InvalidHeader and "s3cr3t" not in words:
        assert "s3cr3t" not in str(info.value)
    assert core.calls("hy_request_create") == 0 and core.calls("hy_websocket_create") == 0


@pytest.mark.parametrize("proxy, error", [(123, TypeError), (["http://p:1"], TypeError),
                                          (b"\xff", vesper.InvalidURL)])
def test_proxy_must_be_text(core, proxy, error):
    with pytest.raises(error, match="proxy"):
        vesper.Client(trust_env=False, proxy=proxy)


def test_bytes_proxy_is_accepted(core):
    engine, _ = engine_of(core, proxy=b"http://u:p@p:1")
    assert (text_of(engine["proxy"]), text_of(engine["proxy_username"])) == (b"http://p:1", b"u")


def test_framing_headers_that_agree_pass(core, client):
    driver = Driver(core, answer(200, b"ok"))
    client.post("http://x/", content=iter([b"a"]), headers={"Transfer-Encoding": "chunked", "Host": "h:8080"})
    driver.join()
    assert ("Host", "h:8080") in sent(core)[2]


@pytest.mark.parametrize("url, expected", [
    ("http://x/a b", "http://x/a%20b"),
    ("http://x/a b?q=c d&e='f'#g h", "http://x/a%20b?q=c%20d&e=%27f%27#g%20h"),
    ('http://x/"<>`{}^|[]', "http://x/%22%3C%3E%60%7B%7D%5E|[]"),
    ("http://x/é?é#é", "http://x/%C3%A9?%C3%A9#%C3%A9"),
    ("http://x/%2F%zz?%41", "http://x/%2F%zz?%41"),  # escapes kept as given
    ("  http://x/a\tb\n", "http://x/ab"),
    ("http://[::1]:80/a b", "http://[::1]:80/a%20b"),
    ("http://x/?`{}", "http://x/?`{}"),  # the query set does not hold these
])
def test_urls_are_percent_encoded_as_browsers_do(core, client, url, expected):
    driver = Driver(core, answer(200, b"ok"))
    response = client.get(url)
    driver.join()
    assert sent(core)[1] == expected
    assert str(response.url) == expected
