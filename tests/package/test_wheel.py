"""The wheel a user installs: built and repaired by `make wheel`, installed
into a fresh virtual environment, used there against a local server."""
from __future__ import annotations

import email.parser
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import zipfile
from typing import Any

import pytest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE.parent / "live"))

from servers.process import python_server  # noqa: E402

# The first test waits for the wheel's build.
pytestmark = pytest.mark.timeout(1200)

# Debian 12's glibc: the wheel's manylinux tag may not ask for more.
DEBIAN12_GLIBC = (2, 36)
# What the manylinux policy leaves to the system (glibc and the compiler's
# runtime), so the wheel may link them from there.
SYSTEM_LIBRARIES = {
    "linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1",
    "libpthread.so.0", "libresolv.so.2", "libstdc++.so.6", "libgcc_s.so.1", "libz.so.1",
}
# What the Core links and the wheel must carry.
# The libraries auditwheel copies in: on the Core's own TLS stack (the
# default build) libcurl and BoringSSL are inside libhalyard.so itself.
OWN_TLS_BUNDLED = ("libwslay", "libnghttp2", "libbrotlidec", "libzstd", "libpsl")
SYSTEM_TLS_BUNDLED = ("libcurl", "libssl", "libcrypto", "libwslay", "libnghttp2")


def wheel_has_own_tls(names: set[str]) -> bool:
    """No libcurl beside the Core: it carries its own."""
    return not any(n.startswith("vesper_http.libs/libcurl") for n in names)
# Clean of the working tree's module and of the Core double.
CLEAN_ENV = {k: v for k, v in os.environ.items()
             if k not in ("PYTHONPATH", "VESPER_DOUBLE", "LD_LIBRARY_PATH", "LD_PRELOAD", "VIRTUAL_ENV")}


def run(argv: list[str | os.PathLike[str]], **kwargs: Any) -> subprocess.CompletedProcess[str]:
    result = subprocess.run([os.fspath(a) for a in argv], capture_output=True, text=True,
                            timeout=kwargs.pop("timeout", 1100), **kwargs)
    assert result.returncode == 0, f"{argv}:\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
    return result


@pytest.fixture(scope="module")
def wheel(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """The wheel in the folder VESPER_WHEEL_DIST names (make test-wheel
    builds it there first), else one built here by `make wheel`."""
    given = os.environ.get("VESPER_WHEEL_DIST")
    if given:
        dist = pathlib.Path(given)
    else:
        dist = tmp_path_factory.mktemp("dist")
        run(["make", "-s", "-C", ROOT, "wheel", f"DIST={dist}"])
    wheels = list(dist.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def copy_dependencies(wheel: pathlib.Path, target: pathlib.Path, python: str) -> tuple[list[str], list[str]]:
    """Copies the installed files of the wheel's pure dependencies (and
    theirs) from this interpreter into `target`: the test installs nothing
    from an index, and the fresh environment still gets what the package
    imports.  Returns the names copied and the names whose installed release
    does not support `python` (say rich 15 under 3.8: pip would pick an
    older release there, which this machine does not hold)."""
    import importlib.metadata

    from packaging.requirements import Requirement
    from packaging.specifiers import SpecifierSet

    with zipfile.ZipFile(wheel) as z:
        metadata = email.parser.Parser().parsestr(
            z.read(next(n for n in z.namelist() if n.endswith(".dist-info/METADATA"))).decode())
    pending = [Requirement(r) for r in metadata.get_all("Requires-Dist") or []]
    copied: list[str] = []
    unusable: list[str] = []
    while pending:
        requirement = pending.pop()
        if requirement.marker is not None and not requirement.marker.evaluate({"extra": ""}):
            continue
        dist = importlib.metadata.distribution(requirement.name)
        if dist.metadata["Name"] in copied:
            continue
        assert dist.version in requirement.specifier, (requirement, dist.version)
        copied.append(dist.metadata["Name"])
        if python not in SpecifierSet(dist.metadata["Requires-Python"] or ""):
            unusable.append(dist.metadata["Name"])
        for file in dist.files or []:
            if file.parts[0] == ".." or "__pycache__" in file.parts:
                continue  # scripts and caches
            source = pathlib.Path(dist.locate_file(file))
            (target / file).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target / file)
        pending += [Requirement(r) for r in dist.requires or []]
    return copied, unusable


def oldest_interpreter() -> str | None:
    """The oldest Python from 3.8 on that this machine has besides the
    running one (from PATH, or installed by pyenv): the abi3 wheel claims
    every version from 3.8 on."""
    found: dict[tuple[int, int], str] = {}
    candidates = [shutil.which(f"python3.{minor}") for minor in range(8, sys.version_info[1])]
    pyenv = shutil.which("pyenv")
    if pyenv:
        root = subprocess.run([pyenv, "root"], capture_output=True, text=True, timeout=30).stdout.strip()
        candidates += [str(p) for p in pathlib.Path(root).glob("versions/3.*/bin/python3")] if root else []
    for candidate in filter(None, candidates):
        answer = subprocess.run([candidate, "-c", "import sys, venv; print(*sys.version_info[:2])"],
                                capture_output=True, text=True, timeout=30, env=CLEAN_ENV)
        if answer.returncode == 0:
            version = tuple(map(int, answer.stdout.split()))
            if (3, 8) <= version < sys.version_info[:2]:
                found.setdefault((version[0], version[1]), candidate)
    return found[min(found)] if found else None


@pytest.fixture(scope="module", params=["running", "oldest"])
def interpreter(request: pytest.FixtureRequest) -> str:
    if request.param == "running":
        return sys.executable
    oldest = oldest_interpreter()
    if oldest is None:
        pytest.skip("no Python older than the running one, from 3.8 on, on this machine")
    return oldest


@pytest.fixture(scope="module")
def venv(wheel: pathlib.Path, interpreter: str, tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    env_dir = tmp_path_factory.mktemp("venv")
    run([interpreter, "-m", "venv", env_dir], env=CLEAN_ENV)
    run([env_dir / "bin" / "python", "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel],
        env=CLEAN_ENV)
    deps = tmp_path_factory.mktemp("deps")
    python = run([env_dir / "bin" / "python", "-c", "import platform; print(platform.python_version())"],
                 env=CLEAN_ENV, cwd=env_dir).stdout.strip()
    copied, unusable = copy_dependencies(wheel, deps, python)
    (env_dir / "unusable-dependencies").write_text("\n".join(unusable))
    if copied:
        purelib = run([env_dir / "bin" / "python", "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                      env=CLEAN_ENV, cwd=env_dir).stdout.strip()
        # After the environment's own site-packages on sys.path.
        (pathlib.Path(purelib) / "vesper-test-dependencies.pth").write_text(f"{deps}\n")
    return env_dir


@pytest.fixture(scope="module")
def site_packages(venv: pathlib.Path) -> pathlib.Path:
    out = run([venv / "bin" / "python", "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
              env=CLEAN_ENV, cwd=venv)
    return pathlib.Path(out.stdout.strip())


@pytest.fixture(scope="module")
def probe(venv: pathlib.Path) -> dict[str, Any]:
    """The installed package making one request, from outside the tree."""
    server = python_server("run_http.py")
    try:
        out = run([venv / "bin" / "python", "-I", HERE / "wheel_probe.py", f"http://127.0.0.1:{server.port}/echo"],
                  env=CLEAN_ENV, cwd=venv, timeout=60)
    finally:
        server.stop()
    result: dict[str, Any] = json.loads(out.stdout)
    return result


def test_wheel_name_is_abi3_manylinux_within_debian12(wheel: pathlib.Path) -> None:
    m = re.fullmatch(r"vesper_http-[\w.]+-cp38-abi3-manylinux_(\d+)_(\d+)_x86_64\.whl", wheel.name)
    assert m, wheel.name
    assert (int(m.group(1)), int(m.group(2))) <= DEBIAN12_GLIBC


def test_wheel_holds_package_module_core_stub_and_libraries(wheel: pathlib.Path) -> None:
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        metadata = email.parser.Parser().parsestr(
            z.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode())
    for required in ("vesper/__init__.py", "vesper/py.typed", "vesper_native36.abi3.so", "libhalyard.so",
                     "vesper_native36.pyi", "vesper_native36-stubs/__init__.pyi"):
        assert required in names
    bundled = {n.split("/")[1].split("-")[0] for n in names if n.startswith("vesper_http.libs/")}
    if wheel_has_own_tls(names):
        assert set(OWN_TLS_BUNDLED) <= bundled
        assert not bundled & {"libcurl", "libssl", "libcrypto"}
        # The licences of what libhalyard.so holds.
        licences = {n.rsplit("/", 1)[1] for n in names if ".dist-info/licenses/" in n}
        assert {"BoringSSL-LICENSE", "curl-COPYING"} <= licences
    else:
        assert set(SYSTEM_TLS_BUNDLED) <= bundled
    # Test code never ships.
    assert not [n for n in names if n.startswith("tests/") or "double" in n]
    assert metadata["Name"] == "vesper-http"
    assert metadata["Requires-Python"] == ">=3.8"


def test_installed_package_makes_a_request(probe: dict[str, Any], site_packages: pathlib.Path) -> None:
    assert probe["status"] == 200
    assert probe["body"]["method"] == "GET" and probe["body"]["path"] == "/echo"
    status, echoed = probe["friendly"]
    assert status == 200 and echoed["path"] == "/echo" and echoed["query"] == "via=vesper"
    assert (probe["core_version"] or "").startswith("halyard/")
    assert pathlib.Path(probe["module"]).parent == site_packages
    assert pathlib.Path(probe["vesper"]).parent == site_packages / "vesper"
    assert not [p for p in probe["sys_path"] if p.startswith(str(ROOT))]


def own_tls(site_packages: pathlib.Path) -> bool:
    return not any(p.name.startswith("libcurl") for p in (site_packages / "vesper_http.libs").iterdir())


def test_core_libraries_are_loaded_from_the_wheel(probe: dict[str, Any], site_packages: pathlib.Path) -> None:
    bundle = site_packages / "vesper_http.libs"
    loaded = [pathlib.Path(p) for p in probe["libraries"]]
    assert site_packages / "libhalyard.so" in loaded
    for name in OWN_TLS_BUNDLED if own_tls(site_packages) else SYSTEM_TLS_BUNDLED:
        copies = [p for p in loaded if p.name.startswith(name + "-") or p.name.startswith(name + ".so")]
        # The interpreter's own ssl module may load the system OpenSSL as
        # well; the Core's copy is the bundled one.
        assert any(p.parent == bundle for p in copies), (name, copies)
        if name not in ("libssl", "libcrypto"):
            assert all(p.parent == bundle for p in copies), (name, copies)


def test_bundled_libcurl_binds_its_http2_calls_to_the_core(venv: pathlib.Path, site_packages: pathlib.Path) -> None:
    """The profiles' HTTP/2 framing relies on libcurl's nghttp2 calls being
    bound to the Core's definitions: the repaired wheel must keep that (the
    Core's own libcurl sits inside libhalyard.so and binds to it there)."""
    env = dict(CLEAN_ENV, LD_DEBUG="bindings", LD_BIND_NOW="1")  # every binding at load, called or not
    out = run([venv / "bin" / "python", "-I", "-c", "import vesper_native36"], env=env, cwd=venv, timeout=60)
    caller = r"libhalyard\.so" if own_tls(site_packages) else r"libcurl[^/\s]*"
    bound = {m.group(1) for m in re.finditer(rf"binding file \S*/{caller} \[0\] to \S*/libhalyard\.so "
                                                r"\[0\]: normal symbol `(nghttp2_\w+)'", out.stderr)}
    assert bound == {"nghttp2_submit_settings", "nghttp2_session_set_local_window_size", "nghttp2_submit_request",
                     "nghttp2_submit_priority"}


@pytest.mark.parametrize("library", ["vesper_native36.abi3.so", "libhalyard.so"])
def test_ldd_resolves_everything_but_the_system_runtime_inside_the_venv(
        library: str, venv: pathlib.Path, site_packages: pathlib.Path) -> None:
    out = run(["ldd", site_packages / library], env=CLEAN_ENV).stdout
    assert "not found" not in out, out
    resolved = {}
    for line in out.splitlines():
        parts = line.split()
        if "=>" in parts and len(parts) >= 3:
            resolved[parts[0]] = parts[2]
        elif parts:
            resolved[pathlib.Path(parts[0]).name] = parts[0]
    outside = {name: path for name, path in resolved.items()
               if name not in SYSTEM_LIBRARIES and not pathlib.Path(path).resolve().is_relative_to(venv.resolve())}
    assert outside == {}, out
    if library == "libhalyard.so":
        assert any(name.startswith("libcurl-") for name in resolved) != own_tls(site_packages), out
    else:
        assert pathlib.Path(resolved["libhalyard.so"]) == site_packages / "libhalyard.so"


def test_mypy_finds_the_installed_types(venv: pathlib.Path, interpreter: str, tmp_path: pathlib.Path) -> None:
    if interpreter != sys.executable:
        pytest.skip("mypy checks for Python 3.10 and later only")
    sample = tmp_path / "sample.py"
    sample.write_text("import vesper\nimport vesper_native36\n"
                      "body: str = vesper_native36.PyEngine().request('GET', 'u').read_body()\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--python-executable", str(venv / "bin" / "python"), str(sample)],
        capture_output=True, text=True, timeout=120, env=CLEAN_ENV, cwd=tmp_path)
    # Exactly the one wrong assignment: the module's types were found, and
    # the package is typed (py.typed), so neither import is reported.
    errors = re.findall(r"sample\.py:(\d+): error: (.*)", result.stdout)
    assert [(line, "list[int]" in text) for line, text in errors] == [("3", True)], result.stdout


def ldd_paths(path: pathlib.Path | str) -> dict[str, pathlib.Path]:
    """Soname -> resolved file of each library `path` loads."""
    out = run(["ldd", path], env=CLEAN_ENV).stdout
    found = {}
    for line in out.splitlines():
        parts = line.split()
        if "=>" in parts and len(parts) >= 3 and parts[2].startswith("/"):
            found[parts[0]] = pathlib.Path(parts[2]).resolve()
    return found


def interpreter_needs() -> set[pathlib.Path]:
    """What the interpreter's own extension modules load (ssl, hashlib,
    ctypes...): present on any machine that has this Python."""
    import _ctypes
    import _hashlib
    import _ssl

    needs = set()
    for module in (_ssl, _hashlib, _ctypes):
        needs |= set(ldd_paths(module.__file__).values())
    return needs


def test_installed_package_runs_with_the_cores_libraries_hidden(venv: pathlib.Path) -> None:
    """In a private mount namespace the system's copies of every library the
    Core links (libcurl, wslay, nghttp2 and their dependencies) are covered
    by an empty file: the tree's own build no longer loads, the wheel does."""
    if os.geteuid() != 0 or subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode:
        pytest.skip("needs a private mount namespace (root)")
    hidden = sorted({path for name, path in ldd_paths(ROOT / "python" / "libhalyard.so").items()
                     if name not in SYSTEM_LIBRARIES} - interpreter_needs())
    assert any(p.name.startswith(("libcurl", "libnghttp2")) for p in hidden)
    assert any(p.name.startswith("libwslay") for p in hidden)
    mounts = " && ".join(f"mount --bind /dev/null {p}" for p in hidden)
    server = python_server("run_http.py")
    try:
        def in_namespace(*argv: str | os.PathLike[str]) -> subprocess.CompletedProcess[str]:
            return subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                                   f'{mounts} && exec "$@"', "sh", *map(os.fspath, argv)],
                                  capture_output=True, text=True, timeout=60, env=CLEAN_ENV, cwd=venv)
        tree = in_namespace(sys.executable, "-I", "-c",
                            f"import sys; sys.path.insert(0, {str(ROOT / 'python')!r}); import vesper_native36")
        installed = in_namespace(venv / "bin" / "python", "-I", HERE / "wheel_probe.py",
                                 f"http://127.0.0.1:{server.port}/echo")
    finally:
        server.stop()
    assert tree.returncode != 0 and "ImportError" in tree.stderr, tree.stderr
    assert installed.returncode == 0, installed.stderr
    assert json.loads(installed.stdout)["status"] == 200


def test_installed_console_script_runs(venv: pathlib.Path) -> None:
    """The wheel installs the `vesper` command, and it works from outside the tree."""
    script = venv / "bin" / "vesper"
    assert script.is_file()
    unusable = (venv / "unusable-dependencies").read_text().split()
    if unusable:
        pytest.skip(f"the command line needs {', '.join(unusable)}, whose release here does not support this Python")
    version = run([script, "--version"], env=CLEAN_ENV, cwd=venv, timeout=60).stdout
    assert version.startswith("vesper ") and "Core halyard/" in version
    server = python_server("run_http.py")
    try:
        out = run([script, f"http://127.0.0.1:{server.port}/echo", "q==1"], env=CLEAN_ENV, cwd=venv, timeout=60)
    finally:
        server.stop()
    answer = json.loads(out.stdout)
    assert answer["path"] == "/echo" and answer["query"] == "q=1"
