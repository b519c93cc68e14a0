"""Connection limits against a server that counts the requests and
connections in flight; names only resolve= can reach; the IP version; the
engine's cookie jar kept in a cookies.txt by one client and loaded by
another."""
import asyncio
import urllib.parse
import uuid

import pytest

import vesper

pytestmark = pytest.mark.timeout(60)


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 40))


def _most(base, group):
    return vesper.get(f"{base}/concurrent/most?group={group}", trust_env=False).json()


async def _burst(client, urls):
    answers = await asyncio.gather(*(client.get(url) for url in urls))
    assert [a.text for a in answers] == ["ok"] * len(urls)


@pytest.mark.parametrize("limits, count, most", [
    (None, 9, 6),                                                   # the browser's six per host
    (vesper.Limits(max_connections_per_host=2), 6, 2),
    (vesper.Limits(max_connections_per_host=8), 9, 8),
])
def test_per_host_limit(http, limits, count, most):
    group = uuid.uuid4().hex
    urls = [f"{http}/concurrent?group={group}&delay=0.4"] * count

    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=20, limits=limits) as client:
            await _burst(client, urls)
    run(main())
    assert _most(http, group) == {"requests": most, "connections": most}


def test_overall_limit_across_hosts_reached_by_resolve(http):
    port = urllib.parse.urlsplit(http).port
    group = uuid.uuid4().hex
    names = ["one.vesper.test", "two.vesper.test"]
    urls = [f"http://{name}:{port}/concurrent?group={group}&delay=0.4" for name in names for _ in range(4)]

    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=20, limits=vesper.Limits(max_connections=3),
                                      resolve={f"{name}:{port}": "127.0.0.1" for name in names}) as client:
            await _burst(client, urls)
    run(main())
    assert _most(http, group)["requests"] == 3


def test_a_name_only_resolve_reaches(http, ws):
    port = urllib.parse.urlsplit(http).port
    ws_port = urllib.parse.urlsplit(ws).port
    pinned = {f"nowhere.vesper.test:{port}": "127.0.0.1", f"nowhere.vesper.test:{ws_port}": "127.0.0.1"}
    with vesper.Client(trust_env=False, timeout=10, resolve=pinned) as client:
        answer = client.get(f"http://nowhere.vesper.test:{port}/echo").json()
        assert [v for k, v in answer["headers"] if k.lower() == "host"] == [f"nowhere.vesper.test:{port}"]
        with client.websocket(f"ws://nowhere.vesper.test:{ws_port}/echo") as socket:
            socket.send("pinned")
            assert socket.recv(timeout=5) == "pinned"
    with vesper.Client(trust_env=False, timeout=10) as client:
        with pytest.raises((vesper.ConnectError, vesper.TimeoutError)):
            client.get(f"http://nowhere.vesper.test:{port}/echo")


def test_ip_version(http):
    # The server listens on 127.0.0.1 only: "localhost" over IPv6 finds nobody.
    url = http.replace("127.0.0.1", "localhost") + "/echo"
    with vesper.Client(trust_env=False, timeout=10, ip_version=4) as client:
        assert client.get(url).status_code == 200
    with vesper.Client(trust_env=False, timeout=10, ip_version=6) as client:
        with pytest.raises(vesper.ConnectError):
            client.get(url)


@pytest.mark.parametrize("kwargs", [
    {"resolve": {"a.test": "127.0.0.1"}}, {"resolve": {"a.test:80": "nowhere"}}, {"ip_version": 5},
    {"dns_over_https": "http://dns.test/"}, {"limits": vesper.Limits(max_connections=1).__class__},
])
def test_bad_settings_are_refused(kwargs):
    with pytest.raises((ValueError, TypeError)):
        vesper.Client(trust_env=False, **kwargs)


def test_cookies_txt_written_by_one_client_loaded_by_another(http, tmp_path):
    path = tmp_path / "cookies.txt"
    with vesper.Client(trust_env=False, timeout=10, cookies={"theme": "dark"}) as client:
        client.get(f"{http}/cookies/set?session=abc123")
        assert client.cookies.get("session") == "abc123"
        assert {c.name: c.domain for c in client.cookies} == {"theme": "", "session": "127.0.0.1"}
        client.cookies.set("extra", "1", domain="127.0.0.1", path="/cookies")
        client.cookies.set("gone", "x", domain="127.0.0.1")
        assert client.cookies.delete("gone") == 1
        assert client.cookies.save(path) == 2
    with vesper.Client(trust_env=False, timeout=10, cookies=str(path)) as later:
        sent = later.get(f"{http}/cookies").json()
        assert [v for k, v in sent["headers"] if k.lower() == "cookie"] == ["extra=1; session=abc123"]
        later.cookies.clear()
        sent = later.get(f"{http}/cookies").json()
        assert [v for k, v in sent["headers"] if k.lower() == "cookie"] == []


def test_a_profile_namespace_shares_one_jar(http):
    namespace = f"jar-{uuid.uuid4().hex}"
    with vesper.Client(trust_env=False, profile_namespace=namespace) as first, \
            vesper.Client(trust_env=False, profile_namespace=namespace) as second:
        first.get(f"{http}/cookies/set?shared=1")
        assert second.cookies.get("shared") == "1"
        second.cookies.delete("shared")
        assert len(first.cookies) == 0


def test_dns_over_https_resolves_a_name_nobody_else_knows(http, https, ca_pem):
    port = urllib.parse.urlsplit(http).port
    with vesper.Client(trust_env=False, timeout=10, verify=ca_pem, ip_version=4,
                       dns_over_https=f"{https}/dns-query") as client:
        answer = client.get(f"http://doh-only.vesper.test:{port}/echo").json()
        assert [v for k, v in answer["headers"] if k.lower() == "host"] == [f"doh-only.vesper.test:{port}"]
    asked = vesper.get(f"{https}/dns-query/asked", verify=ca_pem, trust_env=False).json()
    assert ["doh-only.vesper.test", 1] in asked
    # Verified as servers are: nothing verified, or the system roots (which
    # do not know the test CA, so the name cannot be resolved).
    with vesper.Client(trust_env=False, timeout=10, verify=False, ip_version=4,
                       dns_over_https=f"{https}/dns-query") as client:
        assert client.get(f"http://doh-unverified.vesper.test:{port}/echo").status_code == 200
    with vesper.Client(trust_env=False, timeout=10, ip_version=4, dns_over_https=f"{https}/dns-query") as client:
        with pytest.raises(vesper.ConnectError) as info:
            client.get(f"http://doh-untrusted.vesper.test:{port}/echo")
        assert info.value.net_error == -105
