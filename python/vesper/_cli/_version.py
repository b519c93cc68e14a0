"""``vesper --version``: the package, the native module's interface and the Core."""

from __future__ import annotations

import ctypes
import importlib.metadata
import re
from typing import List, Optional

from .._native import native

__all__ = ["version_lines"]

_TLS = re.compile(r"\b(OpenSSL|BoringSSL|LibreSSL|quictls|GnuTLS|wolfSSL|mbedTLS|Schannel|SecureTransport|rustls)"
                  r"(/[^\s]+)?")


def _package_version() -> str:
    for name in ("vesper-http", "vesper"):
        try:
            return importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            continue
    import vesper
    return str(getattr(vesper, "__version__", "unknown (not installed)"))


def _curl_version() -> Optional[str]:
    """libcurl's own line (it names the TLS library and the codecs). The Core
    links libcurl, so loading it by its soname finds the copy already in the
    process."""
    for soname in ("libcurl.so.4", "libcurl.4.dylib", "libcurl.dll", "libcurl-x64.dll"):
        try:
            library = ctypes.CDLL(soname)
        except OSError:
            continue
        library.curl_version.restype = ctypes.c_char_p
        raw = library.curl_version()
        return raw.decode("ascii", "replace") if raw else None
    return None


def version_lines() -> List[str]:
    engine = native.PyEngine
    lines = [
        f"vesper {_package_version()}",
        f"module vesper_native36, built for Core interface {native.abi_version}",
        f"Core {engine.core_version() or 'unknown'}, interface {engine.abi_version()}",
    ]
    core = engine.core_version() or ""
    # The Core names its libcurl and the TLS library under it; a libcurl
    # loadable by soname is the Core's only when it is not built in.
    curl = _curl_version()
    core_curl = re.search(r"\blibcurl/\S+", core)
    if curl and core_curl and not curl.startswith(core_curl.group(0) + " "):
        curl = None
    tls = _TLS.search(core) or (_TLS.search(curl) if curl else None)
    if tls or curl:
        lines.append(f"TLS {tls.group(0) if tls else 'unknown'}")
    if curl:
        lines.append(f"curl {curl}")
    return lines
