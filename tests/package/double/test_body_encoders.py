"""multipart framing, streaming of files, and the option helpers."""
import asyncio
import email.parser
import io

import pytest

import vesper
from vesper._base import split_proxy
from vesper._config import bypasses_proxy, proxy_from_env
from vesper._content import _raw
from vesper._multipart import MultipartEncoder


class CountingFile(io.BytesIO):
    def __init__(self, data, name=None):
        super().__init__(data)
        self.reads = []
        if name:
            self.name = name

    def read(self, size=-1):
        self.reads.append(size)
        return super().read(size)


def parse(encoder):
    raw = b"".join(encoder)
    message = email.parser.BytesParser().parsebytes(
        b"Content-Type: " + encoder.content_type.encode() + b"\r\n\r\n" + raw)
    return raw, message.get_payload()


def test_fields_and_files_frame_as_a_parser_reads_them():
    data = b"\x00\x01" * 100_000
    handle = CountingFile(data, "/tmp/photo.png")
    encoder = MultipartEncoder({"a": "1", "many": ["x", "y"]},
                               {"up": handle, "t": ("notes.txt", "héllo", None, {"X-Extra": "1"})}, b"BOUND")
    raw, parts = parse(encoder)
    names = [p.get_param("name", header="content-disposition") for p in parts]
    assert names == ["a", "many", "many", "up", "t"]
    assert parts[3].get_filename() == "photo.png" and parts[3].get_content_type() == "image/png"
    assert parts[3].get_payload(decode=True) == data
    assert parts[4]["X-Extra"] == "1" and parts[4].get_content_type() == "text/plain"
    # Streamed in bounded pieces, never one whole read.
    assert handle.reads and all(0 < size <= 65536 for size in handle.reads)
    assert raw.endswith(b"--BOUND--\r\n")


def test_length_is_known_for_sized_parts_only():
    encoder = MultipartEncoder({"a": "1"}, {"f": ("x.bin", b"12345")}, b"B")
    assert encoder.length() == len(b"".join(encoder))
    assert MultipartEncoder(None, {"f": ("x", CountingFile(b"1"))}, b"B").length() is None


@pytest.mark.parametrize("filename, quoted", [('a"b.txt', 'a%22b.txt'), ("line\r\nbreak", "line%0D%0Abreak")])
def test_names_are_quoted_as_browsers_do(filename, quoted):
    raw = b"".join(MultipartEncoder(None, {"f": (filename, b"x")}, b"B"))
    assert f'filename="{quoted}"'.encode() in raw


@pytest.mark.parametrize("spec", [("a",), ("a", 12), 3.5])
def test_bad_file_specs(spec):
    with pytest.raises((TypeError, ValueError)):
        MultipartEncoder(None, {"f": spec})


@pytest.mark.parametrize("no_proxy, url, bypass", [
    ("*", "http://any/", True),
    ("example.com", "http://example.com/", True),
    ("example.com", "http://api.example.com/", True),
    (".example.com", "http://api.example.com/", True),
    ("example.com", "http://notexample.com/", False),
    ("localhost:8080", "http://localhost:8080/", True),
    ("localhost:8080", "http://localhost:9090/", False),
    ("127.0.0.1, other", "https://127.0.0.1:443/", True),
    ("", "http://a/", False),
])
def test_no_proxy(monkeypatch, no_proxy, url, bypass):
    monkeypatch.setenv("NO_PROXY", no_proxy)
    assert bypasses_proxy(url) is bypass


def test_proxy_variables(monkeypatch):
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("ALL_PROXY", "socks5://s:1080")
    monkeypatch.setenv("HTTPS_PROXY", "p:3128")
    assert proxy_from_env("https") == "http://p:3128" and proxy_from_env("wss") == "http://p:3128"
    assert proxy_from_env("http") == "socks5://s:1080"


def test_proxy_credentials_leave_the_url():
    assert split_proxy("http://us%40er:p%3Ass@h:8080") == ("http://h:8080", ("us@er", "p:ss"))
    assert split_proxy("http://h:1") == ("http://h:1", None)


def test_environment_proxy_configures_the_engine(core, monkeypatch):
    monkeypatch.setenv("HTTP_PROXY", "http://u:pw@proxy:3128")
    monkeypatch.setenv("NO_PROXY", "direct")
    with vesper.Client() as client:
        with_proxy = client._settings_for("http://a/")
        direct = client._settings_for("http://direct/")
    assert (with_proxy.proxy, with_proxy.proxy_auth) == ("http://proxy:3128", ("u", "pw"))
    assert direct.proxy is None
    with vesper.Client(trust_env=False) as client:
        assert client._settings_for("http://a/").proxy is None


@pytest.mark.parametrize("value, parts", [
    (5, (5.0, 5.0, 5.0, 5.0, None)),
    (None, (None, None, None, None, None)),
    (vesper.Timeout(1, read=3, total=9), (1.0, 3.0, 1.0, 1.0, 9.0)),
])
def test_timeout_forms(value, parts):
    from vesper._config import to_timeout
    t = to_timeout(value, vesper.DEFAULT_TIMEOUT)
    assert (t.connect, t.read, t.write, t.pool, t.total) == parts


def test_default_timeout_protects():
    assert vesper.Client(trust_env=False).timeout == vesper.DEFAULT_TIMEOUT == vesper.Timeout(30)


async def _async_pieces(pieces):
    for piece in pieces:
        yield piece


def _drain(body):
    if hasattr(body, "__aiter__"):
        async def collect():
            return [piece async for piece in body]
        return asyncio.run(asyncio.wait_for(collect(), 10))
    return list(body)


@pytest.mark.parametrize("wrap", [iter, _async_pieces], ids=["iterable", "async_iterable"])
def test_body_iterators_yield_bytes_and_skip_empty_pieces(wrap):
    body = _raw(wrap(["é", b"", bytearray(b"b"), memoryview(b"c"), ""]), "data")
    assert _drain(body) == ["é".encode(), b"b", b"c"]
    with pytest.raises(TypeError, match="^a body iterator must yield bytes, not int$"):
        _drain(_raw(wrap([b"a", 5]), "data"))
