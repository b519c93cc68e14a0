"""PyEngine: the EngineConfig the Core receives, and engine creation failures."""
import pytest

from conftest import native, text_of


def engine_record(core, **kwargs):
    native.PyEngine(**kwargs)
    return core.record("engine")


def test_defaults(core):
    record = engine_record(core)
    assert (record["size"], record["abi"]) == (152, 8)
    for field in ("user_agent", "proxy", "proxy_username", "proxy_password", "accept_language",
                  "impersonate", "profile_namespace", "ca_bundle"):
        assert record[field] == {"null": True, "len": 0, "hex": ""}, field
    assert (record["cache_disabled"], record["http_version"], record["tls_verify"]) == (0, 0, 0)


def test_texts_reach_the_core(core):
    record = engine_record(core, proxy="http://p:1", user_agent="ua/1", accept_language="fr",
                           proxy_username="u", proxy_password="pw", profile_namespace="ns",
                           cache=False)
    assert text_of(record["proxy"]) == b"http://p:1"
    assert text_of(record["user_agent"]) == b"ua/1"
    assert text_of(record["accept_language"]) == b"fr"
    assert text_of(record["proxy_username"]) == b"u"
    assert text_of(record["proxy_password"]) == b"pw"
    assert text_of(record["profile_namespace"]) == b"ns"
    assert record["cache_disabled"] == 1


def test_empty_text_is_absent(core):
    assert engine_record(core, user_agent="")["user_agent"] == {"null": True, "len": 0, "hex": ""}


@pytest.mark.parametrize("given, sent", [
    ("chrome120", b"chrome_120"), ("chrome_120", b"chrome_120"), ("chrome", b"chrome"),
    ("chrome_", b"chrome_"), ("chrome_12a", b"chrome_12a"), ("Chrome120", b"Chrome120"),
    ("edge99", b"edge99"), ("chrome\u0663", "chrome\u0663".encode()), ("chrome1", b"chrome_1"),
])
def test_profile_normalisation(core, given, sent):
    assert text_of(engine_record(core, impersonate=given)["impersonate"]) == sent


@pytest.mark.parametrize("text, value", [
    (None, 0), ("auto", 0), ("native", 0), ("h1", 1), ("v1", 1), ("http/1.1", 1),
    ("h2", 2), ("v2", 2), ("http/2", 2), ("h3", 3), ("v3", 3), ("http/3", 3),
])
def test_http_versions(core, text, value):
    assert engine_record(core, http_version=text)["http_version"] == value


@pytest.mark.parametrize("text, message", [
    ("HTTP/2", 'unknown http version "HTTP/2"'),
    ("http/4", 'unknown http version "http/4"'),
    ('a"b\\c\td\n\r\x00', 'unknown http version "a\\"b\\\\c\\td\\n\\r\\0"'),
    ("x\x7fy\u200b", 'unknown http version "x\\u{7f}y\\u{200b}"'),
    ("é", 'unknown http version "é"'),
])
def test_unknown_http_version(core, text, message):
    with pytest.raises(RuntimeError) as info:
        native.PyEngine(http_version=text)
    assert str(info.value) == message
    assert core.calls("hy_engine_create") == 0


@pytest.mark.parametrize("kwargs, mode, bundle", [
    ({}, 0, None),
    ({"verify": False, "ca_pem": b"PEM"}, 2, b"PEM"),
    ({"ca_pem": b""}, 1, None),
    ({"ca_pem": bytearray(b"AB")}, 1, b"AB"),
    ({"ca_pem": [65, 66]}, 1, b"AB"),
    ({"ca_pem": None}, 0, None),
])
def test_tls_modes(core, kwargs, mode, bundle):
    record = engine_record(core, **kwargs)
    assert record["tls_verify"] == mode
    assert text_of(record["ca_bundle"]) == bundle


@pytest.mark.parametrize("kwargs, message", [
    ({"verify": None}, "argument 'verify': 'NoneType' object cannot be converted to 'PyBool'"),
    ({"cache": 1}, "argument 'cache': 'int' object cannot be converted to 'PyBool'"),
    ({"impersonate": 5}, "argument 'impersonate': 'int' object cannot be converted to 'PyString'"),
    ({"ca_pem": 5}, "argument 'ca_pem': 'int' object cannot be converted to 'Sequence'"),
])
def test_conversion_failures(core, kwargs, message):
    with pytest.raises(TypeError) as info:
        native.PyEngine(**kwargs)
    assert str(info.value) == message


def test_ca_pem_as_str_names_the_parameter(core):
    with pytest.raises(TypeError, match=r"^argument 'ca_pem': .*integer"):
        native.PyEngine(ca_pem="PEM")


def test_first_failing_parameter_wins(core):
    with pytest.raises(TypeError, match="argument 'impersonate'"):
        native.PyEngine(verify=1, impersonate=1)


def test_unsupported_abi(core):
    core.set_abi(9)
    with pytest.raises(RuntimeError) as info:
        native.PyEngine()
    assert str(info.value) == "UnsupportedAbi"
    assert core.calls("hy_engine_create") == 0
    assert native.PyEngine.abi_version() == 8


@pytest.mark.parametrize("code, null_handle, text", [
    (1, False, "InvalidArgument"), (15, False, "ProfileUnsupported"), (14, False, "ProfileConflict"),
    (16, False, "native error 16"), (0xFFFFFFFF, False, "native error -1"),
    (0, True, "InitializationFailed"),
])
def test_create_failures(core, code, null_handle, text):
    core.script("hy_engine_create", code, null_handle)
    with pytest.raises(RuntimeError) as info:
        native.PyEngine()
    assert str(info.value) == text
    # Nothing was created, so nothing is released.
    assert core.calls("hy_engine_release") == 0


def test_release_exactly_once(core):
    engine = native.PyEngine()
    ident = core.last_id("engine")
    assert core.released("engine", ident) == 0
    del engine
    assert core.released("engine", ident) == 1


def test_engine_released_while_requests_live(core):
    engine = native.PyEngine()
    ident = core.last_id("engine")
    request = engine.request("GET", "http://x/")
    del engine
    assert core.released("engine", ident) == 1
    assert request.is_finished() is False


@pytest.mark.parametrize("version, expected", [
    (None, None), ("halyard/1.2 libcurl/7.88.1", "halyard/1.2 libcurl/7.88.1"),
])
def test_core_version(core, version, expected):
    core.set_version(version)
    assert native.PyEngine.core_version() == expected


def test_core_version_invalid_utf8(core):
    core.lib.hyd_set_version(b"v\xff1")
    assert native.PyEngine.core_version() == "v\ufffd1"


@pytest.mark.parametrize("kwargs, fields", [
    ({"client_cert": b"CHAIN"}, {"client_chain": b"CHAIN", "client_key": None, "client_password": None}),
    ({"client_cert": b"CHAIN", "client_key": b"KEY", "key_password": b"pw"},
     {"client_chain": b"CHAIN", "client_key": b"KEY", "client_password": b"pw"}),
])
def test_client_certificate_goes_through_its_extension(core, kwargs, fields):
    if "hy_engine_create_with_client_certificate" not in native.core_extensions:
        pytest.skip("the double of seventeen functions")
    record = engine_record(core, proxy="http://p:1", **kwargs)
    assert core.calls("hy_engine_create") == 0
    assert text_of(record["proxy"]) == b"http://p:1"
    for field, value in fields.items():
        if value is None:
            assert record[field]["null"], field
        else:
            assert text_of(record[field]) == value, field


def test_client_certificate_refusal_names_the_argument(core):
    if "hy_engine_create_with_client_certificate" not in native.core_extensions:
        pytest.skip("the double of seventeen functions")
    core.script("hy_engine_create_with_client_certificate", 1)   # refused: the double reports a wrong password
    with pytest.raises(ValueError, match="^key_password: the private key is encrypted"):
        native.PyEngine(client_cert=b"CHAIN", client_key=b"KEY")


def test_client_key_alone_is_refused(core):
    with pytest.raises(ValueError, match="need client_cert"):
        native.PyEngine(client_key=b"KEY")
    assert core.calls("hy_engine_create") == 0
