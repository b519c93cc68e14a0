"""The command line's parsing and naming rules, in process."""
import pytest

from vesper._cli._args import normalize_url
from vesper._cli._http import download_name
from vesper._cli._items import ItemError, parse_items
from vesper._cli._output import is_binary


@pytest.mark.parametrize("item, kind, key, value", [
    ("Accept:text/html", "headers", "Accept", "text/html"),
    ("X-Url:http://a:1/b", "headers", "X-Url", "http://a:1/b"),
    ("Empty:", "headers", "Empty", ""),
    ("q==a=b", "params", "q", "a=b"),
    ("url==http://x/?y=1", "params", "url", "http://x/?y=1"),
    ("name=a:b", "fields", "name", "a:b"),
    ("mail=a@b.c", "fields", "mail", "a@b.c"),
    ("n:=12", "fields", "n", 12),
    ("o:={\"a\": [1]}", "fields", "o", {"a": [1]}),
    (r"a\=b=c", "fields", "a=b", "c"),
    (r"a\:b:c", "headers", "a:b", "c"),
])
def test_item_forms(item, kind, key, value):
    items = parse_items([item])
    found = getattr(items, kind)
    pairs = list(found.items()) if isinstance(found, dict) else found
    assert pairs == [(key, value)]


@pytest.mark.parametrize("item", ["plain", "=value", "n:=nope", "f@/no/such/file"])
def test_bad_items(item):
    with pytest.raises(ItemError):
        parse_items([item])


def test_file_item(tmp_path):
    path = tmp_path / "a.txt"
    path.write_text("x")
    items = parse_items([f"up@{path}"])
    assert items.files == [("up", path)] and items.has_body


@pytest.mark.parametrize("given, url", [
    ("example.com/x", "http://example.com/x"),
    (":8000/a?b=1", "http://localhost:8000/a?b=1"),
    (":8000", "http://localhost:8000/"),
    ("https://h/p", "https://h/p"),
    ("ws://h/p", "ws://h/p"),
])
def test_urls(given, url):
    assert normalize_url(given) == url


@pytest.mark.parametrize("url, disposition, name", [
    ("http://h/files/report.pdf?x=1", None, "report.pdf"),
    ("http://h/", None, "index.html"),
    ("http://h/a%20b.txt", None, "a b.txt"),
    ("http://h/x", 'attachment; filename="../../etc/passwd"', "passwd"),
    ("http://h/x", "attachment; filename*=UTF-8''na%C3%AFve.txt", "naïve.txt"),
])
def test_download_names(tmp_path, monkeypatch, url, disposition, name):
    monkeypatch.chdir(tmp_path)
    assert download_name(url, disposition) == name


@pytest.mark.parametrize("sample, content_type, binary", [
    (b'{"a": 1}', "application/json", False),
    (b"caf\xc3\xa9", None, False),
    (b"caf\xc3", None, False),          # a character cut at the end of the sample
    (b"\x00\x01\x02", None, True),
    (b"\xff\xfe\xfdabc", "application/octet-stream", True),
    (b"\x00text", "text/plain", True),
])
def test_binary_detection(sample, content_type, binary):
    assert is_binary(sample, content_type) is binary
