"""vesper.URL: the parts of a response's and a request's URL, joining and
copying, and equality with the URL's text."""
import pytest

import vesper

from conftest import Driver, answer


@pytest.mark.parametrize("text, parts", [
    ("https://Example.ORG:8443/a%20b/c?q=1&q=2&e=%C3%A9#frag%20x",
     {"scheme": "https", "host": "example.org", "port": 8443, "path": "/a b/c", "query": "q=1&q=2&e=%C3%A9",
      "fragment": "frag x", "raw_path": "/a%20b/c?q=1&q=2&e=%C3%A9"}),
    ("http://[::1]/", {"host": "::1", "port": None, "path": "/", "query": "", "fragment": ""}),
    ("http://u:p%40ss@h", {"username": "u", "password": "p@ss", "path": "/", "raw_path": "/"}),
])
def test_parts(text, parts):
    url = vesper.URL(text)
    for name, value in parts.items():
        assert getattr(url, name) == value, name
    assert str(url) == text and url == text and url == vesper.URL(text) and hash(url) == hash(text)
    assert url != text + "x" and url != 3


def test_params():
    params = vesper.URL("http://h/?a=1&b=&a=%C3%A9").params
    assert (params["a"], params.get_list("a"), params["b"], list(params)) == ("1", ["1", "é"], "", ["a", "b"])
    assert params.multi_items() == [("a", "1"), ("b", ""), ("a", "é")]


@pytest.mark.parametrize("base, link, joined", [
    ("http://h/a/b?x", "c d", "http://h/a/c%20d"),
    ("http://h/a/b", "../c?q", "http://h/c?q"),
    ("http://h/a/b", "//other/x", "http://other/x"),
    ("http://h/a/b", "https://o/", "https://o/"),
])
def test_join(base, link, joined):
    assert vesper.URL(base).join(link) == joined


@pytest.mark.parametrize("changes, result", [
    ({"path": "/new path"}, "http://u@h:81/new%20path?q=1#f"),
    ({"params": {"a": "1 2"}}, "http://u@h:81/p?a=1+2#f"),
    ({"host": "other", "port": None}, "http://u@other/p?q=1#f"),
    ({"scheme": "https", "fragment": ""}, "https://u@h:81/p?q=1"),
    ({"username": "v w"}, "http://v%20w@h:81/p?q=1#f"),
])
def test_copy_with(changes, result):
    assert vesper.URL("http://u@h:81/p?q=1#f").copy_with(**changes) == result


def test_response_and_request_urls_are_urls(core, client):
    driver = Driver(core, answer(200, b"ok"))
    response = client.get("http://x/a b", params={"k": "v"})
    driver.join()
    for url in (response.url, response.request.url):
        assert isinstance(url, vesper.URL)
        assert (url.path, url.params["k"], str(url)) == ("/a b", "v", "http://x/a%20b?k=v")
