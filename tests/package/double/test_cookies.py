"""client.cookies: the jar servers fill and the client's own cookies, read
and changed through vesper.Cookies; cookies.txt written and read back.
These run over a MockTransport, whose jar stands in for the engine's."""
import os
import time

import pytest

import vesper
from vesper._cookies import parse_line

FUTURE = int(time.time()) + 86400


def site(request):
    path = request.url.split("/", 3)[3]
    if path.startswith("set"):
        return vesper.Response(200, headers=[
            ("Set-Cookie", "session=abc123; Path=/; HttpOnly"),
            ("Set-Cookie", f"wide=1; Domain=app.test; Path=/api; Secure; Max-Age=86400")])
    return vesper.Response(200, json={"cookie": request.headers.get("cookie")})


def mock_client(**kwargs):
    return vesper.Client(transport=vesper.MockTransport(site), **kwargs)


def test_the_jar_shows_what_servers_set_and_what_is_sent():
    with mock_client(cookies={"theme": "dark"}) as client:
        client.get("https://app.test/set")
        by_name = {c.name: c for c in client.cookies}
        assert set(by_name) == {"theme", "session", "wide"} and len(client.cookies) == 3
        assert by_name["theme"] == vesper.Cookie("theme", "dark", "")
        session, wide = by_name["session"], by_name["wide"]
        assert (session.domain, session.path, session.http_only, session.expires) == ("app.test", "/", True, None)
        assert (wide.domain, wide.path, wide.secure) == (".app.test", "/api", True)
        assert abs(wide.expires - FUTURE) < 60
        assert client.get("https://app.test/x").json()["cookie"] == "theme=dark; session=abc123"
        assert client.cookies.get("session") == "abc123" and client.cookies.get("nope") is None
        assert client.cookies.get("wide", domain="app.test", path="/api") == "1"


def test_set_delete_and_clear_change_what_is_sent():
    with mock_client() as client:
        client.cookies.set("a", "1", domain="app.test")
        client.cookies.set("b", "2", domain=".app.test", path="/deep")
        client.cookies.set("c", "3")
        assert client.get("https://www.app.test/deep/x").json()["cookie"] == "c=3; b=2"
        assert client.get("https://app.test/x").json()["cookie"] == "c=3; a=1"
        client.cookies.set("a", "one", domain="other.test")
        with pytest.raises(ValueError, match="several cookies named 'a'"):
            client.cookies.get("a")
        assert client.cookies.delete("a", domain="app.test") == 1
        assert client.cookies.get("a") == "one"
        assert client.cookies.delete("c") == 1 and client.cookies.delete("zzz") == 0
        assert client.get("https://app.test/x").json()["cookie"] is None
        client.cookies.clear()
        assert len(client.cookies) == 0 and list(client.cookies) == []


def test_cookies_txt_written_by_one_client_and_loaded_by_another(tmp_path):
    path = tmp_path / "cookies.txt"
    with mock_client(cookies={"own": "x"}) as client:
        client.get("https://app.test/set")
        client.cookies.set("kept", "v", domain="app.test", expires=FUTURE)
        assert client.cookies.save(path) == 3   # the client's own cookie has no domain
    assert os.stat(path).st_mode & 0o777 == 0o600
    text = path.read_text()
    assert text.startswith("# Netscape HTTP Cookie File")
    assert "#HttpOnly_app.test\tFALSE\t/\tFALSE\t0\tsession\tabc123\n" in text
    with mock_client(cookies=str(path)) as later:
        assert later.get("https://app.test/x").json()["cookie"] == "session=abc123; kept=v"
        assert sorted(c.name for c in later.cookies) == ["kept", "session", "wide"]
    with mock_client() as third:
        assert third.cookies.load(path) == 3


@pytest.mark.parametrize("line, cookie", [
    ("example.org\tFALSE\t/\tFALSE\t0\tn\tv", vesper.Cookie("n", "v", "example.org")),
    (".example.org\tTRUE\t/p\tTRUE\t2000000000\tn\ta=b", vesper.Cookie("n", "a=b", ".example.org", "/p",
                                                                      2000000000, True)),
    ("#HttpOnly_Example.org\tTRUE\t/\tFALSE\t0\tn\t", vesper.Cookie("n", "", ".example.org", http_only=True)),
    ("example.org\tFALSE\t/\tFALSE\t0\tn", vesper.Cookie("n", "", "example.org")),
    ("# a comment", None), ("", None), ("   ", None),
])
def test_cookies_txt_lines(line, cookie):
    assert parse_line(line) == cookie
    if cookie is not None:
        assert parse_line(cookie.to_line()) == cookie


def test_a_bad_cookies_txt_names_its_line(tmp_path):
    path = tmp_path / "bad.txt"
    path.write_text("# Netscape HTTP Cookie File\nexample.org\tFALSE\t/\tFALSE\tsoon\tn\tv\n")
    with pytest.raises(ValueError, match=r"bad.txt, line 2: the expiry"):
        mock_client(cookies=path)
    with pytest.raises(FileNotFoundError):
        mock_client(cookies=str(tmp_path / "missing.txt"))


def test_expired_cookies_are_skipped_on_load(tmp_path):
    path = tmp_path / "c.txt"
    path.write_text(f"a.test\tFALSE\t/\tFALSE\t100\told\t1\na.test\tFALSE\t/\tFALSE\t{FUTURE}\tnew\t2\n")
    with mock_client() as client:
        assert client.cookies.load(path) == 1 and [c.name for c in client.cookies] == ["new"]


@pytest.mark.parametrize("args, kwargs", [
    (("", "v"), {}), (("a b", "v"), {}), (("a", "v;w"), {}), (("a", "v\n"), {}),
    (("a", "v"), {"domain": "x.test", "path": "nope"}), (("a", "v"), {"domain": "x/y"}),
    (("a", "v"), {"domain": "x.test", "expires": -5}),
])
def test_bad_cookie_arguments(args, kwargs):
    with mock_client() as client:
        with pytest.raises(ValueError):
            client.cookies.set(*args, **kwargs)
