"""Every Core kind and every network error class reaches the caller as its
exception class, through the blocking and the asyncio client."""
import asyncio
import time

import pytest

import vesper
import vesper_native36 as native
from vesper._exceptions import NET_ERROR_NAMES, _BY_KIND, _BY_NET_ERROR, class_for, from_native, websocket_failure

from conftest import Driver

# (Core result code, network error) -> class, for each row of the Core's table.
CASES = [
    (6, -7, vesper.TimeoutError), (6, -118, vesper.ConnectTimeout), (7, -3, vesper.RequestCancelled),
    (8, -102, vesper.ConnectError), (8, -105, vesper.ConnectError), (8, -109, vesper.ConnectError),
    (8, -104, vesper.ConnectError), (8, -100, vesper.ReadError), (8, -101, vesper.ReadError),
    (8, -324, vesper.RemoteProtocolError), (8, -354, vesper.RemoteProtocolError),
    (8, -355, vesper.RemoteProtocolError), (8, -2, vesper.NetworkError),
    (9, -200, vesper.CertificateNameMismatch), (9, -201, vesper.CertificateExpired),
    (9, -202, vesper.CertificateUnknownAuthority), (9, -207, vesper.CertificateError),
    (9, -107, vesper.TLSError), (9, -113, vesper.TLSError),
    (10, -127, vesper.ProxyAuthError), (10, -115, vesper.ProxyAuthError), (10, -130, vesper.ProxyError),
    (10, -111, vesper.ProxyError), (10, -120, vesper.ProxyError), (10, -136, vesper.ProxyError),
    (11, -325, vesper.RemoteProtocolError), (11, -337, vesper.RemoteProtocolError), (11, -330, vesper.DecodingError),
    (12, -310, vesper.TooManyRedirects), (12, -311, vesper.RedirectError), (12, -303, vesper.RedirectError),
    (12, -25, vesper.RedirectError), (13, -400, vesper.CacheMiss),
    (1, -300, vesper.InvalidURL), (1, -301, vesper.UnsupportedProtocol), (1, -4, vesper.CoreError),
    (3, -13, vesper.CoreError), (5, 0, vesper.CoreError), (14, 0, vesper.CoreError), (15, 0, vesper.CoreError),
    (99, 0, vesper.CoreError),
]


def fail_with(code, net_error):
    def act(core, ident):
        core.complete(ident, code, net_error)
    return act


@pytest.mark.parametrize("code, net_error, cls", CASES)
def test_blocking_failure_classes(core, client, code, net_error, cls):
    driver = Driver(core, fail_with(code, net_error))
    with pytest.raises(cls) as info:
        client.get("http://x/")
    driver.join()
    error = info.value
    assert type(error) is cls
    assert error.request.method == "GET" and error.request.url == "http://x/"
    if code <= 15:
        assert error.net_error == net_error
        assert error.net_error_name == NET_ERROR_NAMES.get(net_error)


@pytest.mark.parametrize("code, net_error, cls", CASES[::3])
def test_asyncio_failure_classes(core, code, net_error, cls):
    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=5) as client:
            driver = Driver(core, fail_with(code, net_error))
            try:
                with pytest.raises(cls):
                    await client.get("http://x/")
            finally:
                driver.join()
    asyncio.run(asyncio.wait_for(main(), 20))


@pytest.mark.parametrize("cls, bases", [
    (vesper.ConnectTimeout, (vesper.TimeoutError, TimeoutError, vesper.TransportError, vesper.RequestError)),
    (vesper.CertificateExpired, (vesper.CertificateError, vesper.TLSError, vesper.TransportError)),
    (vesper.ProxyAuthError, (vesper.ProxyError, vesper.TransportError)),
    (vesper.InvalidURL, (vesper.Error, ValueError)),
    (vesper.WebSocketClosed, (vesper.WebSocketError, vesper.Error)),
    (vesper.HTTPStatusError, (vesper.Error,)),
])
def test_tree(cls, bases):
    assert all(issubclass(cls, base) for base in bases)


CODES = {name: code for code, name in native.failure_kinds.items()}


def core_failure(text, kind, net_error, status=None):
    failure = native.CoreFailure(text)
    failure.kind, failure.net_error, failure.status = CODES[kind], net_error, status
    return failure


def test_the_package_names_only_the_modules_kinds():
    assert set(_BY_KIND) | {kind for kind, _ in _BY_NET_ERROR} <= set(CODES)
    assert CODES["Timeout"] == 6 and CODES["ProfileUnsupported"] == 15 and CODES["Native"] == 18


# A text that says otherwise: the class comes from the numbers alone.
@pytest.mark.parametrize("kind, net_error, cls", [
    ("Tls", -201, vesper.CertificateExpired), ("Network", -102, vesper.ConnectError),
    ("Timeout", -118, vesper.ConnectTimeout), ("Canceled", -3, vesper.RequestCancelled),
    ("InvalidState", None, vesper.CoreError), ("Native", 0, vesper.CoreError),
])
def test_the_class_comes_from_the_numbers(kind, net_error, cls):
    error = from_native(core_failure("Proxy (Chromium net error -127)", kind, net_error))
    assert type(error) is cls and error.kind == kind and error.net_error == net_error


@pytest.mark.parametrize("exc, cls", [
    (native.NetworkThreadError("would wait"), vesper.NetworkThreadError),
    (RuntimeError("Timeout (Chromium net error -7)"), vesper.CoreError),
    (TimeoutError("timed out waiting for the response head"), vesper.ReadTimeout),
])
def test_other_native_exceptions(exc, cls):
    assert type(from_native(exc)) is cls


@pytest.mark.parametrize("kind, net_error, status, opened, cls", [
    ("Network", -102, 0, False, vesper.ConnectError),
    ("Tls", -202, 0, False, vesper.CertificateUnknownAuthority),
    ("Network", -145, 403, False, vesper.WebSocketHandshakeError),
    ("Network", -100, 0, True, vesper.WebSocketError),
    ("BufferLimit", 0, 0, True, vesper.WebSocketError),
])
def test_websocket_failure_classes(kind, net_error, status, opened, cls):
    error = websocket_failure(core_failure("x", kind, net_error, status), opened=opened)
    assert type(error) is cls and error.net_error == net_error
    if isinstance(error, vesper.WebSocketError):
        assert error.status_code == status


def test_unknown_pairs_fall_back_to_the_kind():
    assert class_for("Tls", -999) is vesper.TLSError
    assert class_for(None, None) is vesper.CoreError


def test_start_refusal_is_a_core_error(core, client):
    core.script("hy_request_start", 5)
    with pytest.raises(vesper.CoreError) as info:
        client.get("http://x/")
    assert info.value.kind == "InvalidState"


def _redirect_then(code, net_error):
    """One deferred redirect, then the hop fails."""
    def act(core, ident):
        core.redirect(ident, 302, b"HTTP/1.1 302 X\r\nLocation: http://y/\r\n\r\n", b"http://y/", b"GET")
        deadline = time.monotonic() + 5
        while core.calls("hy_request_follow_redirect") == 0:
            assert time.monotonic() < deadline, "the package did not follow"
            time.sleep(0.001)
        core.complete(ident, code, net_error)
    return act


@pytest.mark.parametrize("code, net_error, cls", [(6, -7, vesper.TimeoutError), (8, -102, vesper.ConnectError),
                                                  (9, -202, vesper.CertificateUnknownAuthority),
                                                  (10, -130, vesper.ProxyError)])
def test_a_step_by_step_walk_reports_the_network_error(core, client, code, net_error, cls):
    # max_redirects below the Core's limit: the package walks the hops itself.
    driver = Driver(core, _redirect_then(code, net_error))
    with pytest.raises(cls) as info:
        client.get("http://x/", max_redirects=3)
    driver.join()
    assert type(info.value) is cls
    assert info.value.net_error == net_error
    assert core.record("request")["redirect_mode"] == 1


def test_a_step_by_step_walk_times_out_waiting_for_the_head(core, package_waits):
    with vesper.Client(trust_env=False, timeout=0.2) as client:
        with pytest.raises(vesper.ReadTimeout):
            client.get("http://x/", max_redirects=3)
    assert core.calls("hy_request_cancel") == 1


@pytest.mark.parametrize("code, net_error, cls, sentence", [
    (9, -202, vesper.CertificateUnknownAuthority,
     "the server's certificate is not trusted (unknown authority) (net::ERR_CERT_AUTHORITY_INVALID, "
     "Chromium net error -202) (GET http://x/a%20b)"),
    (8, -102, vesper.ConnectError,
     "the server refused the connection (net::ERR_CONNECTION_REFUSED, Chromium net error -102) (GET http://x/a%20b)"),
    (8, -999, vesper.NetworkError, "the request failed (Network) (Chromium net error -999) (GET http://x/a%20b)"),
])
def test_texts_start_with_a_plain_sentence(core, client, code, net_error, cls, sentence):
    driver = Driver(core, lambda c, i: c.complete(i, code, net_error))
    with pytest.raises(cls) as info:
        client.get("http://x/a b")
    driver.join()
    assert str(info.value) == sentence
    assert info.value.net_error == net_error and info.value.request.url == "http://x/a%20b"
