"""The module beside a Core that offers only the seventeen functions every
Core offers: it loads, and each feature built on an extension either falls
back to those seventeen or says plainly that this Core lacks it."""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest
from event_tuples import as_tuple

from bound import DOUBLE, ROOT, native

SPECIFIED = {
    "hy_abi_version", "hy_version_string", "hy_engine_create", "hy_engine_release",
    "hy_request_create", "hy_request_start", "hy_request_cancel", "hy_request_resume_read",
    "hy_request_upload_write", "hy_request_follow_redirect", "hy_request_release",
    "hy_websocket_create", "hy_websocket_start", "hy_websocket_send", "hy_websocket_close",
    "hy_websocket_cancel", "hy_websocket_release",
}
MODULE = pathlib.Path(native.__file__)
DOUBLE17 = ROOT / "build" / "double17" / "libhalyard.so"


def without(name):
    """Skips where the Core has `name`: its own path is tested elsewhere."""
    if name in native.core_extensions:
        pytest.skip(f"the Core offers {name}")


def test_the_module_links_only_the_seventeen():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("no nm")
    listing = subprocess.run([nm, "-D", "--undefined-only", str(MODULE)], capture_output=True, text=True,
                             timeout=30, check=True).stdout
    needed = {line.split()[-1] for line in listing.splitlines() if line.split()[-1].startswith("hy_")}
    assert needed == SPECIFIED


def test_the_module_imports_beside_a_core_of_seventeen_functions(tmp_path):
    # As a user would have it: the module and a Core without extensions in
    # one folder, found through the module's $ORIGIN run path.
    shutil.copy(MODULE, tmp_path / MODULE.name)
    shutil.copy(DOUBLE17, tmp_path / "libhalyard.so")
    code = ("import vesper_native36 as n; e = n.PyEngine(); "
            "print(sorted(n.core_extensions), n.PyEngine.core_version())")
    # The caller's environment stays (a sanitizer's LD_PRELOAD, say), except
    # what would find a Core other than the one beside the module.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH", "VESPER_DOUBLE")}
    env["PYTHONPATH"] = str(tmp_path)
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[] halyard-double/1.0"


def test_the_extensions_found_are_those_the_core_exports():
    # Every hy_ name the double defines beyond the seventeen.
    listing = subprocess.run(["nm", "-D", "--defined-only", str(DOUBLE.lib._name)], capture_output=True, text=True,
                             timeout=30, check=True).stdout
    exported = {line.split()[-1] for line in listing.splitlines() if line.split()[-1].startswith("hy_")} - SPECIFIED
    assert native.core_extensions == exported


@pytest.mark.parametrize("send, data, final", [
    (lambda r: r.upload_write(b"piece", False), "7069656365", 0),
    (lambda r: r.upload_write(b"", True), "", 1),
    (lambda r: r.upload_finish(), "", 1),
])
def test_uploads_go_through_the_specified_write(core, engine, send, data, final):
    without("hy_request_upload_push")
    request = engine.request("PUT", "http://x/", chunked=True)
    request.start()
    send(request)
    assert core.calls("hy_request_upload_write") == 1
    record = core.record("upload")
    assert (record["data"]["hex"], record["data"]["null"], record["final"]) == (data, data == "", final)


def test_a_refused_specified_write_raises_its_code(core, engine):
    without("hy_request_upload_push")
    request = engine.request("PUT", "http://x/", chunked=True)
    core.script("hy_request_upload_write", 5)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.upload_write(b"x", True)


@pytest.mark.parametrize("call", [lambda r: r.record_sent_heads(), lambda r: r.sent_heads_bytes()])
def test_sent_heads_say_this_core_keeps_none(core, engine, call):
    without("hy_request_record_sent_heads")
    request = engine.request("GET", "http://x/")
    with pytest.raises(RuntimeError, match="^this Core does not record the heads it sends$"):
        call(request)


def test_a_deflate_choice_is_refused_and_the_browsers_offer_kept(core, engine):
    without("hy_websocket_set_deflate")
    with pytest.raises(RuntimeError, match="cannot change the permessage-deflate offer"):
        engine.websocket("ws://x/", deflate=False)
    assert core.released("websocket", core.last_id("websocket"))
    engine.websocket("ws://x/", deflate=True)
    assert core.calls("hy_websocket_create") == 2


@pytest.mark.parametrize("name, call", [
    ("hy_request_set_upload_length", lambda r: r.set_upload_length(5)),
    ("hy_request_set_max_redirects", lambda r: r.set_max_redirects(30)),
    ("hy_request_from_cache", lambda r: r.from_cache()),
    ("hy_request_set_timeouts", lambda r: r.set_timeouts(1, 2, 3, 4)),
])
def test_request_extensions_name_what_this_core_lacks(core, engine, name, call):
    without(name)
    request = engine.request("PUT", "http://x/", chunked=True)
    with pytest.raises(RuntimeError, match=f"^this Core does not offer {name}$"):
        call(request)


def test_engine_options_need_their_extension(core):
    without("hy_engine_create_with_options")
    with pytest.raises(RuntimeError, match=r"^this Core takes no engine options \(hy_engine_create_with_options"):
        native.PyEngine(options=[("max_connections", "2")])
    assert core.calls("hy_engine_create") == 0
    native.PyEngine(options=[])
    assert core.calls("hy_engine_create") == 1


def test_the_cookie_jar_needs_its_extension(core, engine):
    without("hy_engine_cookies")
    with pytest.raises(RuntimeError, match=r"^this Core gives no access to its cookie jar"):
        engine.cookies()
def test_client_certificate_without_the_extension_names_it():
    without("hy_engine_create_with_client_certificate")
    with pytest.raises(ValueError, match="client_cert: this Core has no client certificates"):
        native.PyEngine(client_cert=b"-----BEGIN CERTIFICATE-----")


def test_without_the_phase_extension_a_timeout_names_no_phase(core, engine):
    without("hy_request_timeout_phase")
    request = engine.request("GET", "http://x/")
    request.start()
    core.complete(core.last_id("request"), 6, -7)
    with pytest.raises(native.CoreFailure) as info:
        request.wait_response(5)
    assert info.value.timeout_phase is None and info.value.kind == 6


def test_websocket_timeouts_need_their_extension(core, engine):
    without("hy_websocket_set_timeouts")
    socket = engine.websocket("ws://x/")
    with pytest.raises(RuntimeError, match="^this Core does not offer hy_websocket_set_timeouts$"):
        socket.set_timeouts(1, 2)


def test_without_the_phase_extension_a_websocket_timeout_names_no_phase(core, engine):
    without("hy_websocket_timeout_phase")
    socket = engine.websocket("ws://x/")
    socket.connect()
    core.ws_error(core.last_id("websocket"), 6, -7, 0, b"")
    kind, _, _, failure = as_tuple(socket.recv_message(5))
    assert (kind, failure.kind, failure.net_error, failure.timeout_phase) == ("error", 6, -7, None)
